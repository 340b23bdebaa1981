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
#include <memory>
#include <string>
#include <vector>

#include "platform/ipc/ipc.h"
#include "shared/now_playing.h"
#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

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

// A session bus of the test's own, so players that other tests start at the
// same time are not seen (and ours are not seen by them).
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& dir)
      : daemon_(dir / "bus"), env_("DBUS_SESSION_BUS_ADDRESS", daemon_.address()) {
    EXPECT_TRUE(daemon_.ready()) << "dbus-daemon did not start";
  }

 private:
  testing_support::BusDaemon daemon_;
  testing_support::ScopedEnv env_;
};

// A null sink of the test's own on the rig's sound server: what our players
// play never mixes into another test's recording.
class PrivateSink {
 public:
  PrivateSink() : sink_("orvweb_test_" + std::to_string(::getpid())) {
    EXPECT_TRUE(sink_.loaded()) << "no null sink on the sound server " << RigValue("PULSE_SERVER");
  }
  std::string device() const { return "pulse/" + sink_.name(); }

 private:
  media_tools::ScopedNullSink sink_;
};

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
inline std::vector<std::string> MpvArgs(const std::filesystem::path& ipcSocket, const PrivateSink& sink) {
  return {"/usr/bin/mpv", "--no-config", "--no-video", "--really-quiet", "--ao=pulse",
          "--audio-device=" + sink.device(), "--input-ipc-server=" + ipcSocket.string()};
}

// A stream on the rig's Icecast server, fed by ffmpeg with a sine tone.
class IcecastStream {
 public:
  IcecastStream()
      : host_(RigValue("ORVWEB_ICECAST_HOST")),
        port_(RigValue("ORVWEB_ICECAST_PORT")),
        mount_("/orvweb-" + std::to_string(::getpid()) + ".mp3") {}

  std::string url() const { return "http://" + host_ + ":" + port_ + mount_; }

  // A station name, when given, reaches listeners as the stream's icy-name
  // (some players read titles only from a stream that has one).
  void StartSource(const std::string& stationName = {}) {
    std::vector<std::string> args{"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                  "sine=frequency=440", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k",
                                  "-content_type", "audio/mpeg"};
    if (!stationName.empty()) args.insert(args.end(), {"-ice_name", stationName, "-ice_genre", "Pop"});
    args.insert(args.end(), {"-f", "mp3",
                             "icecast://source:" + RigValue("ORVWEB_ICECAST_SOURCE_PASSWORD") + "@" + host_ + ":" +
                                 port_ + mount_});
    source_ = std::make_unique<testing_support::Child>(args);
  }

  // Icecast's admin call that sets the title listeners get in the stream.
  bool SetTitle(const std::string& urlEncodedSong) {
    const std::string admin = "http://" + RigValue("ORVWEB_ICECAST_ADMIN_USER") + ":" +
                              RigValue("ORVWEB_ICECAST_ADMIN_PASSWORD") + "@" + host_ + ":" + port_ +
                              "/admin/metadata?mount=" + mount_ + "&mode=updinfo&song=" + urlEncodedSong;
    return Run({"/usr/bin/curl", "-sf", "-o", "/dev/null", "--max-time", "5", admin}) == 0;
  }

  // A new listener gets the server's burst of past audio (64 KB, 4 s here) at
  // once, as on a station that has been on air for a while. Firefox takes
  // a live stream's length from what it got first, and a page whose media
  // seems shorter than 3 s is no player to it.
  bool WaitBurstFull() {
    testing_support::TempDir dir;
    const std::string got = (dir.path() / "burst").string();
    return testing_support::WaitUntil(
        [&] {
          Run({"/usr/bin/curl", "-s", "--max-time", "0.5", "-o", got, url()});
          std::error_code ec;
          return std::filesystem::file_size(got, ec) >= 64000 && !ec;
        },
        20000);
  }

  // The title can be set once the source is connected and the mount exists.
  bool WaitOnlineWithTitle(const std::string& urlEncodedSong) {
    return testing_support::WaitUntil([&] { return SetTitle(urlEncodedSong); }, 15000);
  }

 private:
  std::string host_, port_, mount_;
  std::unique_ptr<testing_support::Child> source_;
};

}  // namespace real_support
