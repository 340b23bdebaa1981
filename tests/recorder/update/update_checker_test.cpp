#include "recorder/update/update_checker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>

#include "fakes.h"
#include "platform/ipc/ipc.h"
#include "platform/text/utf.h"
#include "recorder/core/messages.h"
#include "test_support.h"

namespace orvweb::update {
void PrintTo(Outcome outcome, std::ostream* out) { *out << OutcomeName(outcome); }
}  // namespace orvweb::update

namespace fs = std::filesystem;
using namespace orvweb::update;
using platform::http::Schemes;
using platform::http::Status;
using platform::registry::Store;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using update_test::FakeServer;
using update_test::FakeUi;
using update_test::Response;
using update_test::TestKey;

namespace {

const std::string kBase = "https://upd.example";
const std::string kPage = kBase + "/update/orvWebVer.htm";
const std::string kExe = "https://files.example/orvWebSetup.exe";
const std::string kDll = "https://files.example/OrvWeb.DLL";
// The download addresses followed by their signatures'.
const std::string kExeSigned = kExe + "|" + kExe + ".sig";
const std::string kDllSigned = kDll + "|" + kDll + ".sig";
const std::string kKey = "HKEY_CURRENT_USER\\Software\\Quillbyte\\Updater\\orvWeb";
constexpr int64_t kNow = 1'800'000'000;
constexpr int64_t kHour = 3600;

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  return files;
}

class UpdateCheck : public ::testing::Test {
 protected:
  UpdateServices Services() {
    UpdateServices services;
    services.registry = Store(registryRoot.path());
    services.now = [this] { return now; };
    services.openSession = [this] { return server.OpenSession(); };
    services.tempFolder = temp.path();
    services.ui = ui;
    return services;
  }
  std::unique_ptr<UpdateChecker> Checker(UpdateServices services) {
    auto checker = std::make_unique<UpdateChecker>(std::move(services));
    checker->config = RecorderUpdateConfig(u"https://upd.example");
    checker->config.signingKey = key.publicKey();
    return checker;
  }
  std::unique_ptr<UpdateChecker> Checker() { return Checker(Services()); }
  // The download and, at its address plus ".sig", its signature.
  void ServeSigned(FakeServer& on, const std::string& url, const Response& download) {
    on.Serve(url, download);
    on.Serve(url + ".sig", {Status::Ok, 200, key.Sign(download.body)});
  }
  void ServeSigned(const std::string& url, const Response& download) { ServeSigned(server, url, download); }

  TempDir runtime, registryRoot, temp;
  ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.path().string()};
  FakeServer server;
  TestKey key;
  std::shared_ptr<FakeUi> ui = std::make_shared<FakeUi>();
  int64_t now = kNow;
};

}  // namespace

TEST(VersionPage, DecimalValueReadsLikeAtoi) {
  const struct {
    std::u16string text;
    int32_t value;
  } cases[] = {
      {u"18", 18},           {u" \t\r\n18", 18},   {u"+18", 18},           {u"-5", -5},
      {u"18abc", 18},        {u"1 8", 1},          {u"abc", 0},            {u"", 0},
      {u"-", 0},             {u"2147483647", INT32_MAX}, {u"2147483648", INT32_MAX},
      {u"99999999999999999999999", INT32_MAX},   {u"-2147483648", INT32_MIN},
      {u"-99999999999999999999", INT32_MIN},      {u"0018", 18},
  };
  for (const auto& c : cases) EXPECT_EQ(DecimalValue(c.text), c.value) << platform::ToUtf8(c.text);
}

