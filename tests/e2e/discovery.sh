# Discovery from the players: both GSSDP clients find the device and its two services, and
# every LOCATION names the server's address on the player's own LAN; each search is answered
# exactly once, from and naming the address it arrived on (multicast from either LAN, unicast,
# and on the server's own lo), and never to a source forged to be another host's; the
# description and service descriptions fetched from the LOCATION are well-formed and name this
# device; the Connection Manager answers; memory comes back after a flood of searches.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

mkdir -p "$TV_WORK/media"
printf 'x' >"$TV_WORK/media/a.mp3"
tv_share "$TV_WORK/media"
tv_start

# The GSSDP library on the player, through both of its clients: "USN<TAB>LOCATION" for every
# resource found by a search for TARGET within 3 s.
gssdp_tool() {
  # Its output: "resource available", then indented "USN:" and "Location:" lines.
  tv_player timeout 10 gssdp-discover -i eth0 --timeout=3 --target="$1" 2>/dev/null |
    awk '$1 == "USN:" {usn = $2} $1 == "Location:" {print usn "\t" $2}'
}
gssdp_python() {
  tv_player timeout 15 /usr/bin/python3 - "$1" <<'EOF'
import sys, gi
gi.require_version('GSSDP', '1.6')
from gi.repository import GSSDP, GLib
client = GSSDP.Client.new_full('eth0', None, 0, GSSDP.UDAVersion.VERSION_1_0)
browser = GSSDP.ResourceBrowser.new(client, sys.argv[1])
browser.set_mx(1)
def available(browser, usn, locations):
    for location in locations:
        print('%s\t%s' % (usn, location))
    sys.stdout.flush()
browser.connect('resource-available', available)
browser.set_active(True)
loop = GLib.MainLoop()
GLib.timeout_add(3000, loop.quit)
loop.run()
EOF
}

command -v gssdp-discover >/dev/null || tv_fail "gssdp-discover is missing (gupnp-tools: bash scripts/deps.sh test)"
/usr/bin/python3 -c "import gi; gi.require_version('GSSDP', '1.6')" 2>/dev/null ||
  tv_fail "the GSSDP Python binding is missing (gir1.2-gssdp-1.6: bash scripts/deps.sh test)"

device_type=urn:schemas-upnp-org:device:MediaServer:1
# found CLIENT: checks what one client saw with ssdp:all and leaves the device's UDN in $udn.
found() {
  local client=$1 answers usn location wanted
  answers=$($client ssdp:all)
  [ -n "$answers" ] || tv_fail "$client on $TV_PLAYER_ADDRESS found nothing"
  usn=$(awk -F'\t' -v t="::$device_type" 'index($1, t) {print $1; exit}' <<<"$answers")
  [[ $usn == uuid:*::$device_type ]] || tv_fail "$client: no device among $answers"
  udn=${usn%%::*}
  for wanted in "$udn" "$udn::upnp:rootdevice" "$udn::urn:schemas-upnp-org:service:ContentDirectory:1" \
      "$udn::urn:schemas-upnp-org:service:ConnectionManager:1"; do
    awk -F'\t' -v u="$wanted" '$1 == u {f = 1} END {exit !f}' <<<"$answers" ||
      tv_fail "$client on $TV_PLAYER_ADDRESS did not find $wanted: $answers"
  done
  while IFS=$'\t' read -r usn location; do tv_reachable "$client: LOCATION" "$location"; done <<<"$answers"
  tv_note "$client on $TV_PLAYER_ADDRESS: the device and both services, every LOCATION $TV_BASE/"
}
found gssdp_tool
found gssdp_python
location=$TV_BASE/
tv_use_player 2
found gssdp_python
tv_use_player 1

