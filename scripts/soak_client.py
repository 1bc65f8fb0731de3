#!/usr/bin/env python3
"""One load process of scripts/soak.sh: a mixed stream of requests against one server.

Browse pages, ranged GETs, whole GETs, GETs cut off midway, SUBSCRIBE/UNSUBSCRIBE with a
callback listener of its own on 127.0.0.1, and M-SEARCH to 239.255.255.250:1900 (only inside a
private network namespace). Every answer is checked; ranged and whole bodies are compared with the
files. Uses one connection at a time, so several processes stay within the server's slots.
Prints one line of JSON with its counts; exits 1 on the first wrong answer.

  soak_client.py PORT MEDIA-DIR FOLDER-ID REQUESTS SEED
"""
import http.client
import http.server
import json
import os
import random
import re
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ET

if os.environ.get("TV_NETNS") != "1":
    sys.exit("soak_client.py sends multicast: run it inside scripts/netns.sh")

port = int(sys.argv[1])
media = sys.argv[2]
folder_id = sys.argv[3]
total = int(sys.argv[4])
rng = random.Random(int(sys.argv[5]))

files = sorted(f for f in os.listdir(media) if os.path.isfile(os.path.join(media, f)))
content = {}
for f in files:
    with open(os.path.join(media, f), "rb") as fh:
        content[f] = fh.read()

counts = {"browse": 0, "range": 0, "whole": 0, "cut": 0, "subscribe": 0, "msearch": 0,
          "msearch_replies": 0, "notify": 0, "reconnects": 0}
notify_lock = threading.Lock()


