#!/usr/bin/env python3
"""Whole-program figures of the recorder on the demo's virtual radio.

  system_bench.py BUILD_DIR

Prints, beside the minimal WebKitGTK window (bench/webkit_baseline) measured
in the same run: start-up time to "User interface is loaded.", the CPU share
and PSS of the recorder and of its web process while only monitoring and
while recording 128 kbit/s MP3; and the split latency from the player's title
change on D-Bus to the new song file, over 10 changes.

Then the ratios that say what the program costs beyond its encoder: main +
web process while recording MP3 with the window shown and with it hidden in
the tray (a tray host of the bench's own, under a window manager), against
the lame command line encoding the same PCM at real-time rate; and the
recording window against the minimal window making the same live writes on
the same page (a bar 15 times a second, a clock once a second).
"""
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo as d  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
SAMPLE_S = 8
SONGS = [("Bench Artist %d - Song %d" % (i, i), 5, 300, "Bench Artist %d - Song %d.mp3" % (i, i), None, None)
         for i in range(1, 13)]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def pss_kib(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def web_process(pid):
    """The WebKit web process that serves pid's view (a child of pid)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        if ppid == pid and comm.startswith("WebKitWebProces"):
            return int(entry)
    return None


def sample(pids, seconds=SAMPLE_S):
    """CPU share (percent of one core) and PSS (MiB) of each pid over seconds."""
    start = {p: cpu_seconds(p) for p in pids}
    t0 = time.monotonic()
    time.sleep(seconds)
    wall = time.monotonic() - t0
    return {p: (100.0 * (cpu_seconds(p) - start[p]) / wall, pss_kib(p) / 1024.0) for p in pids}


class TitleWatch(threading.Thread):
    """Times at which the player's xesam:title first showed each title."""

    def __init__(self, env):
        super().__init__(daemon=True)
        self.seen = {}
        self.proc = subprocess.Popen(
            ["dbus-monitor", "--session", "type='signal',interface='org.freedesktop.DBus.Properties'"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def run(self):
        want = False
        for line in self.proc.stdout:
            line = line.strip()
            if line == 'string "xesam:title"':
                want = True
            elif want and line.startswith("variant"):
                want = False
                title = line.split('"', 1)[1].rsplit('"', 1)[0] if '"' in line else ""
                self.seen.setdefault(title, time.time())

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class FileWatch(threading.Thread):
    """Times at which each song file first appeared."""

    def __init__(self, folder):
        super().__init__(daemon=True)
        self.folder, self.seen, self.running = folder, {}, True

    def run(self):
        while self.running:
            for name in os.listdir(self.folder):
                self.seen.setdefault(name, time.time())
            time.sleep(0.005)


def lame_realtime(pcm, seconds=SAMPLE_S):
    """lame's CPU share (percent of one core) encoding 44.1 kHz stereo PCM fed
    as fast as it plays, in 20 ms blocks, for seconds."""
    rate = 44100 * 4
    proc = subprocess.Popen(["lame", "-r", "-s", "44.1", "--bitwidth", "16", "--signed", "--little-endian",
                             "-m", "j", "-V", "3", "-b", "128", "-F", "--silent", "-", "/dev/null"],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        start = cpu_seconds(proc.pid)
        t0 = time.monotonic()
        sent = 0
        while time.monotonic() - t0 < seconds:
            due = int((time.monotonic() - t0) * rate) // 4 * 4
            while sent < due:
                at = sent % len(pcm)
                chunk = pcm[at:at + due - sent]
                proc.stdin.write(chunk)
                sent += len(chunk)
            proc.stdin.flush()
            time.sleep(0.02)
        wall = time.monotonic() - t0
        return 100.0 * (cpu_seconds(proc.pid) - start) / wall
    finally:
        proc.stdin.close()
        proc.wait()


def decoded_pcm(path):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-ar", "44100", "-ac", "2", "-"],
                          stdout=subprocess.PIPE, check=True).stdout


def xdotool(demo, *args):
    return subprocess.run(["xdotool"] + list(args), env=demo.env(), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout.split()


def start_desktop(demo):
    """A window manager (minimising needs one) and a tray host on the rig."""
    demo.spawn("wm", ["openbox", "--sm-disable"])
    d.wait_for("the window manager", lambda: "0x" in subprocess.run(
        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=demo.env(), stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL, text=True).stdout, 15)
    demo.spawn("tray", [os.path.join(demo.build, "bench", "tray_host", "tray_host")])
    log = os.path.join(demo.dir, "tray.log")
    d.wait_for("the tray host", lambda: "ready" in open(log).read(), 15)
    return log


def baseline(demo, url, live=False):
    t0 = time.monotonic()
    proc = subprocess.Popen([os.path.join(demo.build, "bench", "webkit_baseline", "webkit_baseline"), url]
                            + (["--live"] if live else []),
                            env=demo.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        if proc.stdout.readline().strip() != "loaded":
            raise d.DemoError("the baseline window did not load " + url)
        startup = time.monotonic() - t0
        time.sleep(1)
        web = web_process(proc.pid)
        figures = sample([proc.pid] + ([web] if web else []))
        return startup, figures[proc.pid], figures.get(web, (0.0, 0.0))
    finally:
        proc.terminate()
        proc.wait()


def main(build):
    demo = d.Demo(build)
    try:
        demo.start_rig()
        # As a user runs it: no debug log file.
        demo.write_profile(MinSongLength=2, DebugMode=0, ShowMinimizeWarning=0)
        tray_log = start_desktop(demo)
        page = d.ROOT + "/web/en/orvweb.htm"
        base_start, base_ui, base_web = baseline(demo, "file://" + page)
        # The first start of a web process after a build is slower; both get a warm one.
        base_start = min(base_start, baseline(demo, "file://" + page)[0])
        _, live_ui, live_web = baseline(demo, "file://" + page, live=True)

        demo.start_radio(SONGS)
        demo.start_player()
        t0 = time.monotonic()
        demo.start_recorder()
        startup = time.monotonic() - t0
        demo.wait_log("Windows Media Player Plugin is detected.", 30)
        rec = demo.procs["recorder"].pid
        web = web_process(rec)
        pids = [rec] + ([web] if web else [])
        monitoring = sample(pids)

        titles = TitleWatch(demo.env())
        titles.start()
        files = FileWatch(demo.songs)
        files.start()
        demo.click_record("Recording is Started.")
        open(demo.go, "w").close()
        time.sleep(2)
        recording = sample(pids)

        # Minimised with a tray host there: the window waits in the tray.
        xdotool(demo, "windowminimize", demo.window)
        d.wait_for("the window in the tray", lambda: "item " in open(tray_log).read()
                   and demo.window not in xdotool(demo, "search", "--onlyvisible", "--name", d.WINDOW_TITLE), 15)
        time.sleep(1)
        hidden = sample(pids)
        # The log is not written while the window is hidden: the last file tells.
        d.wait_for("the last song's file", lambda: SONGS[11][3] in files.seen, 150)
        files.running = False
        titles.stop()
        songs = sorted((os.path.join(demo.songs, n) for n in os.listdir(demo.songs) if n.endswith(".mp3")),
                       key=os.path.getsize)
        lame = lame_realtime(decoded_pcm(songs[-1])) if songs else 0.0
    finally:
        demo.stop()

    latencies = []
    for title, _, _, name, _, _ in SONGS[1:11]:
        if title in titles.seen and name in files.seen:
            latencies.append(1000.0 * (files.seen[name] - titles.seen[title]))

    print("| Figure | Recorder | Minimal WebKitGTK window | Ratio |")
    print("|---|---|---|---|")
    figures = [
        ("Start-up to \"User interface is loaded.\" (s)", startup, base_start),
        ("CPU, main process, monitoring (% of a core)", monitoring[rec][0], base_ui[0]),
        ("CPU, web process, monitoring (% of a core)", monitoring.get(web, (0, 0))[0], base_web[0]),
        ("CPU, main process, recording 128 kbit/s MP3 (% of a core)", recording[rec][0], base_ui[0]),
        ("CPU, web process, recording (% of a core)", recording.get(web, (0, 0))[0], base_web[0]),
        ("PSS, main process, monitoring (MiB)", monitoring[rec][1], base_ui[1]),
        ("PSS, web process, monitoring (MiB)", monitoring.get(web, (0, 0))[1], base_web[1]),
        ("PSS, main process, recording (MiB)", recording[rec][1], base_ui[1]),
        ("PSS, web process, recording (MiB)", recording.get(web, (0, 0))[1], base_web[1]),
    ]
    for name, value, base in figures:
        ratio = "%.2f" % (value / base) if base else "-"
        print("| %s | %.2f | %.2f | %s |" % (name, value, base, ratio))
    if latencies:
        print("| Split latency, player title change to new file (ms), median of %d | %.0f | - | - |"
              % (len(latencies), statistics.median(latencies)))
        print("| Split latency, max (ms) | %.0f | - | - |" % max(latencies))
    else:
        print("| Split latency | n/a: no title changes seen | - | - |")

    def both(figures):
        return figures[rec][0] + figures.get(web, (0, 0))[0]

    print()
    print("| Ratio (CPU, % of a core) | Recorder | Baseline | Ratio |")
    print("|---|---|---|---|")
    ratios = [
        ("Recording MP3, window shown: main + web vs `lame` at real-time rate", both(recording), lame),
        ("Recording MP3, window hidden in the tray: main + web vs `lame` at real-time rate", both(hidden), lame),
        ("Recording MP3, window shown: main + web vs the minimal window making the same live writes",
         both(recording), live_ui[0] + live_web[0]),
        ("Recording MP3, window shown: web process vs the minimal window's, same live writes",
         recording.get(web, (0, 0))[0], live_web[0]),
    ]
    for name, value, base in ratios:
        ratio = "%.2f" % (value / base) if base else "-"
        print("| %s | %.2f | %.2f | %s |" % (name, value, base, ratio))
    print("| Start-up to \"User interface is loaded.\" vs the minimal window (s) | %.2f | %.2f | %.2f |"
          % (startup, base_start, startup / base_start if base_start else 0))
    print("| Recording MP3, window hidden in the tray: main process / web process | %.2f / %.2f | - | - |"
          % (hidden[rec][0], hidden.get(web, (0, 0))[0]))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]))
    except d.DemoError as e:
        print("bench: " + str(e), file=sys.stderr)
        sys.exit(1)
