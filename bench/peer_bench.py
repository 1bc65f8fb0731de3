#!/usr/bin/env python3
"""Runs the same workloads against tindravoller and, with --peer, against a minidlna started as a
black box beside it, and prints both columns with their ratio. Meant to run inside a private
network namespace (scripts/bench.sh does that): every address used is 127.0.0.1.

Workloads: time from start until the 11,000-file folder is fully browsable; a Browse page of 100
at index 0, 5000 and 10900; the whole folder listed by pages of 100; Browse requests per second
with 1 and 4 clients; one and four streams of a 1 GiB file; small ranged GETs per second; RSS at idle and
under load; CPU seconds per GiB served. Load clients use only the standard library; downloads
use curl, which keeps the client from being what is measured. With --modern tindravoller runs
with today's listing (sorted folders, child counts, the folder watch) and media information,
and a media phase comes first: a cold page of 100 MP3s and of 100 short MP4s, a warm page, the
whole folder listed with an empty cache (beside the peer's time until it is browsable, which
includes its scan) and the helper's peak RSS."""

import argparse
import html
import http.client
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

FILES = 11000
PAGE = 100
BIG = 1 << 30
LOAD_SECONDS = 3.0
CLK_TCK = os.sysconf("SC_CLK_TCK")

BROWSE_BODY = (
    '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
    's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
    '<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">'
    "<ObjectID>{id}</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>"
    "<StartingIndex>{start}</StartingIndex><RequestedCount>{count}</RequestedCount>"
    "<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>"
)
DIDL = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"
DC = "{http://purl.org/dc/elements/1.1/}"


def make_videos(root, count=100):
    """`count` short MP4s (H.264 and AAC, 1 s), made once with ffmpeg and copied: each copy is
    a file of its own to the cache."""
    os.makedirs(root)
    first = os.path.join(root, "clip 001.mp4")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                    "-f", "lavfi", "-i", "testsrc=size=640x360:rate=25:duration=1",
                    "-f", "lavfi", "-i", "sine=duration=1", "-c:v", "libx264",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", first], check=True)
    for i in range(2, count + 1):
        shutil.copyfile(first, os.path.join(root, "clip %03d.mp4" % i))
    return root


def make_corpus(root):
    """11,000 small but valid MP3 files, each a file of its own with its own ID3v1 title (so that
    a media-information cache sees 11,000 different files), and a sparse 1 GiB WAV: both servers
    publish both kinds, and the peer skips files it cannot parse."""
    many = os.path.join(root, "many")
    big = os.path.join(root, "big")
    os.makedirs(many)
    os.makedirs(big)
    # MPEG-1 Layer III, 128 kbit/s, 44.1 kHz frames of silence.
    frames = (b"\xff\xfb\x90\x00" + bytes(413)) * 8
    for i in range(1, FILES + 1):
        title = ("Track %05d" % i).encode().ljust(30, b"\0")
        tag = b"TAG" + title + b"Bench".ljust(30, b"\0") + b"Corpus".ljust(30, b"\0") + b"2024"
        tag += bytes(30) + b"\xff"
        with open(os.path.join(many, "track %05d.mp3" % i), "wb") as f:
            f.write(frames + tag)
    header = (b"RIFF" + struct.pack("<I", BIG - 8) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16) +
              b"data" + struct.pack("<I", BIG - 44))
    with open(os.path.join(big, "film.wav"), "wb") as f:
        f.write(header)
        f.truncate(BIG)
    return many, big


# ---- process figures ----

def tree(pid):
    """The process and its children (the peer serves files from forked children)."""
    pids = [pid]
    try:
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    pids.append(int(entry))
            except OSError:
                pass
    except OSError:
        pass
    return pids


def rss_kib(pid):
    total = 0
    for p in tree(pid):
        try:
            with open("/proc/%d/status" % p) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def cpu_seconds(pid):
    """utime + stime of the process and of its reaped children, plus live children."""
    total = 0
    for i, p in enumerate(tree(pid)):
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])
        if i == 0:
            total += int(fields[13]) + int(fields[14])
    return total / CLK_TCK


class PeakRss:
    def __init__(self, pid):
        self.pid = pid
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    period = 0.05

    def sample(self):
        return rss_kib(self.pid)

    def run(self):
        while not self.stop.is_set():
            self.peak = max(self.peak, self.sample())
            self.stop.wait(self.period)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *args):
        self.stop.set()
        self.thread.join()


# ---- a client ----