TEST(VersionPage, TokensVersionsAndLibraries) {
  const struct {
    std::string page;
    int64_t current;
    bool offered;
    std::u16string url;
    bool library;
  } cases[] = {
      {"17|https://h/s.exe", 17, false, u"", false},
      {"18|https://h/s.exe", 17, true, u"https://h/s.exe", false},
      {"18|https://h/s.exe", 18, false, u"", false},
      {"18", 17, false, u"", false},
      {"18|", 17, false, u"", false},
      {"18| \r\n", 17, false, u"", false},
      {"|||18||https://h/s.exe|ignored", 17, true, u"https://h/s.exe", false},
      {"18|https://h/s.exe\r\n", 17, true, u"https://h/s.exe", false},
      {"|", 17, false, u"", false},
      {"new|https://h/s.exe", 17, false, u"", false},      // no number reads as 0
      {"new|https://h/s.exe", -1, true, u"https://h/s.exe", false},
      {"18|https://h/OrvWeb.DLL", 17, true, u"https://h/OrvWeb.DLL", true},
      {"18|https://h/a.dLl?x=1", 17, true, u"https://h/a.dLl?x=1", true},
      {"18|https://h/dll/setup", 17, true, u"https://h/dll/setup", false},
      {std::string("18\0|https://h/s.exe", 17), 17, false, u"", false},  // NUL ends the text
      {"18|https://h/\xff\xfe.exe", 17, true, u"https://h/\ufffd\ufffd.exe", false},
      {"", 0, false, u"", false},
      {"18|https://h/" + std::string(1000, 'a'), 0, false, u"", false},  // longer than 1000 bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    const auto offer = ParseVersionPage(c.page, c.current);
    ASSERT_EQ(offer.has_value(), c.offered);
    if (!offer) continue;
    EXPECT_EQ(offer->url, c.url);
    EXPECT_EQ(offer->library, c.library);
  }
}

TEST(VersionPage, TheRecorderIsVersion17WithItsProductKey) {
  UpdateChecker checker(UpdateServices{});
  checker.config = RecorderUpdateConfig(u"https://u.example");
  EXPECT_EQ(checker.config.versionPageUrl, u"https://u.example/update/orvWebVer.htm");
  EXPECT_EQ(checker.config.checkInterval, 1);
  EXPECT_TRUE(checker.config.libraryTargetPath.empty());
  EXPECT_EQ(checker.Agent(), "orvWeb Updater v 17");
  EXPECT_EQ(checker.LockName(), "orvWebUpdaterMutex");
  EXPECT_EQ(checker.RegistryKey(), kKey);
}

