// One program start's update check, for the tests that run several at once:
//   update_check_process <registry root> <version page URL> <temp folder>
// Exits with the check's outcome as its status.
#include <cstdio>
#include <cstdlib>
#include <future>

#include "fakes.h"
#include "platform/text/utf.h"
#include "recorder/update/update_checker.h"

int main(int argc, char** argv) {
  if (argc != 4) return 100;
  using namespace orvweb::update;
  UpdateServices services = RealUpdateServices(std::make_shared<update_test::FakeUi>(false));
  services.registry = platform::registry::Store(argv[1]);
  services.tempFolder = argv[3];
  auto done = std::make_shared<std::promise<Outcome>>();
  services.finished = [done](Outcome outcome) { done->set_value(outcome); };
  UpdateChecker checker(std::move(services));
  checker.config = RecorderUpdateConfig(u"");
  checker.config.versionPageUrl = platform::FromUtf8(argv[2]);
  const auto running = checker.StartUpdateCheck();
  const Outcome outcome = done->get_future().get();
  std::printf("%s\n", OutcomeName(outcome));
  std::fflush(stdout);
  // The check thread may still be freeing its TLS state; this program ends
  // without waiting for it.
  std::_Exit(static_cast<int>(outcome));
}
