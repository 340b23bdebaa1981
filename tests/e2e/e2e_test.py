#!/usr/bin/env python3
"""End to end: the recorder on the virtual radio of scripts/demo.

One run of the whole system (station, mpv with MPRIS, the plug-in host, the
recorder under Xvfb clicked with real X input) and then, on what it left:
the exact set of song files, their tags, their lengths against the lengths the
station really played, the short song deleted with its message, a pause of the
player finishing the song, the player quitting reported, and a song file that
still decodes after the recorder is killed mid-song.

  e2e_test.py BUILD_DIR
"""
import os
import signal
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts", "demo.d"))
import demo as d  # noqa: E402

PAUSE_SONG = ("Pause Band - Held Song", 16, 300, "Pause Band - Held Song.mp3", "Pause Band", "Held Song")
KILL_SONG = ("Kill Band - Last Song", 60, 300, "Kill Band - Last Song.mp3", "Kill Band", "Last Song")
PLAYED_BEFORE_PAUSE_S = 8
RECORDED_BEFORE_KILL_S = 8
# The default "SplitSearch" of the demo's profile, in seconds.
LOOK_BACK_S = 3.0

failures = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + str(detail)), flush=True)
    if not ok:
        failures.append(name)


def main(build):
    demo = d.Demo(build)
    songs = d.SONGS + [PAUSE_SONG, KILL_SONG]
    try:
        demo.start_rig()
        demo.write_profile()
        demo.start_radio(songs)
        demo.start_player()
        demo.start_recorder()
        demo.wait_log("Windows Media Player Plugin is detected.", 30)
        # mpv names the stream by its file until the first title arrives.
        demo.wait_log("New song " + d.LEAD_IN, 30)
        demo.click_record("Recording is Started.")
        open(demo.go, "w").close()

        # Pause the player while it plays a song longer than the minimum.
        # (The player plays a few seconds behind the station: the recorder's
        # files are the clock of what it has heard.)
        pause_path = os.path.join(demo.songs, PAUSE_SONG[3])
        d.wait_for("the paused song's file", lambda: os.path.exists(pause_path), 150)
        time.sleep(PLAYED_BEFORE_PAUSE_S)
        before = len(demo.log_lines())
        demo.player_command("set_property", "pause", True)
        demo.wait_log("Windows Media Player is stoped or paused.", 10, after=before)
        # The message comes just before the file is finished (drained, closed, tagged).
        time.sleep(1)
        size = os.path.getsize(pause_path)
        time.sleep(2)
        check("pausing the player finishes the file", os.path.getsize(pause_path) == size,
              "the file still grows")

        # Quit the player: the host closes the plug-in and the recorder says so.
        before = len(demo.log_lines())
        demo.player_command("quit")
        try:
            demo.wait_log("Windows Media Player Plugin is not detected.", 15, after=before)
            check("quitting the player is reported", True)
        except d.DemoError as e:
            check("quitting the player is reported", False, e)
        demo.procs.pop("mpv").wait(10)

        # A new player once the station is into the next song (and past the
        # few seconds a new listener gets from the past), then a hard kill.
        kill_change = d.wait_for("the last song", lambda: demo.change(KILL_SONG[0]), 60, step=0.1)
        d.wait_for("the station past the start of the last song",
                   lambda: demo.timeline()["now_s"] >= kill_change["stream_s"] + 5, 30)
        demo.start_player()
        kill_path = os.path.join(demo.songs, KILL_SONG[3])
        d.wait_for("the last song's file", lambda: os.path.exists(kill_path), 20, step=0.02)
        opened = time.monotonic()
        time.sleep(RECORDED_BEFORE_KILL_S)
        demo.procs["recorder"].send_signal(signal.SIGKILL)
        killed = time.monotonic()
        demo.procs.pop("recorder").wait(10)
        decoded = demo.decoded_seconds(kill_path)
        # The audio still waiting behind the file for the split look-back
        # ("SplitSearch", 3 s by default) is what a crash may lose, no more.
        recorded = killed - opened
        check("a file cut by kill -9 decodes to within 1 s of the kill, less the delayed audio",
              recorded - LOOK_BACK_S - 1.0 <= decoded <= recorded + 1.0,
              "%.2f s decode, %.2f s recorded" % (decoded, recorded))
    finally:
        demo.stop()

    timeline = demo.timeline()
    lengths = {s["title"]: s["stream_length_s"] for s in timeline["songs"]}
    errors = [c["error_ms"] for c in timeline["changes"][1:]]
    # The premise of the length checks: every title lands at its song's boundary
    # (the metadata can only change every 0.1 s of audio).
    check("the station's titles change within 250 ms of the audio boundary",
          all(e is not None and abs(e) <= 250 for e in errors), errors)

    expected = sorted(s[3] for s in songs if s[3])
    check("exactly the expected song files", demo.songs_on_disk() == expected,
          "%s, expected %s" % (demo.songs_on_disk(), expected))

    for title, _, _, name, artist, song in d.SONGS + [PAUSE_SONG]:
        if not name or not os.path.exists(os.path.join(demo.songs, name)):
            continue
        p = demo.probe(os.path.join(demo.songs, name))
        check("tags of " + name, (p["tags"].get("artist"), p["tags"].get("title")) == (artist, song),
              p["tags"])
        if title in [s[0] for s in d.SONGS]:
            want = lengths.get(title)
            check("length of " + name, want is not None and abs(p["duration"] - want) <= 1.0,
                  "%.2f s, the station played %s s" % (p["duration"], want))

    # The short song's file is deleted when it ends: the split waits for the
    # audio past the boundary, so the message may follow the next song's start
    # line, but it comes before the song after that starts.
    log = demo.log_lines()
    short = next((i for i, l in enumerate(log) if "New song Short Band - Tiny Song" in l), None)
    starts = [i for i, l in enumerate(log) if short is not None and i > short and "New song" in l]
    check("the short song is deleted with its message",
          short is not None and len(starts) >= 2 and
          any("Last Song is too short and deleted." in l for l in log[short:starts[1]]),
          "\n".join(log))
    demo.report()
    print("run folder: " + demo.dir)
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]))
    except d.DemoError as e:
        print("FAIL " + str(e))
        sys.exit(1)
