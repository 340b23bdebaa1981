# A private PipeWire (pipewire, wireplumber, pipewire-pulse) beside the
# PulseAudio server, so the capture tests also run against the sound server of
# most current desktops. It has its own runtime folder, its own pulse socket
# and the same null sink "rec_sink"; ORVWEB_PIPEWIRE_PULSE_SERVER names it.
# Sourced by scripts/rig (which defines $dir and wait_for).

rig_start_pipewire() {
  local pw="$dir/pipewire" prog
  for prog in pipewire wireplumber pipewire-pulse pactl parec; do
    if ! command -v "$prog" >/dev/null; then
      echo "rig: $prog is missing; PipeWire not started" >&2
      return 0
    fi
  done
  mkdir -p "$pw/xdg" && chmod 700 "$pw/xdg"
  # WirePlumber's Bluetooth monitor needs logind: without it (a machine
  # without systemd) WirePlumber quits at start, nothing links a new stream
  # to its source and every record stream waits for good. The rig has no
  # Bluetooth. (Read before 90-enable-all.lua, which starts the monitor.)
  mkdir -p "$pw/config/wireplumber/bluetooth.lua.d"
  echo 'bluez_monitor.enabled = false' >"$pw/config/wireplumber/bluetooth.lua.d/80-rig-no-bluetooth.lua"
  local server="unix:$pw/xdg/pulse/native"
  local run=(env -u PULSE_SERVER XDG_RUNTIME_DIR="$pw/xdg" PIPEWIRE_RUNTIME_DIR="$pw/xdg" HOME="$pw"
             XDG_CONFIG_HOME="$pw/config" XDG_STATE_HOME="$pw/state"
             DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus")
  "${run[@]}" pipewire </dev/null >"$pw/pipewire.log" 2>&1 &
  echo $! >"$pw/pipewire.pid"
  if ! wait_for 10 test -S "$pw/xdg/pipewire-0"; then
    echo "rig: pipewire did not start (see $pw/pipewire.log)" >&2
    return 1
  fi
  "${run[@]}" wireplumber </dev/null >"$pw/wireplumber.log" 2>&1 &
  echo $! >"$pw/wireplumber.pid"
  "${run[@]}" pipewire-pulse </dev/null >"$pw/pipewire-pulse.log" 2>&1 &
  echo $! >"$pw/pipewire-pulse.pid"
  if ! wait_for 15 env PULSE_SERVER="$server" pactl info; then
    echo "rig: pipewire-pulse did not start (see $pw/pipewire-pulse.log)" >&2
    return 1
  fi
  if ! PULSE_SERVER="$server" pactl load-module module-null-sink sink_name=rec_sink \
         sink_properties=device.description=RecSink >/dev/null ||
     ! wait_for 10 sh -c "PULSE_SERVER='$server' pactl list short sources | grep -q rec_sink.monitor"; then
    echo "rig: PipeWire has no null sink rec_sink" >&2
    return 1
  fi
  # Listing sources works without a session manager; recording does not.
  local got
  got=$(PULSE_SERVER="$server" timeout 15 parec --raw -d rec_sink.monitor 2>/dev/null | head -c 4096 | wc -c) || true
  if [ "$got" != 4096 ]; then
    echo "rig: a PipeWire record stream gets no data (see $pw/wireplumber.log)" >&2
    return 1
  fi
  # As with PulseAudio: a reader keeps the sink's graph running so a new
  # record stream gets data at once.
  PULSE_SERVER="$server" parec --latency-msec=20 -d rec_sink.monitor </dev/null >/dev/null 2>&1 &
  echo $! >"$pw/parec.pid"
  echo "export ORVWEB_PIPEWIRE_PULSE_SERVER=$server"
}

rig_stop_pipewire() {
  local pw="$dir/pipewire" svc pid
  for svc in parec pipewire-pulse wireplumber pipewire; do
    [ -f "$pw/$svc.pid" ] || continue
    pid=$(head -n1 "$pw/$svc.pid")
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -f "$pw/$svc.pid"
  done
}
