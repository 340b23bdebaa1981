// The update check against real https servers on 127.0.0.1, through the real
// HTTP client, with a certificate authority made for the test and trusted
// only through the environment.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <future>
#include <sstream>

#include "fakes.h"
#include "platform/text/utf.h"
#include "recorder/update/update_checker.h"
#include "test_support.h"

namespace orvweb::update {
void PrintTo(Outcome outcome, std::ostream* out) { *out << OutcomeName(outcome); }
}  // namespace orvweb::update

namespace fs = std::filesystem;
using namespace orvweb::update;
using platform::registry::Store;
using testing_support::Child;
using testing_support::ScopedEnv;
using testing_support::SelfFolder;
using testing_support::TempDir;
using testing_support::WaitUntil;
using update_test::FakeUi;
using update_test::TestKey;

namespace {

const std::string kKey = "HKEY_CURRENT_USER\\Software\\Quillbyte\\Updater\\orvWeb";
constexpr int64_t kHour = 3600;

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Put(const fs::path& file, const std::string& data) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << data;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  return files;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void Shell(const std::string& command) {
  Child child({"/bin/sh", "-c", "{ " + command + "; } >/dev/null 2>&1"});
  ASSERT_EQ(child.Wait(60000), 0) << command;
}

// A certificate authority and a server certificate for 127.0.0.1 signed by it.
void MakeAuthority(const fs::path& dir, const std::string& name) {
  const std::string d = dir.string() + "/" + name;
  Shell("cd '" + dir.string() + "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
        " -keyout " + d + "-ca.key -out " + d + "-ca.pem -days 2 -subj '/CN=" + name + " test authority'"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + ".key"
        " -out " + d + ".csr -subj '/CN=127.0.0.1'"
        " && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > " + d + ".ext"
        " && openssl x509 -req -in " + d + ".csr -CA " + d + "-ca.pem -CAkey " + d + "-ca.key -CAcreateserial"
        " -out " + d + ".pem -days 2 -extfile " + d + ".ext");
}

// One server process, ended at scope end by its PID.
class Server {
 public:
  // cert empty: plain http.
  Server(const fs::path& work, const std::string& name, const std::string& cert, const std::string& hold = "")
      : root_(work / name), log_(work / (name + ".log")), release_(work / (name + ".release")) {
    fs::create_directories(root_);
    const fs::path portFile = work / (name + ".port");
    std::vector<std::string> argv = {"/usr/bin/python3", UPDATE_TEST_SERVER, "--root", root_.string(), "--log",
                                     log_.string(), "--port-file", portFile.string()};
    if (!cert.empty()) {
      argv.insert(argv.end(), {"--cert", (work / (cert + ".pem")).string(), "--key", (work / (cert + ".key")).string()});
    }
    if (!hold.empty()) argv.insert(argv.end(), {"--hold", hold, "--release", release_.string()});
    child_ = std::make_unique<Child>(argv);
    if (!WaitUntil([&] { return fs::exists(portFile); }, 30000)) {
      throw std::runtime_error("the test server did not start");
    }
    base_ = std::string(cert.empty() ? "http" : "https") + "://127.0.0.1:" + Read(portFile);
  }
  const std::string& base() const { return base_; }
  void Put(const std::string& path, const std::string& data) const { ::Put(root_ / path, data); }
  void Redirect(const std::string& path, const std::string& to) const { ::Put(root_ / (path + ".redirect"), to); }
  fs::path FilePath(const std::string& path) const { return root_ / path; }
  std::vector<std::string> requests() const { return Lines(log_); }
  void Release() const { ::Put(release_, ""); }

