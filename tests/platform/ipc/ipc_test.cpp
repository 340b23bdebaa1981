#include "platform/ipc/ipc.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "test_support.h"

namespace fs = std::filesystem;
using namespace platform::ipc;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

class Ipc : public ::testing::Test {
 protected:
  TempDir runtime;
  ScopedEnv xdg{"XDG_RUNTIME_DIR", runtime.path().string()};
};

TEST_F(Ipc, RuntimeFolderFallsBackToAPrivateTemporaryFolder) {
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  const fs::path expected = tmp.path() / ("orvweb-" + std::to_string(::getuid()));
  {
    ScopedEnv unset("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(RuntimeFolder(), expected);
    struct stat st {};
    ASSERT_EQ(::stat(expected.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  {
    // A runtime folder others can read is not used for private names.
    TempDir open;
    ::chmod(open.path().c_str(), 0755);
    ScopedEnv shared("XDG_RUNTIME_DIR", open.path().string());
    EXPECT_EQ(RuntimeFolder(), expected);
  }
  {
    // Nor is a fallback folder that someone else could have prepared.
    fs::remove_all(expected);
    ::mkdir(expected.c_str(), 0755);
    ScopedEnv unset("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(RuntimeFolder(), std::nullopt);
  }
}

TEST_F(Ipc, NamedLockIsExclusiveAndReleasable) {
  NamedLock a("OrvWebRecorder.exe"), b("OrvWebRecorder.exe"), other("orvWebUpdaterMutex");
  EXPECT_FALSE(NamedLock::IsHeld("OrvWebRecorder.exe"));
  ASSERT_TRUE(a.TryAcquire());
  EXPECT_TRUE(NamedLock::IsHeld("OrvWebRecorder.exe"));
  EXPECT_FALSE(b.TryAcquire());
  EXPECT_FALSE(b.Acquire(50));
  EXPECT_TRUE(other.TryAcquire());
  a.Release();
  EXPECT_TRUE(b.Acquire(1000));
}

TEST_F(Ipc, OneWriterPerSectionAndReadersSeeItsBytes) {
  auto writer = SectionWriter::Create("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", 32008);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(SectionWriter::Create("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", 32008));
  std::memcpy(writer->data() + 100, "hello", 5);

  EXPECT_TRUE(SectionPresent("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE"));
  std::vector<unsigned char> copy(32008);
  ASSERT_EQ(ReadSection("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", copy.data(), copy.size()), SectionRead::Ok);
  EXPECT_EQ(std::memcmp(copy.data() + 100, "hello", 5), 0);
  // Asking for more than the section holds is refused, never a fault.
  std::vector<unsigned char> tooMuch(40000);
  EXPECT_EQ(ReadSection("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", tooMuch.data(), tooMuch.size()),
            SectionRead::Unreadable);

  writer.reset();
  EXPECT_FALSE(SectionPresent("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE"));
  EXPECT_EQ(ReadSection("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", copy.data(), copy.size()), SectionRead::NotPresent);
  EXPECT_TRUE(fs::is_empty(runtime.path()));
  EXPECT_TRUE(SectionWriter::Create("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", 32008));
}

TEST_F(Ipc, NamesCannotLeaveTheRuntimeFolder) {
  auto writer = SectionWriter::Create("../../escape", 16);
  ASSERT_TRUE(writer);
  for (const auto& entry : fs::directory_iterator(runtime.path())) {
    EXPECT_EQ(entry.path().parent_path(), runtime.path());
  }
  EXPECT_FALSE(fs::exists(runtime.path().parent_path().parent_path() / "escape"));
}

TEST_F(Ipc, BroadcastReachesEveryListenerOncePerPost) {
  auto one = BroadcastListener::Create("3787ED1C-E59D-46b8-A834-E3AA343ACCFE");
  auto two = BroadcastListener::Create("3787ED1C-E59D-46b8-A834-E3AA343ACCFE");
  auto elsewhere = BroadcastListener::Create("WMPlayer_PluginAddRemove");
  ASSERT_TRUE(one && two && elsewhere);
  Broadcast("3787ED1C-E59D-46b8-A834-E3AA343ACCFE");
  Broadcast("3787ED1C-E59D-46b8-A834-E3AA343ACCFE");
  EXPECT_EQ(one->Drain(), 2);
  EXPECT_EQ(two->Drain(), 2);
  EXPECT_EQ(elsewhere->Drain(), 0);
  EXPECT_EQ(one->Drain(), 0);
}

TEST_F(Ipc, BroadcastWithoutListenersOrWithDeadOnesDoesNotFail) {
  Broadcast("nobody-listens");
  const fs::path dir = runtime.path() / "dead-listener";
  ::mkdir(dir.c_str(), 0700);
  {
    // A socket whose process went away: bound, then closed without unlink.
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = (dir / "99999-0").string();
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  auto live = BroadcastListener::Create("dead-listener");
  Broadcast("dead-listener");
  EXPECT_EQ(live->Drain(), 1);
  EXPECT_FALSE(fs::exists(dir / "99999-0"));  // cleaned away
}

TEST_F(Ipc, BroadcastNeverBlocksOnAListenerThatDoesNotRead) {
  auto deaf = BroadcastListener::Create("busy");
  ASSERT_TRUE(deaf);
  for (int i = 0; i < 5000; ++i) Broadcast("busy");  // far beyond a socket queue
  EXPECT_GT(deaf->Drain(), 0);
  Broadcast("busy");
  EXPECT_EQ(deaf->Drain(), 1);
}

TEST_F(Ipc, VeryLongRuntimePathStillWorks) {
  fs::path deep = runtime.path();
  for (int i = 0; i < 6; ++i) deep /= std::string(30, static_cast<char>('a' + i));
  fs::create_directories(deep);
  ::chmod(deep.c_str(), 0700);
  ScopedEnv xdg2("XDG_RUNTIME_DIR", deep.string());
  ASSERT_GT(deep.string().size(), 108u);
  auto listener = BroadcastListener::Create("3787ED1C-E59D-46b8-A834-E3AA343ACCFE");
  ASSERT_TRUE(listener);
  Broadcast("3787ED1C-E59D-46b8-A834-E3AA343ACCFE");
  EXPECT_EQ(listener->Drain(), 1);
}

TEST_F(Ipc, UnsafeFallbackFoldersAreRefusedWithTheirReason) {
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  ScopedEnv unset("XDG_RUNTIME_DIR", std::nullopt);
  const fs::path fallback = tmp.path() / ("orvweb-" + std::to_string(::getuid()));
  const fs::path elsewhere = tmp.path() / "elsewhere";
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string reason;
  };
  const Case cases[] = {
      {"a link to a private folder", [&] { ::mkdir(elsewhere.c_str(), 0700); fs::create_directory_symlink(elsewhere, fallback); },
       "it is a symbolic link"},
      {"a dangling link", [&] { fs::create_directory_symlink(tmp.path() / "none", fallback); }, "it is a symbolic link"},
      {"a file", [&] { std::ofstream(fallback).put('x'); }, "it is not a folder"},
      {"writable by everyone", [&] { ::mkdir(fallback.c_str(), 0700); ::chmod(fallback.c_str(), 0777); },
       "other users may write to it"},
      {"writable by the group", [&] { ::mkdir(fallback.c_str(), 0700); ::chmod(fallback.c_str(), 0770); },
       "other users may write to it"},
      {"another user's", [&] {
         ::mkdir(fallback.c_str(), 0700);
         if (::getuid() == 0) {
           ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
         }
       },
       ::getuid() == 0 ? "it belongs to another user" : ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.reason.empty()) continue;  // needs root to give a folder away
    fs::remove_all(fallback);
    fs::remove_all(elsewhere);
    c.prepare();
    FolderFailure failure;
    EXPECT_EQ(RuntimeFolder(&failure), std::nullopt);
    EXPECT_EQ(failure.folder, fallback);
    EXPECT_EQ(failure.reason, c.reason);
    // Nothing is made in a refused folder, and the lock says why it is missing.
    NamedLock lock("OrvWebRecorder.exe");
    FolderFailure lockFailure;
    EXPECT_EQ(lock.TryLock(&lockFailure), LockAttempt::Unavailable);
    EXPECT_EQ(lockFailure.folder, fallback);
    EXPECT_EQ(lockFailure.reason, c.reason);
    EXPECT_FALSE(SectionWriter::Create("F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE", 32008));
    if (fs::is_symlink(fallback)) {
      EXPECT_TRUE(!fs::exists(elsewhere) || fs::is_empty(elsewhere));
    }
  }
  fs::remove_all(fallback);
}

TEST_F(Ipc, AHeldLockIsToldFromOneThatCannotBeMade) {
  NamedLock first("OrvWebRecorder.exe"), second("OrvWebRecorder.exe");
  ASSERT_EQ(first.TryLock(), LockAttempt::Acquired);
  FolderFailure failure{"untouched", "untouched"};
  EXPECT_EQ(second.TryLock(&failure), LockAttempt::Held);
  EXPECT_EQ(failure.reason, "untouched");
  first.Release();

  // Something that is no lock file sits under the lock's name.
  fs::create_directory(runtime.path() / "blocked.lock");
  NamedLock blocked("blocked");
  EXPECT_EQ(blocked.TryLock(&failure), LockAttempt::Unavailable);
  EXPECT_EQ(failure.folder, runtime.path());
  EXPECT_EQ(failure.reason, std::strerror(EISDIR));
  EXPECT_FALSE(blocked.TryAcquire());
}

TEST_F(Ipc, ADeadWritersSectionIsTakenOverWhileAReaderLooksAtIt) {
  const std::string name = "F2308FDA-1C8A-4e63-94DA-5CEB8BC6C8BE";
  const fs::path path = runtime.path() / name;
  for (bool readerLetsGo : {true, false}) {
    SCOPED_TRACE(readerLetsGo ? "the reader lets go" : "the reader never lets go");
    // What a writer that died leaves: the file, with nobody's lock on it.
    fs::remove(path);
    std::ofstream(path) << std::string(32008, 'x');
    // A reader that found it and holds its shared lock at this instant.
    Fd reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(reader);
    ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
    std::thread lettingGo;
    if (readerLetsGo) {
      lettingGo = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::flock(reader.get(), LOCK_UN);
      });
    }
    auto writer = SectionWriter::Create(name, 32008);
    if (lettingGo.joinable()) lettingGo.join();
    EXPECT_EQ(static_cast<bool>(writer), readerLetsGo);
    if (writer) {
      EXPECT_EQ(writer->data()[0], 0);  // a fresh section, not the dead one's bytes
      EXPECT_TRUE(SectionPresent(name));
    }
  }
}

}  // namespace