# Raw searches, each answer counted: a search is answered once, from and naming the address
# it arrived on, multicast or unicast.
search_count() {  # WHAT ROUNDS WANT-EACH WANT-ADDRESS LOCAL DESTINATION TARGET [RUNNER]
  local what=$1 rounds=$2 want=$3 address=$4 local_address=$5 destination=$6 target=$7
  local runner=${8:-tv_player} answers round n
  answers=$($runner python3 "$TV_E2E/ssdp_search.py" "$local_address" "$destination" "$target" 1 "$rounds")
  for ((round = 1; round <= rounds; round++)); do
    n=$(awk -F'\t' -v r=$round '$1 == r' <<<"$answers" | wc -l)
    [ "$n" = "$want" ] || tv_fail "$what (round $round of $rounds): $n answers, expected $want: $answers"
  done
  awk -F'\t' -v l="http://$address:$TV_PORT/" -v a="$address" '$2 != l || $5 != a {exit 1}' <<<"$answers" ||
    tv_fail "$what: not every answer names and comes from $address: $answers"
}
search_count "ssdp:all from $TV_PLAYER_ADDRESS" 1 5 "$TV_HOST" "$TV_PLAYER_ADDRESS" 239.255.255.250 ssdp:all
search_count "upnp:rootdevice from $TV_PLAYER_ADDRESS" 1 1 "$TV_HOST" "$TV_PLAYER_ADDRESS" 239.255.255.250 upnp:rootdevice
search_count "unicast search to $TV_HOST:1900" 4 1 "$TV_HOST" "$TV_PLAYER_ADDRESS" "$TV_HOST" upnp:rootdevice
tv_use_player 2
search_count "ssdp:all from $TV_PLAYER_ADDRESS" 1 5 "$TV_HOST" "$TV_PLAYER_ADDRESS" 239.255.255.250 ssdp:all
tv_use_player 1
search_count "upnp:rootdevice on the server's own lo" 1 1 127.0.0.1 127.0.0.1 239.255.255.250 upnp:rootdevice env
tv_note "searches answered once on the address they arrived on: 5 for ssdp:all, 1 for upnp:rootdevice, on each LAN, by unicast and on lo"

# A search whose source is forged: player 1 sends ssdp:all from player 2's address, to the
# server and to the group. The answers would go to player 2, who never asked: it must hear
# none, and then the answer to a search of its own through the same socket.
nsenter -t "$TV_PLAYER2_PID" -n python3 - "$TV_PLAYER2_ADDRESS" "$TV_PLAYER2_SERVER" >"$TV_WORK/forged" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
print(s.getsockname()[1], flush=True)
def heard(seconds):
    n, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        s.settimeout(end - time.monotonic())
        try:
            s.recvfrom(65536)
            n += 1
        except socket.timeout:
            break
    return n
print("forged %d" % heard(3), flush=True)
s.sendto(b"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
         b"MX: 1\r\nST: upnp:rootdevice\r\n\r\n", (sys.argv[2], 1900))
print("own %d" % heard(2), flush=True)
EOF
forged_pid=$!
tv_track "$forged_pid"
for i in $(seq 1 50); do [ -s "$TV_WORK/forged" ] && break; sleep 0.1; done
victim_port=$(head -1 "$TV_WORK/forged")
[ -n "$victim_port" ] || tv_fail "the listener on player 2 did not start"
for destination in "$TV_HOST" 239.255.255.250; do
  tv_player python3 - "$TV_PLAYER2_ADDRESS" "$victim_port" "$destination" <<'EOF'
import socket, struct, sys
source, port, destination = sys.argv[1], int(sys.argv[2]), sys.argv[3]
search = (b"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
          b"MX: 1\r\nST: ssdp:all\r\n\r\n")
udp = struct.pack("!HHHH", port, 1900, 8 + len(search), 0) + search
ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 4, 17, 0,
                 socket.inet_aton(source), socket.inet_aton(destination))
socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW).sendto(ip + udp, (destination, 0))
EOF
done
wait "$forged_pid" || true
grep -qx 'forged 0' "$TV_WORK/forged" || tv_fail "player 2 heard answers to searches it never sent: $(tail -n +2 "$TV_WORK/forged")"
grep -qx 'own 1' "$TV_WORK/forged" || tv_fail "player 2's own search: $(tail -n +2 "$TV_WORK/forged")"
tv_note "a search from a forged source gets no answer; the address's real owner does"

tv_player curl -sf -o "$TV_WORK/description.xml" "$location" || tv_fail "description not served"
xmllint --noout "$TV_WORK/description.xml" || tv_fail "description is not XML"
desc_udn=$(xmllint --xpath 'string(//*[local-name()="UDN"])' "$TV_WORK/description.xml")
[ "$desc_udn" = "$udn" ] || tv_fail "description UDN $desc_udn, SSDP $udn"
name=$(xmllint --xpath 'string(//*[local-name()="friendlyName"])' "$TV_WORK/description.xml")
[[ $name == "Tindravoller DLNA - "*" -" ]] || tv_fail "friendlyName '$name'"
model=$(xmllint --xpath 'string(//*[local-name()="modelName"])' "$TV_WORK/description.xml")
[ "$model" = Tindravoller ] || tv_fail "modelName '$model'"
serial=$(xmllint --xpath 'string(//*[local-name()="serialNumber"])' "$TV_WORK/description.xml")
[ "$serial" = 0000001 ] || tv_fail "serialNumber '$serial'"
tv_note "description: $name"