 private:
  fs::path root_, log_, release_;
  std::unique_ptr<Child> child_;
  std::string base_;
};

class UpdateHttps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TempDir;
    MakeAuthority(certs_->path(), "good");
    MakeAuthority(certs_->path(), "rogue");
  }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }

  void SetUp() override {
    fs::copy(certs_->path(), work.path(), fs::copy_options::recursive);
    fs::create_directories(temp);
    server = std::make_unique<Server>(work.path(), "web", "good", "/hold/");
  }

  UpdateServices Services() {
    UpdateServices services = RealUpdateServices(ui);
    services.registry = Store(registryRoot.path());
    services.tempFolder = temp;
    return services;
  }
  UpdateChecker Checker(const std::string& pageUrl) {
    UpdateChecker checker(Services());
    checker.config = RecorderUpdateConfig(u"");
    checker.config.versionPageUrl = platform::FromUtf8(pageUrl);
    checker.config.signingKey = key.publicKey();
    return checker;
  }
  // A download and, at its path plus ".sig", its signature.
  void PutSigned(const std::string& path, const std::string& data) const {
    server->Put(path, data);
    server->Put(path + ".sig", key.Sign(data));
  }
  // "<version>|<url>|<url>.sig" for a path on the server.
  std::string Offer(const char* version, const std::string& path) const {
    const std::string url = server->base() + "/" + path;
    return std::string(version) + "|" + url + "|" + url + ".sig";
  }
  std::string Page() const { return server->base() + "/update/orvWebVer.htm"; }

  static TempDir* certs_;
  TempDir work, runtime, registryRoot;
  fs::path temp = work.path() / "tmp";
  ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.path().string()};
  ScopedEnv caFile{"SSL_CERT_FILE", (work.path() / "good-ca.pem").string()};
  ScopedEnv caBundle{"CURL_CA_BUNDLE", (work.path() / "good-ca.pem").string()};
  ScopedEnv noProxy{"no_proxy", "*"};  // a proxy of the machine must not see test traffic
  std::shared_ptr<FakeUi> ui = std::make_shared<FakeUi>(true);
  std::unique_ptr<Server> server;
  TestKey key;
};

TempDir* UpdateHttps::certs_ = nullptr;

std::string Installer() {
  std::string data = "MZ";
  for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>(i * 7 % 256));
  return data;
}

}  // namespace

TEST_F(UpdateHttps, PagesDecideWhatIsFetchedAndOnlyAnOpenedInstallerRemains) {
  const std::string installer = Installer();
  PutSigned("files/orvWebSetup.deb", installer);
  const std::string exe = server->base() + "/files/orvWebSetup.deb";
  PutSigned("files/OrvWeb.DLL", "library");
  const struct {
    const char* name;
    std::string page;
    Outcome outcome;
    size_t questions;
    size_t requests;
  } cases[] = {
      {"same version", Offer("17", "files/orvWebSetup.deb"), Outcome::UpToDate, 0, 1},
      {"newer", Offer("18", "files/orvWebSetup.deb"), Outcome::InstallerOpened, 1, 3},
      {"only a number", "18", Outcome::UpToDate, 0, 1},
      {"1001 bytes", "18|" + exe + std::string(1001 - 3 - exe.size(), ' '), Outcome::PageRejected, 0, 1},
      {"download not found", Offer("18", "files/missing.deb"), Outcome::DownloadFailed, 1, 2},
      {"a library is not asked about", Offer("18", "files/OrvWeb.DLL"), Outcome::NoLibraryTarget, 0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(work.path() / "web.log");
    server->Put("update/orvWebVer.htm", c.page);
    ui = std::make_shared<FakeUi>(true);
    EXPECT_EQ(Checker(Page()).RunUpdateCheck(), c.outcome);
    EXPECT_EQ(ui->questions().size(), c.questions);
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), c.requests);
    for (const auto& request : requests) EXPECT_NE(request.find(" orvWeb Updater v 17"), std::string::npos) << request;
    const auto left = FilesIn(temp);
    if (c.outcome == Outcome::InstallerOpened) {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ(ui->opened(), left);
      EXPECT_EQ(left[0].extension(), ".deb");
      EXPECT_EQ(left[0].stem().extension(), ".tmp");
      EXPECT_TRUE(Read(left[0]) == installer);
      fs::remove(left[0]);
    } else {
      EXPECT_TRUE(left.empty()) << left[0];
      EXPECT_TRUE(ui->opened().empty());
    }
  }
}

