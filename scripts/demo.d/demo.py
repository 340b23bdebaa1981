#!/usr/bin/env python3
"""The recorder on a virtual radio, from start to the songs on disk.

Starts a private rig (D-Bus, PulseAudio with the null sink "rec_sink", Xvfb,
Icecast), the virtual radio, a player (mpv with its MPRIS plug-in, VLC,
Audacious, or Chromium on a station page) playing the stream into the null sink, and the recorder with a private profile recording from the
sink's monitor. Record is clicked with real X input. Every process is started
and ended by its PID; HOME, the XDG folders and the songs folder all live in
one temporary folder, so the user's own profile, music and sound server are
never touched.

  demo.py BUILD_DIR [--keep DIR] [--player mpv|vlc|audacious|chromium]

The Demo class is also the harness of the end-to-end test.
"""
import http.server
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINDOW_TITLE = "Orvello Web Edition"
SETTINGS_KEY = ("HKEY_CURRENT_USER", "Software", "Rived Idadazaz", "OrvWebRecorder", "Settings")
# The record button of the bundled main page in window coordinates, when the
# window's trace has not told where it is.
RECORD_BUTTON = (68, 113)

PLAYERS = ("mpv", "vlc", "audacious", "chromium")
STATION = "Demo Radio"  # the stream's icy-name (radio.py)
LEAD_IN = "Demo Radio - Station ID"
OUTRO = "Demo Radio - Goodbye"
MIN_SONG_LENGTH = 6

# (stream title, seconds of music, silent gap before it in ms, file name, artist tag, title tag)
SONGS = [
    ("01. Band - Song (Live) [2004]", 9, 300, "Band - Song.mp3", "Band", "Song"),
    ("Mötley Crüe - Café Ñandú", 8, 450, "Mötley Crüe - Café Ñandú.mp3", "Mötley Crüe", "Café Ñandú"),
    ("AC/DC - Back/Forth", 8, 250, "AC DC - Back Forth.mp3", "AC/DC", "Back/Forth"),
    ("Short Band - Tiny Song", 3, 400, None, "Short Band", "Tiny Song"),
    ("Some Band - Blue Song -- CD 2", 8, 350, "Some Band - Blue Song.mp3", "Some Band", "Blue Song"),
]


def plan_songs(songs):
    return [{"title": s[0], "seconds": s[1], "gap_ms": s[2]} for s in songs]


class DemoError(RuntimeError):
    pass