class Client:
    def __init__(self, port, control):
        self.port = port
        self.control = control
        self.conn = None

    def request(self, method, path, body=None, headers=None):
        for attempt in (0, 1):
            if self.conn is None:
                self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
            try:
                self.conn.request(method, path, body=body, headers=headers or {})
                response = self.conn.getresponse()
                data = response.read()
                if response.will_close:
                    self.conn.close()
                    self.conn = None
                return response.status, data
            except (OSError, http.client.HTTPException):
                self.conn.close()
                self.conn = None
                if attempt:
                    raise
        raise AssertionError("unreachable")

    def browse(self, object_id, start, count):
        body = BROWSE_BODY.format(id=html.escape(object_id, quote=False), start=start, count=count)
        status, data = self.request("POST", self.control, body.encode(), {
            "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"',
            "Content-Type": 'text/xml; charset="utf-8"'})
        if status != 200:
            raise RuntimeError("Browse %s answered %d" % (object_id, status))
        text = data.decode("utf-8", "replace")
        returned = int(re.search(r"<NumberReturned>(\d+)", text).group(1))
        total = int(re.search(r"<TotalMatches>(\d+)", text).group(1))
        return returned, total, text

    def children(self, object_id):
        _, _, text = self.browse(object_id, 0, 0)
        result = re.search(r"<Result>(.*)</Result>", text, re.S)
        didl = ET.fromstring(html.unescape(result.group(1)))
        out = []
        for node in didl:
            title = node.findtext(DC + "title") or ""
            res = node.findtext(DIDL + "res")
            out.append((node.tag == DIDL + "container", node.get("id"), title, res))
        return out

    def close(self):
        if self.conn is not None:
            self.conn.close()


def find_folders(client, names):
    """ObjectIDs of the folders titled `names`, at most two levels below "0", preferring the
    peer's folder view."""
    found = {}
    level = [("0", "")]
    for _ in range(2):
        following = []
        for object_id, _ in level:
            for container, child, title, _ in client.children(object_id):
                if not container:
                    continue
                if title in names and title not in found:
                    found[title] = child
                following.append((child, title))
        if len(found) == len(names):
            return found
        folders = [c for c in following if c[1] == "Browse Folders"]
        level = folders or following[:8]
    return found


# ---- servers ----

class Server:
    name = ""
    control = ""

    def __init__(self):
        self.proc = None
        self.port = None
        self.many = None
        self.big_url = None
        self.big_path = None
        self.started = 0.0

    @property
    def pid(self):
        return self.proc.pid

    def client(self):
        return Client(self.port, self.control)

    def wait_browsable(self, limit):
        """Seconds from the start until the whole folder is counted by a Browse."""
        client = None
        while time.monotonic() - self.started < limit:
            if self.proc.poll() is not None:
                raise RuntimeError("%s ended during its start" % self.name)
            if self.port is None:
                self.port = self.find_port()
            if self.port is not None:
                try:
                    client = client or self.client()
                    if self.many is None:
                        self.many = find_folders(client, ["many"]).get("many")
                    if self.many is not None:
                        _, total, _ = client.browse(self.many, 0, 1)
                        if total == FILES:
                            elapsed = time.monotonic() - self.started
                            client.close()
                            return elapsed
                except (OSError, http.client.HTTPException, RuntimeError, AttributeError,
                        ET.ParseError):
                    if client is not None:
                        client.close()
                    client = None
            time.sleep(0.002)
        raise RuntimeError("%s was not browsable within %.0f s" % (self.name, limit))

    def find_port(self):
        return self.port

    def locate_big(self):
        client = self.client()
        big = find_folders(client, ["big"]).get("big")
        items = [c for c in client.children(big) if not c[0]]
        client.close()
        if not items or not items[0][3]:
            raise RuntimeError("%s: no resource in the big folder" % self.name)
        url = items[0][3].strip()
        self.big_url = re.sub(r"^http://[^/]*", "", url)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Tindravoller(Server):
    name = "tindravoller"
    control = "/ContentDirectory/control"

    def __init__(self, program, work, many, big, modern=False, videos=None):
        super().__init__()
        self.program = program
        self.modern = modern
        self.settings = os.path.join(work, "settings.dat")
        self.log = os.path.join(work, "tindravoller.log")
        self.cache = os.path.join(work, "cache")
        shares = ["--share", many, "--share", big] + (["--share", videos] if videos else [])
        subprocess.run([program, "--settings", self.settings] + shares,
                       check=True, stdout=subprocess.DEVNULL)

    def empty_cache(self):
        shutil.rmtree(self.cache, ignore_errors=True)

    def start(self):
        out = open(self.log, "wb")
        self.started = time.monotonic()
        options = [self.modern] if self.modern else []
        env = dict(os.environ, XDG_CACHE_HOME=self.cache)
        self.proc = subprocess.Popen([self.program, "--headless", "--settings", self.settings] +
                                     options, stdout=out, stderr=subprocess.STDOUT, env=env)
        out.close()

    def find_port(self):
        """The listening TCP port among the process's sockets."""
        inodes = set()
        try:
            for fd in os.listdir("/proc/%d/fd" % self.pid):
                try:
                    link = os.readlink("/proc/%d/fd/%s" % (self.pid, fd))
                except OSError:
                    continue
                if link.startswith("socket:["):
                    inodes.add(link[8:-1])
            with open("/proc/%d/net/tcp" % self.pid) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and fields[9] in inodes:
                        return int(fields[1].split(":")[1], 16)
        except OSError:
            pass
        return None