TEST_F(UpdateHttps, PlainHttpAnywhereMeansNothingIsFetched) {
  Server plain(work.path(), "plain", "");
  plain.Put("update/orvWebVer.htm", "18|" + plain.base() + "/setup.exe");
  plain.Put("setup.exe", "MZ");
  plain.Put("lib.dll", "library");

  // The version page itself over http.
  EXPECT_EQ(Checker(plain.base() + "/update/orvWebVer.htm").RunUpdateCheck(), Outcome::PageFailed);
  // The download over http, and a redirect from https to http.
  server->Put("update/orvWebVer.htm", "18|" + plain.base() + "/lib.dll");
  EXPECT_EQ(Checker(Page()).RunUpdateCheck(), Outcome::DownloadFailed);
  server->Put("update/orvWebVer.htm", "18|" + server->base() + "/moved.dll");
  server->Redirect("moved.dll", plain.base() + "/lib.dll");
  EXPECT_EQ(Checker(Page()).RunUpdateCheck(), Outcome::DownloadFailed);

  EXPECT_TRUE(plain.requests().empty());
  EXPECT_EQ(server->requests().size(), 3u);  // two pages and the redirect
  EXPECT_TRUE(ui->questions().empty());
  EXPECT_TRUE(FilesIn(temp).empty());
}

TEST_F(UpdateHttps, ACertificateFromAnUntrustedAuthorityIsAFailedCheck) {
  Server rogue(work.path(), "rogue-web", "rogue");
  rogue.Put("update/orvWebVer.htm", "18|" + rogue.base() + "/lib.dll");
  rogue.Put("lib.dll", "library");
  EXPECT_EQ(Checker(rogue.base() + "/update/orvWebVer.htm").RunUpdateCheck(), Outcome::PageFailed);
  EXPECT_TRUE(rogue.requests().empty());

  // A trusted page that points at the untrusted server downloads nothing.
  server->Put("update/orvWebVer.htm", "18|" + rogue.base() + "/lib.dll");
  EXPECT_EQ(Checker(Page()).RunUpdateCheck(), Outcome::DownloadFailed);
  EXPECT_TRUE(rogue.requests().empty());
  EXPECT_TRUE(FilesIn(temp).empty());
}

TEST_F(UpdateHttps, ADownloadOverTheCapIsAbandonedAndRemoved) {
  server->Put("update/orvWebVer.htm", "18|" + server->base() + "/huge.dll");
  // A sparse file: the server announces more than the cap at no disk cost.
  {
    std::ofstream(server->FilePath("huge.dll")).close();
    fs::resize_file(server->FilePath("huge.dll"), kMaxDownloadBytes + 1);
  }
  EXPECT_EQ(Checker(Page()).RunUpdateCheck(), Outcome::DownloadFailed);
  EXPECT_TRUE(FilesIn(temp).empty());
}

TEST_F(UpdateHttps, ALibraryReplacesItsTargetAtTheNextStart) {
  const fs::path target = work.path() / "lib" / "libOrvWeb.so";
  Put(target, "old");
  server->Put("update/orvWebVer.htm", Offer("18", "files/libOrvWeb.DLL"));
  PutSigned("files/libOrvWeb.DLL", "new library");
  auto checker = Checker(Page());
  checker.config.libraryTargetPath = platform::FromUtf8(target.string());
  EXPECT_EQ(checker.RunUpdateCheck(), Outcome::Staged);
  EXPECT_EQ(Read(target), "old");
  EXPECT_TRUE(checker.ApplyStagedLibrary());
  EXPECT_EQ(Read(target), "new library");
  EXPECT_TRUE(ui->questions().empty());
}