TEST_F(UpdateCheck, RunFollowsThePageAndLeavesOnlyAnOpenedInstaller) {
  const std::string page1000 = "18|" + kExeSigned + std::string(1000 - 3 - kExeSigned.size(), ' ');
  ASSERT_EQ(page1000.size(), 1000u);
  const Response installer{Status::Ok, 200, "MZ installer bytes"};
  const struct {
    const char* name;
    Response page;
    Response download;
    bool yes;
    Outcome outcome;
    size_t questions;
    size_t requests;
  } cases[] = {
      {"same version", {Status::Ok, 200, "17|" + kExeSigned}, installer, true, Outcome::UpToDate, 0, 1},
      {"older version", {Status::Ok, 200, "16|" + kExeSigned}, installer, true, Outcome::UpToDate, 0, 1},
      {"newer, yes", {Status::Ok, 200, "18|" + kExeSigned}, installer, true, Outcome::InstallerOpened, 1, 3},
      {"newer, no", {Status::Ok, 200, "18|" + kExeSigned}, installer, false, Outcome::Declined, 1, 1},
      {"only a number", {Status::Ok, 200, "18"}, installer, true, Outcome::UpToDate, 0, 1},
      {"separators only", {Status::Ok, 200, "|||"}, installer, true, Outcome::UpToDate, 0, 1},
      {"line end after the url", {Status::Ok, 200, "18|" + kExeSigned + "\r\n"}, installer, true,
       Outcome::InstallerOpened, 1, 3},
      {"1000 bytes", {Status::Ok, 200, page1000}, installer, true, Outcome::InstallerOpened, 1, 3},
      {"1001 bytes", {Status::Ok, 200, page1000 + " "}, installer, true, Outcome::PageRejected, 0, 1},
      {"empty page", {Status::Ok, 200, ""}, installer, true, Outcome::PageRejected, 0, 1},
      {"page not found", {Status::Ok, 404, "18|" + kExeSigned}, installer, true, Outcome::PageFailed, 0, 1},
      {"page broken off", {Status::Failed, 200, "18|"}, installer, true, Outcome::PageFailed, 0, 1},
      {"download not found", {Status::Ok, 200, "18|" + kExeSigned}, {Status::Ok, 404, "<html>gone</html>"}, true,
       Outcome::DownloadFailed, 1, 2},
      {"download broken off", {Status::Ok, 200, "18|" + kExeSigned}, {Status::Failed, 200, "MZ half"}, true,
       Outcome::DownloadFailed, 1, 2},
      {"download too large", {Status::Ok, 200, "18|" + kExeSigned}, {Status::TooLarge, 200, "MZ much"}, true,
       Outcome::DownloadFailed, 1, 2},
      {"download over plain http", {Status::Ok, 200, "18|http://files.example/orvWebSetup.exe|" + kExe + ".sig"},
       installer, true, Outcome::DownloadFailed, 1, 2},
      {"library, no target", {Status::Ok, 200, "18|" + kDllSigned}, installer, false, Outcome::NoLibraryTarget, 0,
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server;
    server.Serve(kPage, c.page);
    ServeSigned(server, kExe, c.download);
    ServeSigned(server, kDll, c.download);
    server.Serve("http://files.example/orvWebSetup.exe", c.download);
    TempDir temp;
    auto ui = std::make_shared<FakeUi>(c.yes);
    UpdateServices services = Services();
    services.openSession = [&server] { return server.OpenSession(); };
    services.tempFolder = temp.path();
    services.ui = ui;

    EXPECT_EQ(Checker(services)->RunUpdateCheck(), c.outcome);
    EXPECT_EQ(ui->questions().size(), c.questions);
    for (const auto& question : ui->questions()) {
      EXPECT_EQ(question, u"orvWeb\x01There is a new version is available.\nWould you like to download it?");
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), c.requests);
    EXPECT_EQ(requests[0].url, kPage);
    EXPECT_EQ(server.sessions(), 1u);  // the download shares the page's session
    for (const auto& request : requests) {
      EXPECT_EQ(request.options.agent, "orvWeb Updater v 17");
      EXPECT_EQ(request.options.schemes, Schemes::HttpsOnly);
    }

    const auto left = FilesIn(temp.path());
    if (c.outcome == Outcome::InstallerOpened) {
      ASSERT_EQ(requests[1].options.maxBodyBytes, kMaxDownloadBytes);
      ASSERT_EQ(left.size(), 1u);
      const std::string name = left[0].filename().string();
      EXPECT_EQ(name.substr(0, 3), "upd");
      EXPECT_EQ(name.substr(name.size() - 8), ".tmp.deb");
      EXPECT_EQ(Read(left[0]), "MZ installer bytes");
      EXPECT_EQ(ui->opened(), std::vector<fs::path>{left[0]});
    } else {
      EXPECT_TRUE(left.empty()) << left[0];
      EXPECT_TRUE(ui->opened().empty());
    }
  }
}

