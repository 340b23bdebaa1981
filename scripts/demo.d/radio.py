#!/usr/bin/env python3
"""A virtual radio station on a local Icecast server.

Plays a plan of generated songs (simple melodies with short silent gaps) as
one continuous MP3 source and changes the stream title in the middle of each
gap, so every title covers exactly its song. A listener of its own reads the
stream back with ICY metadata and measures where each title change really
landed in the audio; the measured song lengths are what a recording of the
stream can be compared with. Everything is written to --timeline as JSON
after every change.

  radio.py --host H --port P --mount /demo.mp3 --source-password PW
           --admin-user U --admin-password PW --plan plan.json
           --timeline out.json [--go FILE] [--stop FILE]

The plan: {"lead_in": "Title", "songs": [{"title": ..., "seconds": ...,
"gap_ms": ...}, ...], "outro": "Title"}. The lead-in plays until --go exists,
the outro until --stop exists (both at most ten minutes).
"""
import argparse
import array
import base64
import json
import math
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

RATE = 44100
CHUNK = 882  # 20 ms
BITRATE = 128000
WAIT_LIMIT_S = 600

# A pentatonic scale: every melody sounds like music, never like a test tone.
SCALE = [0, 2, 4, 7, 9, 12, 14, 16]


class Melody:
    """A repeating tune of short notes with a soft attack and decay."""

    def __init__(self, seed, level=0.3, note_s=0.25):
        self.base = 220.0 * 2 ** ((seed % 7) / 12.0)
        self.notes = [SCALE[(seed * 3 + i * (seed + 2)) % len(SCALE)] for i in range(8)]
        self.level = level
        self.note_frames = int(note_s * RATE)
        self.frame = 0
        self.phase = 0.0

    def render(self, frames, out):
        for _ in range(frames):
            index = (self.frame // self.note_frames) % len(self.notes)
            pos = self.frame % self.note_frames
            freq = self.base * 2 ** (self.notes[index] / 12.0)
            self.phase += 2 * math.pi * freq / RATE
            if self.phase > 2 * math.pi:
                self.phase -= 2 * math.pi
            envelope = min(1.0, pos / 200.0) * (1.0 - 0.6 * pos / self.note_frames)
            v = int(32767 * self.level * envelope * math.sin(self.phase))
            out.append(v)
            out.append(v)
            self.frame += 1


class Silence:
    def render(self, frames, out):
        out.extend([0] * (2 * frames))


class Listener(threading.Thread):
    """Reads the stream with ICY metadata and notes at which audio byte each
    title began. At 128 kbit/s CBR a byte is 1/16000 s of stream time."""

    def __init__(self, host, port, mount):
        super().__init__(daemon=True)
        self.host, self.port, self.mount = host, port, mount
        self.changes = []  # (stream seconds, title)
        self.lock = threading.Lock()
        self.failed = None

    def run(self):
        try:
            self._run()
        except Exception as e:  # reported in the timeline, not fatal
            self.failed = str(e)

    def _read(self, sock, n):
        data = b""
        while len(data) < n:
            part = sock.recv(n - len(data))
            if not part:
                raise EOFError("stream ended")
            data += part
        return data

    def _connect(self):
        sock = socket.create_connection((self.host, self.port), timeout=30)
        sock.sendall(("GET %s HTTP/1.0\r\nHost: %s\r\nIcy-MetaData: 1\r\n\r\n" % (self.mount, self.host)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self._read(sock, 1)
        for line in head.decode("latin-1").split("\r\n"):
            if line.lower().startswith("icy-metaint:"):
                return sock, int(line.split(":", 1)[1])
        sock.close()
        return None, head.split(b"\r\n", 1)[0].decode("latin-1")

    def _run(self):
        # The mount appears a moment after the encoder connects.
        for _ in range(100):
            sock, metaint = self._connect()
            if sock:
                break
            time.sleep(0.05)
        if not sock:
            raise RuntimeError("no ICY stream: %s" % metaint)
        audio = 0
        last = None
        while True:
            self._read(sock, metaint)
            audio += metaint
            length = self._read(sock, 1)[0] * 16
            if not length:
                continue
            meta = self._read(sock, length).rstrip(b"\0").decode("utf-8", "replace")
            title = None
            if meta.startswith("StreamTitle='"):
                title = meta[len("StreamTitle='"):].split("';", 1)[0]
            if title is not None and title != last:
                last = title
                with self.lock:
                    self.changes.append((audio * 8.0 / BITRATE, title))


class Radio:
    def __init__(self, args, plan):
        self.args = args
        self.plan = plan
        self.written = 0  # frames written to the encoder
        self.changes = []  # (planned stream seconds, title)
        self.listener = None
        base = "http://%s:%s" % (args.host, args.port)
        self.admin = base + "/admin/metadata?mount=" + urllib.parse.quote(args.mount) + "&mode=updinfo&song="
        self.auth = "Basic " + base64.b64encode(("%s:%s" % (args.admin_user, args.admin_password)).encode()).decode()
        self.titles = []  # titles waiting to be sent, in order
        self.cond = threading.Condition()

    def _sender(self):
        # One title at a time and in order; the audio pacing never waits for HTTP.
        while True:
            with self.cond:
                while not self.titles:
                    self.cond.wait()
                title = self.titles.pop(0)
            if title is None:
                return
            request = urllib.request.Request(self.admin + urllib.parse.quote(title, safe=""),
                                             headers={"Authorization": self.auth})
            for _ in range(50):
                try:
                    urllib.request.urlopen(request, timeout=5).read()
                    break
                except Exception:
                    time.sleep(0.1)

    def set_title(self, title):
        self.changes.append((self.written / RATE, title))
        with self.cond:
            self.titles.append(title)
            self.cond.notify()

    def start(self):
        url = "icecast://source:%s@%s:%s%s" % (self.args.source_password, self.args.host, self.args.port,
                                              self.args.mount)
        self.encoder = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "s16le", "-ar", str(RATE), "-ac", "2",
             "-i", "pipe:0", "-c:a", "libmp3lame", "-b:a", "128k", "-flush_packets", "1",
             "-content_type", "audio/mpeg", "-ice_name", "Demo Radio", "-f", "mp3", url],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        threading.Thread(target=self._sender, daemon=True).start()
        self.t0 = time.monotonic()

    def play(self, source, frames):
        """Writes frames of source at the pace of a real station."""
        left = frames
        while left > 0:
            n = min(CHUNK, left)
            buf = array.array("h")
            source.render(n, buf)
            self.encoder.stdin.write(buf.tobytes())
            self.written += n
            left -= n
            delay = self.t0 + self.written / RATE - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            if self.listener is None and self.written >= RATE // 2:
                self._listen()
            if self.written % (RATE // 2) < n:  # twice a second
                self.write_timeline()

    def play_until(self, source, path):
        end = time.monotonic() + WAIT_LIMIT_S
        while not (path and os.path.exists(path)) and time.monotonic() < end:
            self.play(source, RATE // 10)
            self.write_timeline()

    def _listen(self):
        # The mount exists once the encoder has sent its first frames.
        self.listener = Listener(self.args.host, self.args.port, self.args.mount)
        self.listener.start()

    def write_timeline(self):
        measured = []
        if self.listener:
            with self.listener.lock:
                measured = list(self.listener.changes)
        entries = []
        for i, (planned, title) in enumerate(self.changes):
            at = next((s for s, t in measured if t == title and abs(s - planned) < 5.0), None)
            entries.append({"title": title, "planned_s": round(planned, 3),
                            "stream_s": None if at is None else round(at, 3),
                            "error_ms": None if at is None else round((at - planned) * 1000)})
        songs = []
        for i in range(len(entries) - 1):
            a, b = entries[i], entries[i + 1]
            songs.append({"title": a["title"],
                          "planned_length_s": round(b["planned_s"] - a["planned_s"], 3),
                          "stream_length_s": None if a["stream_s"] is None or b["stream_s"] is None
                          else round(b["stream_s"] - a["stream_s"], 3)})
        data = {"changes": entries, "songs": songs, "now_s": round(self.written / RATE, 3),
                "listener_error": self.listener.failed if self.listener else None}
        tmp = self.args.timeline + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(data, f, ensure_ascii=False, indent=1)
        os.replace(tmp, self.args.timeline)

    def run(self):
        self.start()
        self.set_title(self.plan["lead_in"])
        self.play_until(Melody(0, level=0.08, note_s=0.5), self.args.go)
        for seed, song in enumerate(self.plan["songs"], start=1):
            gap = int(song.get("gap_ms", 300) * RATE / 1000)
            self.play(Silence(), gap // 2)
            self.set_title(song["title"])
            self.play(Silence(), gap - gap // 2)
            self.play(Melody(seed), int(song["seconds"] * RATE))
            self.write_timeline()
        self.play(Silence(), int(0.15 * RATE))
        self.set_title(self.plan["outro"])
        self.play(Silence(), int(0.15 * RATE))
        self.play_until(Melody(0, level=0.08, note_s=0.5), self.args.stop)
        self.write_timeline()
        with self.cond:
            self.titles.append(None)
            self.cond.notify()
        self.encoder.stdin.close()
        self.encoder.wait(timeout=10)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("host", "port", "mount", "source-password", "admin-user", "admin-password", "plan", "timeline"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--go")
    p.add_argument("--stop")
    args = p.parse_args()
    with open(args.plan, encoding="utf-8") as f:
        plan = json.load(f)
    radio = Radio(args, plan)
    try:
        radio.run()
    except BrokenPipeError:
        print("radio: the encoder ended early", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
