#pragma once
// Helpers of the tests that run real players inside the rig: the rig's
// variables, tagged sound files, mpv's command socket and the record as
// another process reads it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/ipc/ipc.h"
#include "shared/now_playing.h"
#include "test_support.h"

namespace real_support {

// A variable the rig must have set; a missing service fails the test.
inline std::string RigValue(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !value[0]) {
    ADD_FAILURE() << name << " is not set: run the test inside scripts/rig";
    return {};
  }
  return value;
}

// A private runtime folder (the section and notices) and registry for the
// test and every program it starts.
class PrivateSession {
 public:
  PrivateSession()
      : runtime_(Make(dir_.path() / "runtime")),
        runtimeEnv_("XDG_RUNTIME_DIR", runtime_.string()),
        configEnv_("XDG_CONFIG_HOME", (dir_.path() / "config").string()) {}
  const std::filesystem::path& dir() const { return dir_.path(); }

 private:
  static std::filesystem::path Make(const std::filesystem::path& p) {
    std::filesystem::create_directories(p);
    ::chmod(p.c_str(), 0700);
    return p;
  }
  testing_support::TempDir dir_;
  std::filesystem::path runtime_;
  testing_support::ScopedEnv runtimeEnv_;
  testing_support::ScopedEnv configEnv_;
};

inline std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

inline std::string Describe(const orvweb::NowPlayingSnapshot& s) {
  return "state " + std::to_string(s.playState) + " author '" + Utf8(s.item.author) + "' title '" +
         Utf8(s.item.title) + "' url '" + Utf8(s.item.sourceUrl) + "'";
}

// Polls the record until pred holds; the last snapshot read goes to last.
inline bool WaitForRecord(const std::function<bool(const orvweb::NowPlayingSnapshot&)>& pred,
                          orvweb::NowPlayingSnapshot& last, int timeoutMs = 20000) {
  return testing_support::WaitUntil(
      [&] {
        orvweb::NowPlayingSnapshot snap;
        if (orvweb::ReadNowPlaying(snap) != orvweb::NowPlayingReadResult::Ok) return false;
        last = snap;
        return pred(snap);
      },
      timeoutMs);
}

inline int Run(const std::vector<std::string>& argv, int timeoutMs = 60000) {
  testing_support::Child child(argv);
  return child.Wait(timeoutMs);
}

// A short sine tone with artist and title tags.
inline std::filesystem::path TaggedFile(const std::filesystem::path& dir, const std::string& name,
                                        const std::string& artist, const std::string& title, int seconds,
                                        int frequency) {
  const auto path = dir / name;
  EXPECT_EQ(Run({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                 "sine=frequency=" + std::to_string(frequency) + ":duration=" + std::to_string(seconds),
                 "-metadata", "artist=" + artist, "-metadata", "title=" + title, path.string()}),
            0);
  return path;
}

// One JSON command over mpv's --input-ipc-server socket.
inline bool MpvCommand(const std::filesystem::path& socketPath, const std::string& json) {
  platform::ipc::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = socketPath.string();
  if (!fd || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const std::string line = json + "\n";
  return ::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
}

// Not --no-terminal: that also drops mpv's SIGTERM handler, and the signal
// would then kill it before its plug-ins are shut down.
inline std::vector<std::string> MpvArgs(const std::filesystem::path& ipcSocket) {
  return {"/usr/bin/mpv", "--no-config", "--no-video", "--really-quiet", "--ao=pulse",
          "--audio-device=pulse/rec_sink", "--input-ipc-server=" + ipcSocket.string()};
}

}  // namespace real_support