TEST_F(UpdateHttps, AnErrorAnswerToTheDownloadLeavesNoFileAnywhere) {
  const fs::path target = work.path() / "lib" / "libOrvWeb.so";
  Put(target, "old");
  // An error page big enough to arrive in many pieces.
  const std::string errorPage = "<html>" + std::string(200000, 'e') + "</html>";
  server->Put("files/broken.exe.status", "500\n" + errorPage);
  server->Put("files/broken.dll.status", "500\n" + errorPage);
  const struct {
    const char* name;
    std::string file;
    bool library;
  } cases[] = {
      {"installer not found", "missing.exe", false},
      {"installer with a server error", "broken.exe", false},
      {"library not found", "missing.dll", true},
      {"library with a server error", "broken.dll", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server->Put("update/orvWebVer.htm", "18|" + server->base() + "/files/" + c.file);
    auto checker = Checker(Page());
    if (c.library) checker.config.libraryTargetPath = platform::FromUtf8(target.string());
    EXPECT_EQ(checker.RunUpdateCheck(), Outcome::DownloadFailed);
    EXPECT_TRUE(FilesIn(temp).empty());
    EXPECT_EQ(FilesIn(target.parent_path()), std::vector<fs::path>{target});
    EXPECT_EQ(Read(target), "old");
    EXPECT_TRUE(checker.ApplyStagedLibrary());
    EXPECT_EQ(Read(target), "old");
    EXPECT_TRUE(ui->opened().empty());
  }
}

TEST_F(UpdateHttps, ALibraryIsDownloadedBesideItsTargetUnderATemporaryName) {
  const fs::path target = work.path() / "lib" / "libOrvWeb.so";
  Put(target, "old");
  server->Put("update/orvWebVer.htm", Offer("18", "hold/libOrvWeb.dll"));
  PutSigned("hold/libOrvWeb.dll", "new library");
  auto checker = Checker(Page());
  checker.config.libraryTargetPath = platform::FromUtf8(target.string());
  auto run = std::async(std::launch::async, [&] { return checker.RunUpdateCheck(); });
  // While the answer is held, nothing stands beside the target yet; once
  // it completes, the staged file is there and the target untouched.
  ASSERT_TRUE(WaitUntil([&] { return server->requests().size() == 2; }, 20000));
  EXPECT_EQ(FilesIn(target.parent_path()), std::vector<fs::path>{target});
  server->Release();
  EXPECT_EQ(run.get(), Outcome::Staged);
  EXPECT_EQ(Read(UpdateChecker::StagedPath(target)), "new library");
  EXPECT_EQ(FilesIn(target.parent_path()).size(), 2u);
  EXPECT_TRUE(FilesIn(temp).empty());
  EXPECT_EQ(Read(target), "old");
}

TEST_F(UpdateHttps, StartChecksOnlyWhenTheLastCheckIsADayOld) {
  server->Put("update/orvWebVer.htm", "17|" + server->base() + "/setup.exe");
  const int64_t now = std::time(nullptr);
  const struct {
    const char* name;
    bool dword;
    int64_t age;
    Outcome outcome;
  } cases[] = {
      {"one hour ago", false, kHour, Outcome::NotDue},
      {"25 hours ago", false, 25 * kHour, Outcome::UpToDate},
      {"a 32-bit date an hour ago", true, kHour, Outcome::UpToDate},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Store store(registryRoot.path());
    store.DeleteValue(kKey, "Update Date");
    if (c.dword) {
      store.SetDword(kKey, "Update Date", static_cast<uint32_t>(now - c.age));
    } else {
      store.SetQword(kKey, "Update Date", static_cast<uint64_t>(now - c.age));
    }
    const size_t before = server->requests().size();
    auto done = std::make_shared<std::promise<Outcome>>();
    auto services = Services();
    services.finished = [done](Outcome o) { done->set_value(o); };
    UpdateChecker checker(services);
    checker.config = RecorderUpdateConfig(u"");
    checker.config.versionPageUrl = platform::FromUtf8(Page());
    const auto running = checker.StartUpdateCheck();
    EXPECT_EQ(done->get_future().get(), c.outcome);
    EXPECT_EQ(server->requests().size() - before, c.outcome == Outcome::NotDue ? 0u : 1u);
    ASSERT_EQ(store.TypeOf(kKey, "Update Date"), platform::registry::ValueType::Qword);
    const auto date = static_cast<int64_t>(*store.GetQword(kKey, "Update Date"));
    if (c.outcome == Outcome::NotDue) {
      EXPECT_EQ(date, now - c.age);
    } else {
      EXPECT_GE(date, now);
    }
    EXPECT_EQ(store.GetDword(kKey, "Current Version"), 17u);
  }
}

TEST_F(UpdateHttps, TwoProgramsStartingAtOnceMakeOneCheck) {
  // The version page is held until the test lets it go, so the first check
  // is still running when the second program decides.
  const std::string page = server->base() + "/hold/orvWebVer.htm";
  server->Put("hold/orvWebVer.htm", "17|" + server->base() + "/setup.exe");
  const std::string program = (SelfFolder() / "update_check_process").string();
  const std::vector<std::string> argv = {program, registryRoot.path().string(), page, temp.string()};
  Child a(argv), b(argv);
  int codeA = -1, codeB = -1;
  const bool oneEnded = WaitUntil(
      [&] {
        if (codeA < 0) codeA = a.Wait(0);
        if (codeB < 0) codeB = b.Wait(0);
        return (codeA >= 0 || codeB >= 0) && !server->requests().empty();
      },
      60000);
  EXPECT_TRUE(oneEnded);
  EXPECT_EQ(server->requests().size(), 1u);
  server->Release();
  if (codeA < 0) codeA = a.Wait(60000);
  if (codeB < 0) codeB = b.Wait(60000);

  EXPECT_EQ(server->requests().size(), 1u);
  const int upToDate = static_cast<int>(Outcome::UpToDate);
  const int skipped[] = {static_cast<int>(Outcome::NotDue), static_cast<int>(Outcome::Busy)};
  EXPECT_TRUE((codeA == upToDate && (codeB == skipped[0] || codeB == skipped[1])) ||
              (codeB == upToDate && (codeA == skipped[0] || codeA == skipped[1])))
      << codeA << " " << codeB;
}

TEST_F(UpdateHttps, OnlyAPackageWithAGoodSignatureIsOpened) {
  const std::string package = Installer();
  server->Put("files/good.deb", package);
  server->Put("files/good.deb.sig", key.Sign(package));
  server->Put("files/bad.deb", package);
  server->Put("files/bad.deb.sig", TestKey(9).Sign(package));
  server->Put("files/unsigned.deb", package);
  const std::string caption = "orvWeb";
  const struct {
    const char* name;
    std::string page;
    Outcome outcome;
  } cases[] = {
      {"good signature", Offer("18", "files/good.deb"), Outcome::InstallerOpened},
      {"signature by another key", Offer("18", "files/bad.deb"), Outcome::Unverified},
      {"signature not on the server", Offer("18", "files/unsigned.deb"), Outcome::Unverified},
      {"no signature named", "18|" + server->base() + "/files/good.deb", Outcome::Unverified},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server->Put("update/orvWebVer.htm", c.page);
    ui = std::make_shared<FakeUi>(true);
    EXPECT_EQ(Checker(Page()).RunUpdateCheck(), c.outcome);
    const auto left = FilesIn(temp);
    if (c.outcome == Outcome::InstallerOpened) {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_EQ(ui->opened(), left);
      EXPECT_EQ(left[0].extension(), ".deb");
      EXPECT_TRUE(Read(left[0]) == package);
      EXPECT_TRUE(ui->told().empty());
      fs::remove(left[0]);
    } else {
      EXPECT_TRUE(left.empty()) << left[0];
      EXPECT_TRUE(ui->opened().empty());
      ASSERT_EQ(ui->told().size(), 1u);
      EXPECT_EQ(platform::ToUtf8(ui->told()[0]).substr(0, caption.size() + 1), caption + "\x01");
    }
  }
}

TEST_F(UpdateHttps, ADownloadInProgressIsCancelledAndRemovedWhenTheCheckEnds) {
  // Half the announced body arrives, then the server stalls.
  server->Put("files/slow.deb", Installer());
  server->Put("files/slow.deb.stall", "");
  server->Put("update/orvWebVer.htm", Offer("18", "files/slow.deb"));
  auto services = Services();
  auto done = std::make_shared<std::promise<Outcome>>();
  services.finished = [done](Outcome o) { done->set_value(o); };
  UpdateChecker checker(services);
  checker.config = RecorderUpdateConfig(u"");
  checker.config.versionPageUrl = platform::FromUtf8(Page());
  checker.config.signingKey = key.publicKey();
  auto running = checker.StartUpdateCheck();
  ASSERT_NE(running, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return !FilesIn(temp).empty() && fs::file_size(FilesIn(temp)[0]) > 0; }, 30000));
  EXPECT_TRUE(running->Stop());
  EXPECT_EQ(done->get_future().get(), Outcome::Cancelled);
  EXPECT_TRUE(FilesIn(temp).empty());
  EXPECT_TRUE(ui->opened().empty());
  server->Release();
}