TEST_F(UpdateCheck, APlainHttpVersionPageIsAFailedCheck) {
  server.Serve("http://upd.example/update/orvWebVer.htm", {Status::Ok, 200, "18|" + kExeSigned});
  auto checker = Checker();
  checker->config.versionPageUrl = u"http://upd.example/update/orvWebVer.htm";
  EXPECT_EQ(checker->RunUpdateCheck(), Outcome::PageFailed);
  EXPECT_TRUE(ui->questions().empty());
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(UpdateCheck, AnInstallerThatCannotBeOpenedIsRemoved) {
  server.Serve(kPage, {Status::Ok, 200, "18|" + kExeSigned});
  ServeSigned(kExe, {Status::Ok, 200, "MZ"});
  ui = std::make_shared<FakeUi>(true, false);
  EXPECT_EQ(Checker()->RunUpdateCheck(), Outcome::InstallerFailed);
  EXPECT_EQ(ui->opened().size(), 1u);
  EXPECT_TRUE(FilesIn(temp.path()).empty());
}

TEST_F(UpdateCheck, AnEmptyDownloadStillMakesTheFileAndNoTemporaryFolderMakesNone) {
  server.Serve(kPage, {Status::Ok, 200, "18|" + kExeSigned});
  ServeSigned(kExe, {Status::Ok, 200, ""});
  EXPECT_EQ(Checker()->RunUpdateCheck(), Outcome::InstallerOpened);
  ASSERT_EQ(FilesIn(temp.path()).size(), 1u);
  EXPECT_EQ(Read(FilesIn(temp.path())[0]), "");

  server.Serve(kExe, {Status::Ok, 200, "MZ"});
  auto services = Services();
  services.tempFolder = temp.path() / "missing";
  EXPECT_EQ(Checker(services)->RunUpdateCheck(), Outcome::NoTempFile);
}

TEST_F(UpdateCheck, ACheckRunningElsewhereMeansNoCheckHere) {
  server.Serve(kPage, {Status::Ok, 200, "18|" + kExeSigned});
  ServeSigned(kExe, {Status::Ok, 200, "MZ"});
  platform::ipc::NamedLock other("orvWebUpdaterMutex");
  ASSERT_TRUE(other.TryAcquire());
  EXPECT_EQ(Checker()->RunUpdateCheck(), Outcome::Busy);
  EXPECT_EQ(server.sessions(), 0u);
  other.Release();
  EXPECT_EQ(Checker()->RunUpdateCheck(), Outcome::InstallerOpened);
  EXPECT_FALSE(platform::ipc::NamedLock::IsHeld("orvWebUpdaterMutex"));
}

TEST_F(UpdateCheck, ALibraryIsStagedBesideItsTargetAndReplacesItAtTheNextStart) {
  const fs::path target = temp.path() / "lib" / "libOrvWeb.so";
  fs::create_directories(target.parent_path());
  std::ofstream(target) << "old";
  fs::permissions(target, fs::perms(0755));
  server.Serve(kPage, {Status::Ok, 200, "18|" + kDllSigned});
  ServeSigned(kDll, {Status::Ok, 200, "new library"});
  ui = std::make_shared<FakeUi>(false);  // a library is never asked about

  auto services = Services();
  services.tempFolder = temp.path() / "tmp";
  fs::create_directory(services.tempFolder);
  auto checker = Checker(services);
  checker->config.libraryTargetPath = platform::FromUtf8(target.string());
  EXPECT_EQ(checker->RunUpdateCheck(), Outcome::Staged);
  EXPECT_TRUE(ui->questions().empty());
  EXPECT_EQ(Read(target), "old");  // the running program keeps its file
  const fs::path staged = UpdateChecker::StagedPath(target);
  EXPECT_EQ(staged, target.parent_path() / ".libOrvWeb.so.update");
  EXPECT_EQ(Read(staged), "new library");
  EXPECT_TRUE(FilesIn(services.tempFolder).empty());

  // The next start: not due (checked just now), yet the staged file moves.
  std::promise<Outcome> done;
  services.finished = [&done](Outcome o) { done.set_value(o); };
  auto next = Checker(services);
  next->config.libraryTargetPath = checker->config.libraryTargetPath;
  ASSERT_TRUE(next->IsUpdateDue());
  EXPECT_EQ(next->StartUpdateCheck(), nullptr);
  EXPECT_EQ(done.get_future().get(), Outcome::NotDue);
  EXPECT_EQ(Read(target), "new library");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms(0755));
  EXPECT_FALSE(fs::exists(staged));
  EXPECT_TRUE(next->ApplyStagedLibrary());  // nothing left to do
}