base=${location%/}
for service in ContentDirectory ConnectionManager; do
  scpd=$(xmllint --xpath "string(//*[local-name()='service'][contains(*[local-name()='serviceType'],'$service')]/*[local-name()='SCPDURL'])" "$TV_WORK/description.xml")
  [ -n "$scpd" ] || tv_fail "no SCPDURL for $service"
  [[ $scpd == /* ]] || scpd=/$scpd
  tv_player curl -sf -o "$TV_WORK/$service.xml" "$base$scpd" || tv_fail "$service SCPD not served"
  xmllint --noout "$TV_WORK/$service.xml" || tv_fail "$service SCPD is not XML"
done
# Every variable an action names is declared in its own service (strict control points
# refuse the device otherwise), A_ARG_TYPE_SearchCriteria of Search included.
for service in ContentDirectory ConnectionManager; do
  undeclared=$(xmllint --xpath 'count(//*[local-name()="relatedStateVariable"][not(. = //*[local-name()="stateVariable"]/*[local-name()="name"])])' "$TV_WORK/$service.xml")
  [ "$undeclared" = 0 ] || tv_fail "$service names $undeclared undeclared state variables"
done
described=$(xmllint --xpath 'count(//*[local-name()="stateVariable"][*[local-name()="name"]="A_ARG_TYPE_SearchCriteria"])' "$TV_WORK/ContentDirectory.xml")
[ "$described" = 1 ] || tv_fail "A_ARG_TYPE_SearchCriteria is described $described times"
tv_note "service descriptions"

code=$(tv_soap ConnectionManager GetProtocolInfo "" "$TV_WORK/pi.xml")
[ "$code" = 200 ] || tv_fail "GetProtocolInfo answered $code"
source_list=$(xmllint --xpath 'string(//*[local-name()="Source"])' "$TV_WORK/pi.xml")
[ "$(tr ',' '\n' <<<"$source_list" | wc -l)" = 10 ] || tv_fail "Source list: $source_list"
code=$(tv_soap ConnectionManager GetCurrentConnectionInfo "<ConnectionID>1</ConnectionID>" "$TV_WORK/ci.xml")
[ "$code" = 500 ] && grep -q '<errorCode>706</errorCode>' "$TV_WORK/ci.xml" ||
  tv_fail "GetCurrentConnectionInfo 1 answered $code"
tv_note "connection manager"

# A flood of unicast searches from both LANs for 10 s, each held up to MX 10 s with a 3.8 KB
# target (one unknown, one a MediaServer type whose replies echo it): the server's memory
# comes back to within 2 MiB of where it started, and a player's search is answered again.
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$TV_SERVER_PID/status"; }
flood() {  # PLAYER: 10 s of searches from that player to the server's address on its LAN
  local pid=TV_PLAYER$1_PID server=TV_PLAYER$1_SERVER
  nsenter -t "${!pid}" -n python3 - "${!server}" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
head = b"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 10\r\nST: "
searches = [head + b"urn:flood:" + b"x" * 3800 + b"\r\n\r\n",
            head + b"urn:schemas-upnp-org:device:MediaServer:1" + b"x" * 3770 + b"\r\n\r\n"]
end, sent = time.monotonic() + 10, 0
while time.monotonic() < end:
    for search in searches * 50:
        s.sendto(search, (sys.argv[1], 1900))
    sent += 100
print(sent)
EOF
}
before=$(rss)
flood 1 >"$TV_WORK/flood1" &
flood1=$!
flood 2 >"$TV_WORK/flood2" &
flood2=$!
tv_track "$flood1"
tv_track "$flood2"
peak=$before
while kill -0 "$flood1" 2>/dev/null || kill -0 "$flood2" 2>/dev/null; do
  now=$(rss)
  [ "$now" -gt "$peak" ] && peak=$now
  sleep 0.5
done
wait "$flood1" "$flood2" || tv_fail "a flood did not run"
sleep 11  # every search held up to its MX has been answered or dropped
after=$(rss)
tv_note "searches flooded: $(cat "$TV_WORK/flood1") from $TV_PLAYER1_ADDRESS, $(cat "$TV_WORK/flood2") from $TV_PLAYER2_ADDRESS; VmRSS $before KiB before, $peak KiB at most during, $after KiB after"
[ $((after - before)) -le 2048 ] || tv_fail "VmRSS $after KiB after the flood, $before KiB before"
search_count "ssdp:all from $TV_PLAYER_ADDRESS after the flood" 1 5 "$TV_HOST" "$TV_PLAYER_ADDRESS" 239.255.255.250 ssdp:all
tv_note "memory is back after a flood of searches, and a player's search is answered again"

tv_stop
echo PASS
