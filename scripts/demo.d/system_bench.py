#!/usr/bin/env python3
"""Whole-program figures of the recorder on the demo's virtual radio.

  system_bench.py BUILD_DIR

Prints, beside the minimal WebKitGTK window (bench/webkit_baseline) measured
in the same run: start-up time to "User interface is loaded.", the CPU share
and PSS of the recorder and of its web process while only monitoring and
while recording 128 kbit/s MP3; and the split latency from the player's title
change on D-Bus to the new song file, over 10 changes.
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


def baseline(demo, url):
    t0 = time.monotonic()
    proc = subprocess.Popen([os.path.join(demo.build, "bench", "webkit_baseline", "webkit_baseline"), url],
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
        demo.write_profile(MinSongLength=2)
        page = d.ROOT + "/web/en/orvweb.htm"
        base_start, base_ui, base_web = baseline(demo, "file://" + page)
        # The first start of a web process after a build is slower; both get a warm one.
        base_start = min(base_start, baseline(demo, "file://" + page)[0])

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
        demo.wait_log("New song " + SONGS[11][0].split(" - ")[0], 150)
        files.running = False
        titles.stop()
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
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]))
    except d.DemoError as e:
        print("bench: " + str(e), file=sys.stderr)
        sys.exit(1)
