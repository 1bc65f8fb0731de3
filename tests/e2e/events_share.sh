# Eventing and live folder changes: a SUBSCRIBE from a player host with a callback on its own
# listener receives the initial event of each service; a folder shared or unshared with the
# program's own option while the server runs shows (or stops showing) at the next Browse and
# download. A player may not name the server's own addresses (loopback among them) or another
# of its networks as a callback, and holds four places of a service, not all ten.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

mkdir -p "$TV_WORK/media" "$TV_WORK/later"
head -c 2000 /dev/urandom >"$TV_WORK/media/a.mp3"
head -c 3000 /dev/urandom >"$TV_WORK/later/n.png"
tv_share "$TV_WORK/media"
tv_start
base=$TV_BASE

# A callback listener on the player: writes every NOTIFY it receives to its own file and
# answers 200. The server must reach it across the LAN.
mkdir -p "$TV_WORK/events"
nsenter -t "$TV_PLAYER_PID" -n python3 - "$TV_WORK/events" "$TV_PLAYER_ADDRESS" >"$TV_WORK/listener.port" 2>"$TV_WORK/listener.log" <<'EOF' &
import http.server, os, sys
folder = sys.argv[1]
count = 0
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_NOTIFY(self):
        global count
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with open(os.path.join(folder, "%03d.tmp" % count), "wb") as f:
            f.write(("PATH: %s\n" % self.path).encode())
            for k, v in self.headers.items():
                f.write(("%s: %s\n" % (k.upper(), v)).encode())
            f.write(b"\n" + body)
        os.rename(os.path.join(folder, "%03d.tmp" % count), os.path.join(folder, "%03d.event" % count))
        count += 1
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer((sys.argv[2], 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF
tv_track $!
for i in $(seq 1 50); do [ -s "$TV_WORK/listener.port" ] && break; sleep 0.1; done
listener=$(cat "$TV_WORK/listener.port")
[ -n "$listener" ] || tv_fail "the callback listener did not start"

tv_player curl -sf -o "$TV_WORK/description.xml" "$base/" || tv_fail "no description"
n=0
for service in ContentDirectory ConnectionManager; do
  event_url=$(xmllint --xpath "string(//*[local-name()='service'][contains(*[local-name()='serviceType'],'$service')]/*[local-name()='eventSubURL'])" "$TV_WORK/description.xml")
  [[ $event_url == /* ]] || event_url=/$event_url
  tv_player curl -s -D "$TV_WORK/sub.h" -o /dev/null -X SUBSCRIBE -H "CALLBACK: <http://$TV_PLAYER_ADDRESS:$listener/$service>" \
    -H "NT: upnp:event" -H "TIMEOUT: Second-300" "$base$event_url"
  head -1 "$TV_WORK/sub.h" | grep -q ' 200' || tv_fail "SUBSCRIBE to $service: $(head -1 "$TV_WORK/sub.h")"
  sid=$(tr -d '\r' <"$TV_WORK/sub.h" | awk -F': ' 'toupper($1)=="SID"{print $2}')
  [[ $sid == uuid:* ]] || tv_fail "SUBSCRIBE to $service gave SID '$sid'"
  timeout_value=$(tr -d '\r' <"$TV_WORK/sub.h" | awk -F': ' 'toupper($1)=="TIMEOUT"{print $2}')
  [ "$timeout_value" = Second-300 ] || tv_fail "SUBSCRIBE timeout '$timeout_value'"

  event=$TV_WORK/events/$(printf '%03d' $n).event
  for i in $(seq 1 50); do [ -f "$event" ] && break; sleep 0.1; done
  [ -f "$event" ] || tv_fail "no initial event for $service"
  grep -qx "PATH: /$service" "$event" || tv_fail "event for $service came to $(head -1 "$event")"
  grep -qx "SID: $sid" "$event" || tv_fail "event SID differs from $sid"
  grep -qx "SEQ: 0" "$event" || tv_fail "the initial event is not SEQ 0"
  grep -qx "NTS: upnp:propchange" "$event" || tv_fail "event NTS"
  sed '1,/^$/d' "$event" >"$event.xml"
  xmllint --noout "$event.xml" || tv_fail "event body of $service is not XML"
  if [ "$service" = ContentDirectory ]; then
    value=$(xmllint --xpath 'string(//*[local-name()="SystemUpdateID"])' "$event.xml")
    [ "$value" = 0 ] || tv_fail "SystemUpdateID in the event: '$value'"
  else
    value=$(xmllint --xpath 'string(//*[local-name()="SourceProtocolInfo"])' "$event.xml")
    [[ $value == http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM,* ]] || tv_fail "SourceProtocolInfo in the event: '$value'"
  fi
  code=$(tv_player curl -s -o /dev/null -w '%{http_code}' -X UNSUBSCRIBE -H "SID: $sid" "$base$event_url")
  [ "$code" = 200 ] || tv_fail "UNSUBSCRIBE from $service answered $code"
  n=$((n + 1))
  tv_note "initial event of $service"
done

# Folders shared and unshared from outside while the server runs.
later_id="0\\$(tv_escape_folder "$TV_WORK/later")\\"
later_url="$base/content/$(tv_escape_folder "$TV_WORK/later" | sed 's/%/%25/g')/n.png"
root_ids() {  # the root's children into root.ids
  tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/root.xml"
  tv_objects "$TV_WORK/root.xml.didl" | cut -f2 >"$TV_WORK/root.ids"
}
root_ids
grep -qxF "$later_id" "$TV_WORK/root.ids" && tv_fail "the folder is listed before it is shared"
[ "$(tv_player curl -s -o /dev/null -w '%{http_code}' -H 'Connection: close' "$later_url")" = 404 ] ||
  tv_fail "a file of an unshared folder is served"

tv_share "$TV_WORK/later"
root_ids
grep -qxF "$later_id" "$TV_WORK/root.ids" || tv_fail "the folder shared while running is not listed: $(cat "$TV_WORK/root.ids")"
[ "$TV_TOTAL" = 2 ] || tv_fail "root TotalMatches $TV_TOTAL after sharing"
tv_player curl -s -o "$TV_WORK/n.png" "$later_url" && cmp -s "$TV_WORK/n.png" "$TV_WORK/later/n.png" ||
  tv_fail "a file of the folder shared while running is not served"
tv_note "a folder shared while running is listed and served"

"$TV_PROGRAM" --settings "$TV_SETTINGS" --unshare "$TV_WORK/later" || tv_fail "--unshare"
root_ids
grep -qxF "$later_id" "$TV_WORK/root.ids" && tv_fail "the unshared folder is still listed"
[ "$(tv_player curl -s -o /dev/null -w '%{http_code}' -H 'Connection: close' "$later_url")" = 404 ] ||
  tv_fail "a file of the unshared folder is still served"
tv_note "a folder unshared while running is gone"

# Callbacks a player on lan0 may not name: the server's loopback (a web port and a printer's),
# its own lan0 address, its address on the other LAN and on the docker-like bridge. Each
# SUBSCRIBE gets 412 and no request reaches any of them.
python3 - "$TV_WORK/own.log" 127.0.0.1 "$TV_PLAYER1_SERVER" "$TV_PLAYER2_SERVER" 10.8.8.1 >"$TV_WORK/own.ports" <<'EOF' &
import selectors, socket, sys
log, chosen = open(sys.argv[1], "a"), selectors.DefaultSelector()
for address in sys.argv[2:]:
    s = socket.socket()
    s.bind((address, 0))
    s.listen(16)
    chosen.register(s, selectors.EVENT_READ, None)
    print(address, s.getsockname()[1], flush=True)
while True:
    for key, _ in chosen.select():
        if key.data is None:
            connection, _ = key.fileobj.accept()
            chosen.register(connection, selectors.EVENT_READ, "%s:%d" % key.fileobj.getsockname())
            continue
        data = key.fileobj.recv(65536)
        log.write("%s %s\n" % (key.data, data.split(b"\r\n", 1)[0].decode("latin-1")))
        log.flush()
        chosen.unregister(key.fileobj)
        key.fileobj.close()
EOF
tv_track $!
for i in $(seq 1 50); do [ "$(wc -l <"$TV_WORK/own.ports" 2>/dev/null)" = 4 ] && break; sleep 0.1; done
[ "$(wc -l <"$TV_WORK/own.ports")" = 4 ] || tv_fail "the listeners on the server host did not start"
callbacks=("http://127.0.0.1:631/printers/x")
while read -r address port; do callbacks+=("http://$address:$port/from-$TV_PLAYER_ADDRESS"); done <"$TV_WORK/own.ports"
for callback in "${callbacks[@]}"; do
  status=$(tv_player curl -s -D - -o /dev/null -X SUBSCRIBE -H "CALLBACK: <$callback>" -H "NT: upnp:event" \
    "$base/ContentDirectory/event" | head -1 | tr -d '\r')
  [ "$status" = "HTTP/1.1 412 Precondition Failed" ] || tv_fail "callback $callback from a player: $status"
done
# The listeners hear a request from the server host itself, sent after the refused SUBSCRIBEs
# and alone in their log.
loopback_port=$(awk 'NR == 1 {print $2}' "$TV_WORK/own.ports")
curl -s -o /dev/null -X NOTIFY "http://127.0.0.1:$loopback_port/control" || true
for i in $(seq 1 50); do grep -q ' NOTIFY /control ' "$TV_WORK/own.log" 2>/dev/null && break; sleep 0.1; done
[ "$(cat "$TV_WORK/own.log")" = "127.0.0.1:$loopback_port NOTIFY /control HTTP/1.1" ] ||
  tv_fail "requests reached the server's own addresses: $(cat "$TV_WORK/own.log")"
tv_note "a player cannot name the server's loopback, its own addresses or another of its networks as a callback"

# One host holds a few places of a service, not all ten: player 1 gets four, and player 2
# still gets one.
granted=0
for i in $(seq 1 10); do
  status=$(tv_player curl -s -D - -o /dev/null -X SUBSCRIBE -H "CALLBACK: <http://$TV_PLAYER_ADDRESS:$listener/cap$i>" \
    -H "NT: upnp:event" "$base/ContentDirectory/event" | head -1 | tr -d '\r')
  case $status in
    "HTTP/1.1 200 OK") granted=$((granted + 1)) ;;
    "HTTP/1.1 412 Too Many Subscribers") ;;
    *) tv_fail "SUBSCRIBE $i from player 1: $status" ;;
  esac
done
[ "$granted" = 4 ] || tv_fail "player 1 was granted $granted places of ContentDirectory"
tv_use_player 2
status=$(tv_player curl -s -D - -o /dev/null -X SUBSCRIBE -H "CALLBACK: <http://$TV_PLAYER_ADDRESS:9/e>" \
  -H "NT: upnp:event" "$TV_BASE/ContentDirectory/event" | head -1 | tr -d '\r')
[ "$status" = "HTTP/1.1 200 OK" ] || tv_fail "player 2 after player 1 took its places: $status"
tv_use_player 1
tv_note "player 1 holds 4 places of ContentDirectory, player 2 still subscribes"

tv_stop
echo PASS
