# Announcements and goodbye, heard on a player host: a listener on the SSDP group sees the
# alive set at start, every LOCATION naming the server's address on the player's LAN; SIGTERM
# makes the server send the byebye set for the device, the root device, the UDN and both
# services, and exit with 0.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

mkdir -p "$TV_WORK/media"
tv_share "$TV_WORK/media"

# The listener appends every NOTIFY to a file, separated by a line of "=".
nsenter -t "$TV_PLAYER_PID" -n python3 "$TV_E2E/ssdp_listen.py" "$TV_WORK/ssdp.txt" "$TV_PLAYER_ADDRESS" \
  >"$TV_WORK/listener.ready" 2>"$TV_WORK/listener.log" &
tv_track $!
for i in $(seq 1 50); do [ -s "$TV_WORK/listener.ready" ] && break; sleep 0.1; done
[ -s "$TV_WORK/listener.ready" ] || tv_fail "the SSDP listener did not start: $(cat "$TV_WORK/listener.log")"

tv_start
tv_player curl -sf -o "$TV_WORK/description.xml" "$TV_BASE/" || tv_fail "no description"
udn=$(xmllint --xpath 'string(//*[local-name()="UDN"])' "$TV_WORK/description.xml")

# Counts the messages of one kind (alive or byebye) for NT that name this device.
count_of() {
  [ -f "$TV_WORK/ssdp.txt" ] || { echo 0; return; }
  awk -v want_nts="ssdp:$1" -v want_nt="$2" -v udn="$udn" '
    function val(line) { sub(/^[^:]*: */, "", line); return line }
    /^==========$/ { if (s == want_nts && t == want_nt && u) n++; s = t = ""; u = 0; next }
    toupper($0) ~ /^NTS:/ { s = val($0); next }
    toupper($0) ~ /^NT:/ { t = val($0); next }
    toupper($0) ~ /^USN:/ { u = index($0, udn) > 0 }
    END { print n + 0 }' "$TV_WORK/ssdp.txt"
}

kinds=(upnp:rootdevice "$udn" urn:schemas-upnp-org:device:MediaServer:1
       urn:schemas-upnp-org:service:ContentDirectory:1 urn:schemas-upnp-org:service:ConnectionManager:1)
for i in $(seq 1 50); do
  missing=0
  for nt in "${kinds[@]}"; do [ "$(count_of alive "$nt")" -gt 0 ] || missing=1; done
  [ $missing = 0 ] && break
  sleep 0.1
done
for nt in "${kinds[@]}"; do
  [ "$(count_of alive "$nt")" -gt 0 ] || tv_fail "no ssdp:alive for $nt"
done
mapfile -t locations < <(awk 'toupper($0) ~ /^LOCATION:/ {print $2}' "$TV_WORK/ssdp.txt")
[ ${#locations[@]} -gt 0 ] || tv_fail "no alive LOCATION heard"
tv_reachable "alive NOTIFY: LOCATION" "${locations[@]}"
grep -q '^SERVER: WINDOWS, UPnP/1.0, Tindravoller 1.3$' "$TV_WORK/ssdp.txt" || tv_fail "alive SERVER header"
tv_note "alive set received"

before=$(grep -c 'ssdp:byebye' "$TV_WORK/ssdp.txt" || true)
tv_stop
tv_note "SIGTERM: exit status 0"
for i in $(seq 1 30); do
  missing=0
  for nt in "${kinds[@]}"; do [ "$(count_of byebye "$nt")" -gt 0 ] || missing=1; done
  [ $missing = 0 ] && [ "$(grep -c 'ssdp:byebye' "$TV_WORK/ssdp.txt")" -gt "$before" ] && break
  sleep 0.1
done
after=$(grep -c 'ssdp:byebye' "$TV_WORK/ssdp.txt" || true)
[ "$after" -gt "$before" ] || tv_fail "no ssdp:byebye after SIGTERM"
for nt in "${kinds[@]}"; do
  [ "$(count_of byebye "$nt")" -gt 0 ] || tv_fail "no ssdp:byebye for $nt"
done
tv_note "byebye set received ($((after - before)) messages at stop)"
echo PASS
