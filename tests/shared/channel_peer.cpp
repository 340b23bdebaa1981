// A second process for the channel tests. It runs its arguments as steps:
//   open              open the section for writing (exit 3 when refused)
//   full STATE A T N U  a full write (texts in UTF-8)
//   full-long UNITS   a full write whose title is UNITS units of "x"
//   state STATE       a state write
//   ready FILE        create FILE (the test waits for it)
//   wait              wait for SIGUSR1
//   hold              wait for SIGTERM, then end normally (closing write)
//   lock NAME         take the named lock (exit 4 when another holds it)
//   crash             end at once without closing anything
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/ipc/ipc.h"
#include "platform/text/utf.h"
#include "shared/now_playing.h"

namespace {
volatile sig_atomic_t gotUsr1 = 0;
volatile sig_atomic_t gotTerm = 0;
}  // namespace

int main(int argc, char** argv) {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, nullptr);

  std::unique_ptr<orvweb::NowPlayingWriter> writer;
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    auto arg = [&](int k) -> std::string {
      if (i + k >= argc) {
        std::fprintf(stderr, "channel_peer: %s needs more arguments\n", step.c_str());
        std::exit(2);
      }
      return argv[i + k];
    };
    if (step == "open") {
      writer = orvweb::NowPlayingWriter::Open();
      if (!writer) return 3;
    } else if (step == "full") {
      orvweb::NowPlayingItem item{platform::FromUtf8(arg(2)), platform::FromUtf8(arg(3)), platform::FromUtf8(arg(4)),
                                  platform::FromUtf8(arg(5))};
      writer->WriteFull(std::atoi(arg(1).c_str()), item);
      i += 5;
    } else if (step == "full-long") {
      orvweb::NowPlayingItem item;
      item.title.assign(static_cast<size_t>(std::atoi(arg(1).c_str())), u'x');
      writer->WriteFull(orvweb::kPlayStatePlaying, item);
      i += 1;
    } else if (step == "state") {
      writer->WriteState(std::atoi(arg(1).c_str()));
      i += 1;
    } else if (step == "ready") {
      std::ofstream(arg(1)) << "ready";
      i += 1;
    } else if (step == "wait" || step == "hold") {
      int sig = 0;
      sigset_t wanted;
      sigemptyset(&wanted);
      sigaddset(&wanted, step == "wait" ? SIGUSR1 : SIGTERM);
      sigwait(&wanted, &sig);
    } else if (step == "lock") {
      static platform::ipc::NamedLock lock(arg(1));
      if (!lock.TryAcquire()) return 4;
      i += 1;
    } else if (step == "crash") {
      _exit(0);
    } else {
      std::fprintf(stderr, "channel_peer: unknown step %s\n", step.c_str());
      return 2;
    }
  }
  return 0;
}
