#pragma once
// A PulseAudio server of a test's own (a null sink "rec_sink"), which the
// test may kill and start again at the same address; PULSE_SERVER names it
// for the test's scope. Never the rig's shared server.
#include <signal.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"
#include "tests/platform/asf/media_tools.h"

namespace private_pulse {

class PrivatePulse {
 public:
  explicit PrivatePulse(const std::filesystem::path& dir)
      : dir_(dir), address_("unix:" + (dir / "pulse.sock").string()) {
    std::filesystem::create_directories(dir / "xdg");
    std::filesystem::permissions(dir / "xdg", std::filesystem::perms::owner_all);
    env_.emplace("PULSE_SERVER", address_);
    Start();
  }

  // Starts the server (again) and waits until it answers.
  bool Start() {
    const std::string env = "XDG_RUNTIME_DIR=" + (dir_ / "xdg").string() + " HOME=" + dir_.string() +
                            " XDG_CONFIG_HOME=" + dir_.string() + "/config XDG_STATE_HOME=" + dir_.string() +
                            "/state ";
    server_ = std::make_unique<testing_support::Child>(std::vector<std::string>{
        "/bin/sh", "-c",
        env +
            "exec /usr/bin/pulseaudio --daemonize=no --exit-idle-time=-1 -n --disallow-exit "
            "--load='module-null-sink sink_name=rec_sink sink_properties=device.description=RecSink' "
            "--load='module-native-protocol-unix auth-anonymous=1 socket=" +
            (dir_ / "pulse.sock").string() + "' </dev/null >>" + (dir_ / "pulseaudio.log").string() + " 2>&1"});
    ready_ = testing_support::WaitUntil(
        [] { return media_tools::Run({"/usr/bin/pactl", "info"}).status == 0; }, 15000);
    return ready_;
  }

  // Kills the server the hard way (as a crash would) and reaps it.
  void Kill() {
    if (!server_) return;
    server_->Kill(SIGKILL);
    server_->Wait(10000);
    server_.reset();
    ready_ = false;
  }

  bool ready() const { return ready_; }

 private:
  std::filesystem::path dir_;
  std::string address_;
  std::optional<testing_support::ScopedEnv> env_;
  std::unique_ptr<testing_support::Child> server_;
  bool ready_ = false;
};

}  // namespace private_pulse