def wait_for(what, cond, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = cond()
        if value:
            return value
        time.sleep(step)
    raise DemoError("timed out waiting for " + what)


def quoted(text):
    out = '"'
    for ch in text:
        if ch in '"\\':
            out += "\\" + ch
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out += "\\x%02X" % ord(ch)
        else:
            out += ch
    return out + '"'


# The station's web page for a browser: the stream in an <audio> element, the
# station's name as the media session's title while it starts, then the
# song from the station's status every second with the station as the artist.
STATION_PAGE = """<!doctype html><meta charset="utf-8"><title>%(station)s</title>
<audio id="player" autoplay src="%(stream)s"></audio>
<script>
const station = %(station_js)s;
navigator.mediaSession.metadata = new MediaMetadata({title: station});
async function poll() {
  try {
    const now = await (await fetch("status.json", {cache: "no-store"})).json();
    if (now.title && navigator.mediaSession.metadata.title !== now.title) {
      navigator.mediaSession.metadata = new MediaMetadata({title: now.title, artist: station});
    }
  } catch (e) {}
}
const player = document.getElementById("player");
player.addEventListener("playing", () => setInterval(poll, 1000), {once: true});
player.play().catch(() => {});
</script>
"""


class StationSite:
    """The station's web site on 127.0.0.1: its page, and its status as the
    page asks for it (the Icecast status of the station's mount)."""

    def __init__(self, stream_url, status_url, mount):
        page = (STATION_PAGE % {"station": STATION, "station_js": json.dumps(STATION),
                                "stream": stream_url}).encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path == "/":
                    body, kind = page, "text/html; charset=utf-8"
                elif self.path == "/status.json":
                    body, kind = json.dumps({"title": StationSite.title(status_url, mount)}).encode(), "application/json"
                else:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]

    @staticmethod
    def title(status_url, mount):
        try:
            with urllib.request.urlopen(status_url, timeout=2) as r:
                sources = json.load(r)["icestats"].get("source", [])
        except (OSError, ValueError, KeyError):
            return None
        for source in sources if isinstance(sources, list) else [sources]:
            if source.get("listenurl", "").endswith(mount):
                title = source.get("title")
                # Icecast takes a title set through its admin call for Latin-1;
                # the radio sends UTF-8.
                try:
                    return title.encode("latin-1").decode("utf-8")
                except (AttributeError, UnicodeError):
                    return title
        return None

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Demo:
    def __init__(self, build, work=None, player="mpv"):
        if player not in PLAYERS:
            raise DemoError("no such player: " + player)
        self.player = player
        self.site = None
        self.build = os.path.abspath(build)
        self.dir = work or tempfile.mkdtemp(prefix="orvweb-demo.")
        self.rig_dir = os.path.join(self.dir, "rig")
        self.songs = os.path.join(self.dir, "songs")
        self.home = os.path.join(self.dir, "home")
        self.state = os.path.join(self.dir, "state")
        self.config = os.path.join(self.dir, "config")
        self.runtime = os.path.join(self.dir, "runtime")
        for d in (self.songs, self.home, self.state, self.config, self.runtime):
            os.makedirs(d, exist_ok=True)
        os.chmod(self.runtime, 0o700)
        self.go = os.path.join(self.dir, "radio.go")
        self.stop_file = os.path.join(self.dir, "radio.stop")
        self.timeline_path = os.path.join(self.dir, "timeline.json")
        self.mpv_socket = os.path.join(self.dir, "mpv.sock")
        self.rig = {}
        self.procs = {}  # name -> Popen, ended in reverse order
        self.mount = "/demo.mp3"

    # --- environment -------------------------------------------------
    def start_rig(self):
        os.makedirs(self.rig_dir, exist_ok=True)
        rig = os.path.join(ROOT, "scripts", "rig")
        # Two rigs starting at the same moment can pick the same free display
        # or port; the loser stops what it started and tries again.
        for attempt in range(3):
            r = subprocess.run([rig, "start", self.rig_dir], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               text=True)
            if r.returncode == 0:
                break
            subprocess.run([rig, "stop", self.rig_dir], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            time.sleep(1 + attempt + random.random())
        else:
            raise DemoError("the rig did not start (see " + self.rig_dir + ")")
        out = r.stdout
        for line in out.splitlines():
            if line.startswith("export ") and "=" in line:
                key, value = line[len("export "):].split("=", 1)
                self.rig[key] = value
        for key in ("DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "DISPLAY", "ORVWEB_ICECAST_PORT"):
            if key not in self.rig:
                raise DemoError("the rig did not start " + key + " (see " + self.rig_dir + ")")

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("XDG_", "DBUS_", "PULSE_", "WAYLAND_", "ORVWEB_"))
               and k not in ("DISPLAY", "HOME")}
        env.update(self.rig)
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.config, XDG_STATE_HOME=self.state,
                   XDG_RUNTIME_DIR=self.runtime, GDK_BACKEND="x11", NO_AT_BRIDGE="1",
                   LC_ALL="C.UTF-8",
                   # No notice or update request leaves the machine.
                   ORVWEB_NOTICE_BASE="http://127.0.0.1:9/notice", ORVWEB_UPDATE_BASE="http://127.0.0.1:9")
        env.update(extra)
        return env

    def write_profile(self, **overrides):
        values = {"SourceName": self.source_name(), "SourceInput": 0, "OutputFormat": 1, "FirstRun": 0,
                  "DebugMode": 1, "MinSongLength": MIN_SONG_LENGTH, "ShowMinimizeWarning": 0,
                  "SongsFolder": self.songs + "/"}
        values.update(overrides)
        folder = os.path.join(self.config, "orvweb", "registry", *SETTINGS_KEY)
        os.makedirs(folder, exist_ok=True)
        # The registry layer's file format: a header line, one value a line, an end line.
        with open(os.path.join(folder, ".values"), "w", encoding="utf-8") as f:
            f.write("; orvweb registry key\n")
            for name, value in values.items():
                kind = "dword:%d" % value if isinstance(value, int) else "sz:" + quoted(value)
                f.write(quoted(name) + "=" + kind + "\n")
            f.write("; end\n")

    def source_name(self):
        # The capture layer names a PulseAudio source by its own name.
        return "rec_sink.monitor"

    def spawn(self, name, argv, **kw):
        log = open(os.path.join(self.dir, name + ".log"), "wb")
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                env=kw.pop("env", None) or self.env(), **kw)
        self.procs[name] = proc
        return proc

    # --- the station and the player ---------------------------------
    def start_radio(self, songs, lead_in=LEAD_IN, outro=OUTRO):
        plan = os.path.join(self.dir, "plan.json")
        with open(plan, "w", encoding="utf-8") as f:
            json.dump({"lead_in": lead_in, "songs": plan_songs(songs), "outro": outro}, f, ensure_ascii=False)
        r = self.rig
        self.spawn("radio", [sys.executable, os.path.join(HERE, "radio.py"),
                             "--host", r["ORVWEB_ICECAST_HOST"], "--port", r["ORVWEB_ICECAST_PORT"],
                             "--mount", self.mount, "--source-password", r["ORVWEB_ICECAST_SOURCE_PASSWORD"],
                             "--admin-user", r["ORVWEB_ICECAST_ADMIN_USER"],
                             "--admin-password", r["ORVWEB_ICECAST_ADMIN_PASSWORD"],
                             "--plan", plan, "--timeline", self.timeline_path,
                             "--go", self.go, "--stop", self.stop_file])
        wait_for("the station's first title", lambda: self.change(lead_in), 20)

    def timeline(self):
        try:
            with open(self.timeline_path, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {"changes": [], "songs": []}

    def change(self, title):
        """The measured stream time at which title began, or None."""
        for c in self.timeline()["changes"]:
            if c["title"] == title and c["stream_s"] is not None:
                return c
        return None

    def stream_url(self):
        return "http://%s:%s%s" % (self.rig["ORVWEB_ICECAST_HOST"], self.rig["ORVWEB_ICECAST_PORT"], self.mount)

    def start_player(self):
        """Starts the chosen player; before the recorder, which must share its bus."""
        getattr(self, "start_" + self.player)()

    def start_vlc(self):
        home = os.path.join(self.dir, "vlc-home")
        os.makedirs(home, exist_ok=True)
        argv = []
        env = self.env(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                       XDG_STATE_HOME=os.path.join(home, ".local", "state"), XDG_RUNTIME_DIR="",
                       PULSE_SINK="rec_sink")
        if os.getuid() == 0:
            # VLC refuses to run as root: it runs as nobody, on a bus of ours
            # that lets other users in (the recorder and its host join it).
            os.chown(home, 65534, 65534)
            os.chmod(self.dir, 0o711)
            bus = os.path.join(self.dir, "open-bus")
            os.makedirs(bus, exist_ok=True)
            os.chmod(bus, 0o755)
            conf = os.path.join(bus, "bus.conf")
            with open(conf, "w") as f:
                f.write('<busconfig><type>session</type><listen>unix:path=%s/bus</listen><auth>EXTERNAL</auth>'
                        '<policy context="default"><allow user="*"/><allow send_destination="*" eavesdrop="true"/>'
                        '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n' % bus)
            self.spawn("open-bus", ["dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + conf])
            wait_for("the open bus", lambda: os.path.exists(os.path.join(bus, "bus")), 10)
            self.rig["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=%s/bus" % bus
            env["DBUS_SESSION_BUS_ADDRESS"] = self.rig["DBUS_SESSION_BUS_ADDRESS"]
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        self.spawn("vlc", argv + ["vlc", "-I", "dummy", "--control", "dbus", "--aout", "pulse", "--no-video",
                                  "--quiet", self.stream_url()], env=env)

    def start_audacious(self):
        home = os.path.join(self.dir, "audacious-home")
        os.makedirs(home, exist_ok=True)
        # A fresh configuration of its own: the MPRIS plug-in is on in it.
        self.spawn("audacious", ["audacious", "--headless", self.stream_url()],
                   env=self.env(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), PULSE_SINK="rec_sink"))

    def start_chromium(self):
        r = self.rig
        self.site = StationSite(self.stream_url(), "http://%s:%s/status-json.xsl" % (
            r["ORVWEB_ICECAST_HOST"], r["ORVWEB_ICECAST_PORT"]), self.mount)
        home = os.path.join(self.dir, "chromium-home")
        os.makedirs(home, exist_ok=True)
        self.spawn("chromium", ["chromium", "--no-sandbox", "--user-data-dir=" + os.path.join(home, "profile"),
                                "--no-first-run", "--no-default-browser-check", "--password-store=basic",
                                "--disable-gpu", "--autoplay-policy=no-user-gesture-required", self.site.url],
                   env=self.env(HOME=home, PULSE_SINK="rec_sink"))

    def start_mpv(self):
        if os.path.exists(self.mpv_socket):
            os.unlink(self.mpv_socket)
        self.spawn("mpv", ["mpv", "--no-config", "--script=/etc/mpv/scripts/mpris.so", "--no-video",
                           "--really-quiet", "--ao=pulse", "--audio-device=pulse/rec_sink",
                           "--input-ipc-server=" + self.mpv_socket, self.stream_url()])
        wait_for("mpv's command socket", lambda: os.path.exists(self.mpv_socket), 20)

    def player_command(self, *command):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(self.mpv_socket)
            s.sendall((json.dumps({"command": list(command)}) + "\n").encode())

    # --- the recorder ------------------------------------------------
    def program(self, name):
        for path in (os.path.join(self.build, "recorder", name), os.path.join(self.build, "bin", name)):
            if os.access(path, os.X_OK):
                return path
        raise DemoError(name + " is not built in " + self.build)

    def trace_path(self):
        return os.path.join(self.dir, "ui-trace.log")

    def trace_rows(self):
        try:
            with open(self.trace_path(), encoding="utf-8", errors="replace") as f:
                return [line.rstrip("\n").split("\t") for line in f]
        except OSError:
            return []

    def record_button(self):
        """The record button's centre from the last document's element
        positions (window coordinates: the page's plus the title bar's)."""
        rects = [r[2] for r in self.trace_rows() if len(r) >= 3 and r[0] == WINDOW_TITLE and r[1] == "rects"]
        for item in (rects[-1].split(";") if rects else []):
            fields = item.split()
            if len(fields) >= 3 and fields[0] == "RecordButton":
                return int(fields[1]), int(fields[2])
        return RECORD_BUTTON

    def log_lines(self):
        """The lines of the main window's log, oldest first, from the window's
        trace of page writes (orv.log itself keeps only the latest message)."""
        rows = self.trace_rows()
        return [r[4] for r in rows if len(r) >= 5 and r[0] == WINDOW_TITLE and r[1:4] == ["write", "value", "Log"]
                and r[4]]

    def wait_log(self, text, timeout=30, after=0):
        """Waits for a log line containing text among the lines from index after on."""
        return wait_for('"%s" in the log' % text,
                        lambda: next((i + 1 for i, l in enumerate(self.log_lines()) if i >= after and text in l),
                                     None), timeout)

    def start_recorder(self, program=None):
        self.spawn("recorder", [program or self.program("OrvWebRecorder")],
                   env=self.env(ORVWEB_UI_TRACE=self.trace_path()))
        self.wait_log("User interface is loaded.", 90)
        self.window = wait_for("the main window", self.find_window, 30, step=0.2)
        wait_for("the main page's element positions",
                 lambda: any(len(r) >= 2 and r[0] == WINDOW_TITLE and r[1] == "rects" for r in self.trace_rows()), 30)

    def find_window(self):
        out = subprocess.run(["xdotool", "search", "--name", WINDOW_TITLE], env=self.env(),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.split()
        pid = str(self.procs["recorder"].pid)
        for wid in out:
            owner = subprocess.run(["xdotool", "getwindowpid", wid], env=self.env(), stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True).stdout.strip()
            if owner == pid:
                return wid
        return None

    def click_record(self, expect):
        """A real click on Record; expect is the log line that proves it landed."""
        before = len(self.log_lines())
        for _ in range(3):
            x, y = self.record_button()
            subprocess.run(["xdotool", "mousemove", "--window", self.window, str(x), str(y),
                            "click", "1"], env=self.env(), check=True)
            # Off the button again: its tooltip would cover the window.
            subprocess.run(["xdotool", "mousemove", "--window", self.window, "600", "480"], env=self.env())
            try:
                return self.wait_log(expect, 5, after=before)
            except DemoError:
                pass
        raise DemoError("the click on Record did not reach the recorder")

    def screenshot(self, path=None):
        path = path or os.path.join(self.dir, "main-window.png")
        time.sleep(1)  # the web process paints the last writes a frame or two later
        subprocess.run(["import", "-window", self.window, path], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def end(self, name, sig=signal.SIGTERM, timeout=10):
        proc = self.procs.pop(name, None)
        if not proc or proc.poll() is not None:
            return
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def stop(self):
        open(self.stop_file, "w").close()
        for name in reversed(list(self.procs)):
            self.end(name)
        if self.site:
            self.site.close()
        if os.path.isdir(self.rig_dir):
            subprocess.run([os.path.join(ROOT, "scripts", "rig"), "stop", self.rig_dir],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # --- what was recorded ------------------------------------------
    def probe(self, path):
        out = subprocess.run(["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", path],
                             stdout=subprocess.PIPE, text=True).stdout
        data = json.loads(out or "{}")
        fmt = data.get("format", {})
        tags = {k.lower(): v for k, v in fmt.get("tags", {}).items()}
        stream = (data.get("streams") or [{}])[0]
        return {"duration": float(fmt.get("duration", 0)), "bit_rate": int(stream.get("bit_rate") or fmt.get("bit_rate") or 0),
                "codec": stream.get("codec_name"), "tags": tags}

    def decoded_seconds(self, path):
        """The audio that really decodes, whatever the headers claim."""
        pcm = subprocess.run(["ffmpeg", "-nostdin", "-v", "quiet", "-i", path, "-f", "s16le", "-ac", "1",
                              "-ar", "8000", "-"], stdout=subprocess.PIPE).stdout
        return len(pcm) / 16000.0

    def songs_on_disk(self):
        return sorted(n for n in os.listdir(self.songs) if not n.startswith("."))

    def report(self, out=sys.stdout):
        lengths = {s["title"]: s["stream_length_s"] for s in self.timeline()["songs"]}
        errors = [c["error_ms"] for c in self.timeline()["changes"][1:] if c["error_ms"] is not None]
        print("Songs recorded in %s:" % self.songs, file=out)
        for name in self.songs_on_disk():
            p = self.probe(os.path.join(self.songs, name))
            print("  %s\n    %.2f s, %d kbit/s %s, artist %r, title %r, comment %r" % (
                name, p["duration"], p["bit_rate"] // 1000, p["codec"], p["tags"].get("artist"),
                p["tags"].get("title"), p["tags"].get("comment")), file=out)
        if lengths:
            print("Songs as the station played them (s): " +
                  ", ".join("%s %.2f" % (t, v) for t, v in lengths.items() if v is not None), file=out)
        if errors:
            print("Title changes against the audio boundary (ms): " + " ".join("%+d" % e for e in errors), file=out)


def run_demo(build, keep=None, player="mpv"):
    demo = Demo(build, keep, player)
    try:
        demo.start_rig()
        demo.write_profile()
        demo.start_radio(SONGS)
        demo.start_player()
        demo.start_recorder()
        demo.wait_log("Windows Media Player Plugin is detected.", 30)
        # A player names the stream by its file or station until the first title arrives.
        demo.wait_log("New song " + LEAD_IN, 60)
        demo.click_record("Recording is Started.")
        open(demo.go, "w").close()
        # The player plays a few seconds behind the station: wait for the
        # recorder to see the last title change, which finishes the last song.
        demo.wait_log("New song " + OUTRO, 180)
        demo.click_record("Recording is Stopped")
        shot = demo.screenshot()
        demo.end("recorder")
    finally:
        demo.stop()
    demo.report()
    print("Screenshot of the main window: " + shot)
    print("Everything of this run (profile, log, songs): " + demo.dir)
    return 0


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(description="The recorder on a virtual radio.")
    parser.add_argument("build", help="the build folder holding recorder/OrvWebRecorder")
    parser.add_argument("--keep", help="folder for the run (default: a new temporary folder)")
    parser.add_argument("--player", choices=PLAYERS, default="mpv", help="the player that plays the station")
    a = parser.parse_args()
    try:
        sys.exit(run_demo(a.build, a.keep, a.player))
    except DemoError as e:
        print("demo: " + str(e), file=sys.stderr)
        sys.exit(1)
