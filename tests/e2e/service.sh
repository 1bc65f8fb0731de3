# The program as a service manager sees it: with NOTIFY_SOCKET set, READY=1 comes once, when
# the description and an M-SEARCH are answered at the first try, and STOPPING=1 comes on
# SIGTERM before a clean exit; the headless program maps no Qt library. Without --headless, a
# display that accepts a connection and stays silent leaves the program headless instead of
# waiting on it, and one that answers (Xvfb) gets the window program.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

mkdir -p "$TV_WORK/media"
tv_share "$TV_WORK/media"

# The service manager's end: every datagram on the socket becomes a line of notify.txt.
python3 - "$TV_WORK/notify" "$TV_WORK/notify.txt" 2>"$TV_WORK/listener.log" <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    data = s.recv(4096)
    with open(sys.argv[2], "a") as f:
        f.write(data.decode() + "\n")
EOF
tv_track $!
for i in $(seq 1 50); do [ -S "$TV_WORK/notify" ] && break; sleep 0.1; done
[ -S "$TV_WORK/notify" ] || tv_fail "the notify listener did not start: $(cat "$TV_WORK/listener.log")"

# serve COMMAND...: starts the program with NOTIFY_SOCKET and waits for READY=1 and nothing
# else, so that what is checked next is what READY=1 promised.
serve() {
  : >"$TV_WORK/notify.txt"
  NOTIFY_SOCKET=$TV_WORK/notify "$@" >"$TV_LOG" 2>&1 &
  TV_SERVER_PID=$!
  tv_track "$TV_SERVER_PID"
  local i
  for i in $(seq 1 100); do
    grep -qx 'READY=1' "$TV_WORK/notify.txt" && return 0
    kill -0 "$TV_SERVER_PID" 2>/dev/null || tv_fail "the program ended before READY=1"
    sleep 0.1
  done
  tv_fail "no READY=1 within 10 s"
}

# msearch PORT: one M-SEARCH on the group; true when an answer names PORT in its LOCATION.
msearch() {
  python3 - "$1" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
s.sendto(b'M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
         b'MX: 1\r\nST: urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n',
         ("239.255.255.250", 1900))
want = ("LOCATION: http://127.0.0.1:%s/" % sys.argv[1]).encode()
end = time.time() + 3
while time.time() < end:
    s.settimeout(max(0.01, end - time.time()))
    try:
        data = s.recv(4096)
    except socket.timeout:
        break
    if want in data:
        sys.exit(0)
sys.exit(1)
EOF
}

# The Qt libraries the server maps, one a line.
qt_maps() { grep -o '[^/ ]*libQt[^ ]*' "/proc/$TV_SERVER_PID/maps" | sort -u || true; }

# Stops the server and checks that STOPPING=1 came after the one READY=1.
stop_notified() {
  tv_stop
  local sent
  sent=$(tr '\n' ' ' <"$TV_WORK/notify.txt")
  [ "$sent" = "READY=1 STOPPING=1 " ] || tv_fail "notifications: $sent"
}

serve "$TV_PROGRAM" --headless --settings "$TV_SETTINGS"
TV_PORT=$(tv_port_of "$TV_SERVER_PID")
[ -n "$TV_PORT" ] || tv_fail "READY=1 before the web server listens"
curl -sf --max-time 5 -o "$TV_WORK/description.xml" "http://127.0.0.1:$TV_PORT/" ||
  tv_fail "READY=1 before the description answers"
msearch "$TV_PORT" || tv_fail "READY=1 before SSDP answers an M-SEARCH"
tv_note "READY=1: description and M-SEARCH answered at once"
[ -z "$(qt_maps)" ] || tv_fail "--headless maps Qt: $(qt_maps | tr '\n' ' ')"
tv_note "--headless maps no Qt library; idle RSS $(awk '/VmRSS/ {print $2, $3}' "/proc/$TV_SERVER_PID/status")"
stop_notified
tv_note "SIGTERM: STOPPING=1, exit status 0"

# A fake X display, private to this network namespace (its socket is abstract), that accepts
# and never answers.
display=$((4000 + $$ % 1000))
python3 - "$display" >"$TV_WORK/silent.ready" 2>"$TV_WORK/silent.log" <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind("\0/tmp/.X11-unix/X" + sys.argv[1])
s.listen(8)
print("ready", flush=True)
held = []
while True:
    held.append(s.accept()[0])
EOF
tv_track $!
for i in $(seq 1 50); do [ -s "$TV_WORK/silent.ready" ] && break; sleep 0.1; done
[ -s "$TV_WORK/silent.ready" ] || tv_fail "the silent display did not start: $(cat "$TV_WORK/silent.log")"
serve env DISPLAY=":$display" "$TV_PROGRAM" --settings "$TV_SETTINGS"
grep -q "X display :$display: no answer in time; running headless" "$TV_LOG" ||
  tv_fail "no word of the silent display"
[ -z "$(qt_maps)" ] || tv_fail "headless after a silent display, but Qt is mapped"
stop_notified
tv_note "a silent display: headless, serving, no Qt"

window_program=$(dirname "$TV_PROGRAM")/tindravoller-window
if ! command -v Xvfb >/dev/null || [ ! -x "$window_program" ]; then
  tv_note "skipped the window: no Xvfb or no window program"
  echo PASS
  exit 0
fi
# -noreset: an X server resets when its last client leaves, and here the program's own display
# probe is the only client before the window's; on a desktop other clients keep it up. Without
# it a busy machine let the window connect during that reset, and Qt aborted.
Xvfb -displayfd 3 -nolisten tcp -noreset 3>"$TV_WORK/xvfb.display" 2>"$TV_WORK/xvfb.log" &
tv_track $!
for i in $(seq 1 100); do [ -s "$TV_WORK/xvfb.display" ] && break; sleep 0.1; done
[ -s "$TV_WORK/xvfb.display" ] || tv_fail "Xvfb did not start: $(tail -3 "$TV_WORK/xvfb.log")"
serve env -u QT_QPA_PLATFORM DISPLAY=":$(cat "$TV_WORK/xvfb.display")" "$TV_PROGRAM" \
  --settings "$TV_SETTINGS"
[ "$(readlink "/proc/$TV_SERVER_PID/exe")" = "$(readlink -f "$window_program")" ] ||
  tv_fail "an answering display, but no window program: $(readlink "/proc/$TV_SERVER_PID/exe")"
qt_maps | grep -q libQt6Widgets || tv_fail "the window program maps no Qt Widgets"
stop_notified
tv_note "an answering display: the window program, closed by SIGTERM"
echo PASS