class Minidlna(Server):
    name = "minidlna"
    control = "/ctl/ContentDir"

    def __init__(self, program, work, media, port):
        super().__init__()
        self.program = program
        self.dir = os.path.join(work, "minidlna")
        os.makedirs(os.path.join(self.dir, "db"))
        self.conf = os.path.join(self.dir, "minidlna.conf")
        with open(self.conf, "w") as f:
            f.write("port=%d\nnetwork_interface=lo\nmedia_dir=%s\nfriendly_name=bench peer\n"
                    "db_dir=%s/db\nlog_dir=%s\ninotify=no\nnotify_interval=900\n"
                    "serial=1\nmodel_number=1\n" % (port, media, self.dir, self.dir))
        self.port = port

    def start(self):
        out = open(os.path.join(self.dir, "stdout.log"), "wb")
        self.started = time.monotonic()
        self.proc = subprocess.Popen([self.program, "-S", "-f", self.conf,
                                      "-P", os.path.join(self.dir, "minidlna.pid")],
                                     stdout=out, stderr=subprocess.STDOUT)
        out.close()


# ---- workloads ----

def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def page_latency(server, start):
    client = server.client()
    client.browse(server.many, start, PAGE)  # warm
    times = []
    for _ in range(15):
        t0 = time.perf_counter()
        returned, total, _ = client.browse(server.many, start, PAGE)
        times.append(time.perf_counter() - t0)
        if returned != PAGE or total != FILES:
            raise RuntimeError("%s: page at %d returned %d of %d" % (server.name, start, returned,
                                                                        total))
    client.close()
    return median(times) * 1000


def full_listing(server):
    client = server.client()
    t0 = time.perf_counter()
    listed = 0
    for start in range(0, FILES, PAGE):
        listed += client.browse(server.many, start, PAGE)[0]
    elapsed = time.perf_counter() - t0
    client.close()
    if listed != FILES:
        raise RuntimeError("%s listed %d of %d" % (server.name, listed, FILES))
    return elapsed


def run_clients(count, work):
    """Runs work(client_number, stop_time) on `count` threads; returns total requests / second."""
    done = [0] * count
    errors = []
    stop = time.monotonic() + LOAD_SECONDS

    def body(k):
        try:
            done[k] = work(k, stop)
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    t0 = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return sum(done) / (time.monotonic() - t0)


def browse_rate(server, count):
    def work(k, stop):
        client = server.client()
        n = 0
        start = (k * 2500) % FILES
        while time.monotonic() < stop:
            returned, _, _ = client.browse(server.many, start, PAGE)
            if returned != PAGE:
                raise RuntimeError("short page")
            start = (start + PAGE) % FILES
            n += 1
        client.close()
        return n
    return run_clients(count, work)


def ranged_rate(server, count):
    def work(k, stop):
        client = server.client()
        rng = random.Random(k)
        n = 0
        while time.monotonic() < stop:
            offset = rng.randrange(0, BIG - 4096)
            status, data = client.request("GET", server.big_url,
                                          headers={"Range": "bytes=%d-%d" % (offset, offset + 4095)})
            if status != 206 or len(data) != 4096:
                raise RuntimeError("%s: ranged GET gave %d with %d bytes" % (server.name, status,
                                                                             len(data)))
            n += 1
        client.close()
        return n
    return run_clients(count, work)