class Callback(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_NOTIFY(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with notify_lock:
            counts["notify"] += 1
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class Listener(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # The server resets the connection of a NOTIFY whose subscriber has left meanwhile.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


listener = Listener(("127.0.0.1", 0), Callback)
listener.daemon_threads = True
threading.Thread(target=listener.serve_forever, daemon=True).start()
callback = "<http://127.0.0.1:%d/cb>" % listener.server_address[1]

ssdp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
ssdp.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
ssdp.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
ssdp.bind(("127.0.0.1", 0))
ssdp.setblocking(False)


def fail(what):
    print("FAIL: " + what, file=sys.stderr, flush=True)
    sys.exit(1)


class Conn:
    """A kept-alive connection, reopened when the server has ended it."""

    def __init__(self):
        self.c = None

    def close(self):
        if self.c is not None:
            self.c.close()
            self.c = None

    def request(self, method, path, body=None, headers=None):
        for attempt in (0, 1):
            if self.c is None:
                self.c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            try:
                self.c.request(method, path, body=body, headers=headers or {})
                return self.c.getresponse()
            except (ConnectionError, http.client.RemoteDisconnected, BrokenPipeError) as e:
                # A kept-alive connection may have been ended by the server's idle time-out
                # between two requests; a fresh one must work at once.
                self.close()
                if attempt:
                    fail("%s %s: %r" % (method, path, e))
                counts["reconnects"] += 1
        return None


conn = Conn()
url_path = {}


def soap_browse(object_id, flag, start, count):
    oid = object_id.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    body = ('<?xml version="1.0" encoding="utf-8"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>%s</ObjectID>'
            '<BrowseFlag>%s</BrowseFlag><Filter>*</Filter><StartingIndex>%d</StartingIndex>'
            '<RequestedCount>%d</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>'
            % (oid, flag, start, count)).encode()
    r = conn.request("POST", "/ContentDirectory/control", body, {
        "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"',
        "Content-Type": 'text/xml; charset="utf-8"'})
    data = r.read()
    if r.status != 200:
        fail("Browse %s answered %d: %r" % (object_id, r.status, data[:300]))
    root = ET.fromstring(data)
    out = {}
    for el in root.iter():
        tag = el.tag.rsplit("}", 1)[-1]
        if tag in ("Result", "NumberReturned", "TotalMatches", "UpdateID"):
            out[tag] = el.text or ""
    didl = ET.fromstring(out["Result"])
    items = []
    for obj in didl:
        res = [e.text for e in obj if e.tag.endswith("}res")]
        items.append((obj.get("id"), res[0] if res else None))
    if int(out["NumberReturned"]) != len(items):
        fail("Browse %s: NumberReturned %s, %d objects" % (object_id, out["NumberReturned"], len(items)))
    return items, int(out["TotalMatches"])


# The resource paths, as a control point finds them.
items, n_items = soap_browse(folder_id, "BrowseDirectChildren", 0, 0)
for oid, res in items:
    name = oid.rsplit("\\", 1)[-1]
    if res:
        url_path[name] = "/" + res.split("/", 3)[3]
if sorted(url_path) != files:
    fail("listed %r, files %r" % (sorted(url_path), files))

desc = conn.request("GET", "/").read().decode()
event_paths = re.findall(r"<eventSubURL>([^<]*)</eventSubURL>", desc)
if len(event_paths) != 2:
    fail("eventSubURLs in the description: %r" % event_paths)
event_paths = [p if p.startswith("/") else "/" + p for p in event_paths]


def drain_ssdp():
    while True:
        try:
            data = ssdp.recv(4096)
        except BlockingIOError:
            return
        if not data.startswith(b"HTTP/1.1 200"):
            fail("M-SEARCH reply: %r" % data[:200])
        counts["msearch_replies"] += 1


def do_browse():
    start = rng.randrange(0, n_items + 2)
    count = rng.randrange(0, 6)
    which = rng.random()
    if which < 0.1:
        got, tot = soap_browse("0", "BrowseDirectChildren", 0, 0)
        if tot < 1:
            fail("the root lists nothing")
        return
    if which < 0.2:
        name = rng.choice(files)
        got, tot = soap_browse(folder_id + name, "BrowseMetadata", 0, 0)
        if tot != 1 or len(got) != 1:
            fail("BrowseMetadata of %s: %d/%d" % (name, len(got), tot))
        return
    got, tot = soap_browse(folder_id, "BrowseDirectChildren", start, count)
    want = max(0, min(count if count else n_items, n_items - start))
    if tot != n_items or len(got) != want:
        fail("page %d+%d: %d objects, TotalMatches %d" % (start, count, len(got), tot))


def do_range():
    name = rng.choice(files)
    data = content[name]
    size = len(data)
    a = rng.randrange(0, size)
    kind = rng.random()
    if kind < 0.6:
        b = min(size - 1, a + rng.randrange(0, 200000))
        spec, lo, hi = "bytes=%d-%d" % (a, b), a, b
    elif kind < 0.8:
        spec, lo, hi = "bytes=%d-" % a, a, size - 1
    else:
        n = rng.randrange(1, size + 1)
        spec, lo, hi = "bytes=-%d" % n, size - n, size - 1
    r = conn.request("GET", url_path[name], None, {"Range": spec})
    body = r.read()
    if r.status != 206:
        fail("%s %s answered %d" % (name, spec, r.status))
    if r.getheader("Content-Range") != "bytes %d-%d/%d" % (lo, hi, size):
        fail("%s %s: Content-Range %s" % (name, spec, r.getheader("Content-Range")))
    if body != data[lo:hi + 1]:
        fail("%s %s: body differs from the file" % (name, spec))


def do_whole():
    name = rng.choice([f for f in files if len(content[f]) <= 2 * 1024 * 1024] or files)
    r = conn.request("GET", url_path[name])
    body = r.read()
    if r.status != 200 or body != content[name]:
        fail("GET %s: %d, %d bytes of %d" % (name, r.status, len(body), len(content[name])))


def do_cut():
    name = max(files, key=lambda f: len(content[f]))
    r = conn.request("GET", url_path[name])
    if r.status != 200:
        fail("GET %s to cut: %d" % (name, r.status))
    want = rng.randrange(1, 300000)
    got = r.read(want)
    if got != content[name][:len(got)]:
        fail("start of %s differs" % name)
    # Gone mid-body, possibly with unread bytes: the server sees a reset or an orderly end.
    if rng.random() < 0.5:
        conn.c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.close()


def do_subscribe():
    path = rng.choice(event_paths)
    r = conn.request("SUBSCRIBE", path, None, {"CALLBACK": callback, "NT": "upnp:event",
                                               "TIMEOUT": "Second-300"})
    r.read()
    sid = r.getheader("SID")
    if r.status != 200 or not sid or not sid.startswith("uuid:"):
        fail("SUBSCRIBE %s: %d SID %r" % (path, r.status, sid))
    r = conn.request("UNSUBSCRIBE", path, None, {"SID": sid})
    r.read()
    if r.status != 200:
        fail("UNSUBSCRIBE %s: %d" % (path, r.status))


def do_msearch():
    st = rng.choice(["ssdp:all", "upnp:rootdevice", "urn:schemas-upnp-org:device:MediaServer:1",
                     "urn:schemas-upnp-org:service:ContentDirectory:1"])
    msg = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           "MX: 1\r\nST: %s\r\n\r\n" % st).encode()
    ssdp.sendto(msg, ("239.255.255.250", 1900))


mix = [(0.35, "browse", do_browse), (0.25, "range", do_range), (0.15, "whole", do_whole),
       (0.10, "cut", do_cut), (0.08, "subscribe", do_subscribe), (0.07, "msearch", do_msearch)]
started = time.time()
for i in range(total):
    x = rng.random()
    for share, name, fn in mix:
        if x < share:
            break
        x -= share
    fn()
    counts[name] += 1
    if i % 64 == 0:
        drain_ssdp()

conn.close()
deadline = time.time() + 3
while time.time() < deadline:
    drain_ssdp()
    time.sleep(0.05)
counts["seconds"] = round(time.time() - started, 1)
if counts["msearch"] and not counts["msearch_replies"]:
    fail("no reply to %d M-SEARCHes" % counts["msearch"])
if counts["subscribe"] and not counts["notify"]:
    fail("no initial event for %d SUBSCRIBEs" % counts["subscribe"])
print(json.dumps(counts), flush=True)