TEST_F(UpdateCheck, UpdateDueAfterTheIntervalAndOnlyForA64BitDate) {
  const struct {
    const char* name;
    std::optional<uint64_t> qword;
    std::optional<uint32_t> dword;
    int32_t interval;
    bool due;
  } cases[] = {
      {"never checked", std::nullopt, std::nullopt, 1, true},
      {"one hour ago", kNow - kHour, std::nullopt, 1, false},
      {"23:59:59 ago", kNow - 24 * kHour + 1, std::nullopt, 1, false},
      {"24 hours ago", kNow - 24 * kHour, std::nullopt, 1, true},
      {"25 hours ago", kNow - 25 * kHour, std::nullopt, 1, true},
      {"six days, interval 7", kNow - 6 * 24 * kHour, std::nullopt, 7, false},
      {"seven days, interval 7", kNow - 7 * 24 * kHour, std::nullopt, 7, true},
      {"a 32-bit date", std::nullopt, static_cast<uint32_t>(kNow - kHour), 1, true},
      {"an hour ahead", kNow + kHour, std::nullopt, 1, false},
      {"two days ahead", kNow + 48 * kHour, std::nullopt, 1, true},
      {"far past", static_cast<uint64_t>(INT64_MIN), std::nullopt, 1, true},
      {"far future", static_cast<uint64_t>(INT64_MAX), std::nullopt, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    Store store(root.path());
    if (c.qword) store.SetQword(kKey, "Update Date", *c.qword);
    if (c.dword) store.SetDword(kKey, "Update Date", *c.dword);
    auto services = Services();
    services.registry = store;
    auto checker = Checker(services);
    checker->config.checkInterval = c.interval;
    EXPECT_EQ(checker->IsUpdateDue(), c.due);
    EXPECT_EQ(store.GetDword(kKey, "Current Version"), 17u);
    if (c.due) {
      EXPECT_EQ(store.GetQword(kKey, "Update Date"), static_cast<uint64_t>(kNow));
    } else {
      EXPECT_EQ(store.GetQword(kKey, "Update Date"), c.qword);
    }
  }
}

TEST_F(UpdateCheck, StartChecksOnItsOwnThreadOncePerInterval) {
  server.Serve(kPage, {Status::Ok, 200, "17|" + kExe});
  auto done = std::make_shared<std::promise<Outcome>>();
  auto services = Services();
  services.finished = [done](Outcome o) { done->set_value(o); };
  const auto running = Checker(services)->StartUpdateCheck();
  ASSERT_NE(running, nullptr);
  EXPECT_EQ(done->get_future().get(), Outcome::UpToDate);
  EXPECT_EQ(Store(registryRoot.path()).GetQword(kKey, "Update Date"), static_cast<uint64_t>(kNow));

  // Twelve hours later: not due, no request.
  now += 12 * kHour;
  auto again = std::make_shared<std::promise<Outcome>>();
  services.finished = [again](Outcome o) { again->set_value(o); };
  EXPECT_EQ(Checker(services)->StartUpdateCheck(), nullptr);
  EXPECT_EQ(again->get_future().get(), Outcome::NotDue);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(UpdateCheck, TheCheckOutlivesTheCheckerThatStartedIt) {
  server.Serve(kPage, {Status::Ok, 200, "18|" + kExeSigned});
  ServeSigned(kExe, {Status::Ok, 200, "MZ"});
  server.CloseGate();
  auto done = std::make_shared<std::promise<Outcome>>();
  auto services = Services();
  services.finished = [done](Outcome o) { done->set_value(o); };
  auto checker = Checker(services);
  const auto running = checker->StartUpdateCheck();
  ASSERT_TRUE(server.WaitForRequests(1));
  checker.reset();  // the window closed while the network was slow
  server.OpenGate();
  EXPECT_EQ(done->get_future().get(), Outcome::InstallerOpened);
  EXPECT_EQ(ui->opened().size(), 1u);
}

TEST_F(UpdateCheck, ADownloadWithoutAGoodSignatureIsDeletedAndTheUserTold) {
  const std::string package = "!<arch>\ndebian-binary package bytes";
  const TestKey stranger(9);
  const struct {
    const char* name;
    std::string page;
    std::optional<Response> signature;  // nullopt: not served (404)
    size_t requests;
  } cases[] = {
      {"the page names no signature", "18|" + kExe, std::nullopt, 2},
      {"the signature is not found", "18|" + kExeSigned, std::nullopt, 3},
      {"the signature fails to arrive", "18|" + kExeSigned, Response{Status::Failed, 200, key.Sign(package)}, 3},
      {"a signature of other bytes", "18|" + kExeSigned, Response{Status::Ok, 200, key.Sign(package + " ")}, 3},
      {"a signature by another key", "18|" + kExeSigned, Response{Status::Ok, 200, stranger.Sign(package)}, 3},
      {"a signature cut short", "18|" + kExeSigned, Response{Status::Ok, 200, key.Sign(package).substr(0, 63)}, 3},
      {"a library signed by another key", "18|" + kDllSigned, Response{Status::Ok, 200, stranger.Sign(package)}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server;
    server.Serve(kPage, {Status::Ok, 200, c.page});
    server.Serve(kExe, {Status::Ok, 200, package});
    server.Serve(kDll, {Status::Ok, 200, package});
    if (c.signature) {
      server.Serve(kExe + ".sig", *c.signature);
      server.Serve(kDll + ".sig", *c.signature);
    }
    TempDir folder;
    const fs::path target = folder.path() / "lib" / "libOrvWeb.so";
    fs::create_directories(target.parent_path());
    std::ofstream(target) << "old";
    auto ui = std::make_shared<FakeUi>(true);
    UpdateServices services = Services();
    services.openSession = [&server] { return server.OpenSession(); };
    services.tempFolder = folder.path();
    services.ui = ui;
    auto checker = Checker(services);
    checker->config.libraryTargetPath = platform::FromUtf8(target.string());

    EXPECT_EQ(checker->RunUpdateCheck(), Outcome::Unverified);
    EXPECT_EQ(server.requests().size(), c.requests);
    EXPECT_EQ(FilesIn(folder.path()), std::vector<fs::path>{target.parent_path()});
    EXPECT_EQ(FilesIn(target.parent_path()), std::vector<fs::path>{target});
    EXPECT_TRUE(ui->opened().empty());
    EXPECT_EQ(ui->told(), std::vector<std::u16string>{u"orvWeb\x01" + orvweb::LoadMessage(orvweb::IDS_UPDATE_NOT_VERIFIED)});
  }
}

TEST_F(UpdateCheck, TheProgramsKeyIsTheReleaseKey) {
  EXPECT_EQ(RecorderUpdateConfig(u"").signingKey, ReleaseKey());
  EXPECT_NE(ReleaseKey(), key.publicKey());
  // A download signed with any key but the release key is refused by the
  // program's own configuration.
  server.Serve(kPage, {Status::Ok, 200, "18|" + kExeSigned});
  ServeSigned(kExe, {Status::Ok, 200, "MZ"});
  auto checker = Checker();
  checker->config.signingKey = ReleaseKey();
  EXPECT_EQ(checker->RunUpdateCheck(), Outcome::Unverified);
  EXPECT_TRUE(FilesIn(temp.path()).empty());
}

TEST_F(UpdateCheck, EndingARunningCheckCancelsItAndWaitsForItsThread) {
  server.Serve(kPage, {Status::Ok, 200, "18|" + kExeSigned});
  ServeSigned(kExe, {Status::Ok, 200, "MZ"});
  server.CloseGate();
  auto done = std::make_shared<std::promise<Outcome>>();
  auto services = Services();
  services.finished = [done](Outcome o) { done->set_value(o); };
  auto running = Checker(services)->StartUpdateCheck();
  ASSERT_NE(running, nullptr);
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_TRUE(running->Stop());
  auto outcome = done->get_future();
  ASSERT_EQ(outcome.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(outcome.get(), Outcome::Cancelled);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(ui->questions().empty());
  EXPECT_TRUE(FilesIn(temp.path()).empty());
}