def warm_cache(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def downloads(server, streams):
    url = "http://127.0.0.1:%d%s" % (server.port, server.big_url)
    t0 = time.monotonic()
    procs = [subprocess.Popen(["curl", "-sf", "-o", "/dev/null", "-w", "%{size_download}", url],
                              stdout=subprocess.PIPE) for _ in range(streams)]
    sizes = [int(p.communicate()[0] or 0) for p in procs]
    elapsed = time.monotonic() - t0
    if any(size != BIG for size in sizes):
        raise RuntimeError("%s: downloads of %s bytes" % (server.name, sizes))
    return streams * BIG / elapsed / (1 << 20)


def measure(server, limit):
    r = {}
    server.start()
    r["browsable"] = server.wait_browsable(limit)
    server.locate_big()
    time.sleep(1.0)
    if getattr(server, "modern", None) == "--modern":
        # Idle is once media information has rested: its helper ended and its memory given
        # back, 30 s after the last file was asked for.
        time.sleep(30)
        deadline = time.monotonic() + 15
        while len(tree(server.pid)) > 1 and time.monotonic() < deadline:
            time.sleep(0.5)
        time.sleep(3)
    r["rss_idle"] = rss_kib(server.pid) / 1024
    r["page0"] = page_latency(server, 0)
    r["page5000"] = page_latency(server, 5000)
    r["page10900"] = page_latency(server, FILES - PAGE)
    r["listing"] = full_listing(server)
    with PeakRss(server.pid) as peak:
        r["browse1"] = browse_rate(server, 1)
        r["browse4"] = browse_rate(server, 4)
        r["ranged"] = ranged_rate(server, 4)
        warm_cache(server.big_path)  # both servers stream from a warm page cache
        cpu0 = cpu_seconds(server.pid)
        r["stream1"] = downloads(server, 1)
        r["stream4"] = downloads(server, 4)
        time.sleep(0.5)  # the peer's serving children are reaped
        r["cpu_gib"] = (cpu_seconds(server.pid) - cpu0) / 5
    r["rss_load"] = peak.peak / 1024
    return r


class HelperPeak(PeakRss):
    """The highest VmHWM of the server's media-information helpers while it runs."""

    period = 0.02

    def sample(self):
        peak = 0
        for p in tree(self.pid)[1:]:
            try:
                with open("/proc/%d/status" % p) as f:
                    status = f.read()
            except OSError:
                continue
            if "tindravoller-me" not in status.split("\n", 1)[0]:
                continue
            hwm = re.search(r"VmHWM:\s+(\d+)", status)
            if hwm:
                peak = max(peak, int(hwm.group(1)))
        return peak


def timed_page(client, object_id):
    t0 = time.perf_counter()
    returned, _, _ = client.browse(object_id, 0, PAGE)
    elapsed = (time.perf_counter() - t0) * 1000
    if returned != PAGE:
        raise RuntimeError("a page of %d returned %d" % (PAGE, returned))
    return elapsed


def media_measure(tv):
    """Cold and warm pages, a cold listing and the helper's peak, each from an empty cache."""
    r = {}
    peaks = []
    tv.empty_cache()
    tv.start()
    with HelperPeak(tv.pid) as peak:
        tv.wait_browsable(60)  # counts the folder: its first item is read already
        client = tv.client()
        videos = find_folders(client, ["videos"]).get("videos")
        r["cold_video"] = timed_page(client, videos)
        r["cold_audio"] = timed_page(client, tv.many)
        r["warm_audio"] = median([timed_page(client, tv.many) for _ in range(15)])
        client.close()
    peaks.append(peak.peak)
    tv.stop()
    tv.empty_cache()
    tv.many = None
    tv.port = None
    tv.start()
    with HelperPeak(tv.pid) as peak:
        tv.wait_browsable(60)
        r["cold_listing"] = full_listing(tv)
    peaks.append(peak.peak)
    r["helper_peak"] = max(peaks) / 1024
    tv.stop()
    tv.many = None
    tv.port = None
    return r


MEDIA_ROWS = [
    ("cold_video", "cold page of 100 MP4s (the helper started for it)", "ms", "%.1f"),
    ("cold_audio", "cold page of 100 MP3s (the helper running)", "ms", "%.1f"),
    ("warm_audio", "warm page of 100 MP3s (median)", "ms", "%.1f"),
    ("cold_listing", "whole folder by pages of 100, empty cache", "s", "%.2f"),
    ("helper_peak", "helper peak RSS (VmHWM)", "MiB", "%.1f"),
]

ROWS = [  # key, label, unit, format, lower is better
    ("browsable", "start until the folder is browsable", "s", "%.3f", True),
    ("page0", "Browse page of 100 at index 0 (median)", "ms", "%.1f", True),
    ("page5000", "Browse page of 100 at index 5000 (median)", "ms", "%.1f", True),
    ("page10900", "Browse page of 100 at index 10900 (median)", "ms", "%.1f", True),
    ("listing", "whole folder by pages of 100", "s", "%.2f", True),
    ("browse1", "Browse pages/s, 1 client", "1/s", "%.0f", False),
    ("browse4", "Browse pages/s, 4 clients", "1/s", "%.0f", False),
    ("ranged", "4 KiB ranged GETs/s, 4 clients", "1/s", "%.0f", False),
    ("stream1", "one stream of 1 GiB", "MiB/s", "%.0f", False),
    ("stream4", "four streams of 1 GiB, total", "MiB/s", "%.0f", False),
    ("rss_idle", "RSS at idle", "MiB", "%.1f", True),
    ("rss_load", "RSS peak under load", "MiB", "%.1f", True),
    ("cpu_gib", "CPU seconds per GiB served", "s", "%.2f", True),
]

TARGETS = [  # key, test on ratio tindravoller / peer, text
    ("browsable", None, "browsable within 0.1 s"),
    ("page0", lambda q: q <= 1.0, "page at 0 no slower than the peer"),
    ("page5000", lambda q: q <= 1.0, "page at 5000 no slower than the peer"),
    ("stream1", lambda q: q >= 1.0, "one stream at least the peer's rate"),
    ("stream4", lambda q: q >= 1.0, "four streams at least the peer's rate"),
    ("cpu_gib", lambda q: q <= 1.0, "CPU per GiB at most the peer's"),
    ("ranged", lambda q: q >= 10.0, "ranged GETs/s at least 10x the peer"),
    ("rss_idle", lambda q: q < 1 / 3, "idle RSS under a third of the peer's"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--peer")
    parser.add_argument("--modern", action="store_const", const="--modern",
                        help="run tindravoller with today's listing and media information")
    parser.add_argument("--modern-listing", dest="modern", action="store_const",
                        const="--modern-listing", help="run tindravoller with today's listing")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tv-bench.")
    servers = []
    try:
        t0 = time.monotonic()
        many, big = make_corpus(os.path.join(work, "media"))
        print("corpus: %d distinct MP3 files in one folder, a sparse 1 GiB WAV (%.1f s)" %
              (FILES, time.monotonic() - t0), flush=True)
        videos = None
        with_media = args.modern == "--modern"
        if with_media:
            print("tindravoller runs with today's listing and media information (--modern)",
                  flush=True)
            videos = make_videos(os.path.join(work, "videos"))
        elif args.modern:
            print("tindravoller runs with today's listing (--modern-listing)", flush=True)
        results = {}
        tv = Tindravoller(args.program, work, many, big, args.modern, videos)
        tv.big_path = os.path.join(big, "film.wav")
        servers.append(tv)
        media = media_measure(tv) if with_media else None
        results[tv.name] = measure(tv, 60)
        tv.stop()
        print("tindravoller measured", flush=True)
        if args.peer:
            peer = Minidlna(args.peer, work, os.path.join(work, "media"), 8201)
            peer.big_path = tv.big_path
            servers.append(peer)
            results[peer.name] = measure(peer, 240)
            peer.stop()
            print("minidlna measured", flush=True)
        names = [s.name for s in servers]
        header = "| measure | unit | " + " | ".join(names)
        header += " | ratio tv/peer |" if len(names) > 1 else " |"
        print()
        print(header)
        print("|---" * (header.count("|") - 1) + "|")
        for key, label, unit, fmt, _ in ROWS:
            cells = [fmt % results[n][key] for n in names]
            line = "| %s | %s | %s" % (label, unit, " | ".join(cells))
            if len(names) > 1:
                a, b = results[names[0]][key], results[names[1]][key]
                line += " | %s" % ("%.3g" % (a / b) if b else "-")
            print(line + " |")
        if media is not None:
            print()
            print("| media information | unit | tindravoller |")
            print("|---|---|---|")
            for key, label, unit, fmt in MEDIA_ROWS:
                print("| %s | %s | %s |" % (label, unit, fmt % media[key]))
            if args.peer:
                print("| the peer: start until the folder is browsable (its scan) | s | %.2f |" %
                      results["minidlna"]["browsable"])
        print()
        for key, test, text in TARGETS:
            a = results[names[0]][key]
            if test is None:
                met = a <= 0.1
            elif len(names) > 1:
                b = results[names[1]][key]
                met = test(a / b) if b else False
            else:
                continue
            print("target %-40s %s" % (text + ":", "met" if met else "NOT met"))
        if media is not None and args.peer:
            met = media["cold_listing"] < results["minidlna"]["browsable"]
            print("target %-40s %s" % ("cold listing faster than the peer's scan:",
                                       "met" if met else "NOT met"))
        return 0
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
