# The household's own mistakes and the service as admins run it, from the command line: a
# folder shared twice, a folder its user cannot read, the system service's list edited as its
# user, a fixed HTTP port and a taken one, the --interface checks, and what a headless start
# prints.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

P=$TV_PROGRAM
S=$TV_SETTINGS
# expect CODE TEXT COMMAND...: the command exits with CODE and says TEXT (if any) on standard
# error.
expect() {
  local code=$1 text=$2 rc=0
  shift 2
  "$@" >"$TV_WORK/out" 2>"$TV_WORK/err" || rc=$?
  [ "$rc" = "$code" ] || tv_fail "$* exited with $rc, not $code: $(cat "$TV_WORK/err")"
  [ -z "$text" ] || grep -qF -- "$text" "$TV_WORK/err" ||
    tv_fail "$*: no '$text' in: $(cat "$TV_WORK/err")"
}
# tv_wait_log TEXT: waits up to 10 s for a line of the server's output holding TEXT.
tv_wait_log() {
  local i
  for i in $(seq 1 100); do
    grep -qF -- "$1" "$TV_LOG" && return 0
    kill -0 "$TV_SERVER_PID" 2>/dev/null || tv_fail "the server ended before saying '$1'"
    sleep 0.1
  done
  tv_fail "no '$1' from the server"
}
# write_list FILE PATH...: a settings file as a hand would edit it (paths of up to 254 bytes).
write_list() {
  python3 - "$@" <<'EOF'
import struct, sys
paths = [p.encode() for p in sys.argv[2:]]
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<H", len(paths)) + b"".join(bytes([len(p)]) + p for p in paths))
EOF
}

# Others may pass through the work folder, as through a home with media in it.
chmod 711 "$TV_WORK"
m=$TV_WORK/media
mkdir -p "$m" "$TV_WORK/more"
chmod 755 "$m" "$TV_WORK/more"
head -c 3000 /dev/urandom >"$m/a.mp3"
ln -s "$m" "$TV_WORK/to-media"

# 1. One folder, one ObjectID: a second --share, by any way there, changes nothing.
expect 0 "" "$P" --settings "$S" --share "$m"
before=$(md5sum <"$S")
for again in "$m" "$m/" "$TV_WORK/to-media" "$TV_WORK/more/../media"; do
  expect 0 "is already shared" "$P" --settings "$S" --share "$again"
done
[ "$(md5sum <"$S")" = "$before" ] || tv_fail "a second --share rewrote the list"
tv_note "--share of a folder listed already: 'already shared', exit 0, the list as it was"
# A hand-edited list that holds it three times: shared once, one line, one container.
write_list "$S" "$m" "$m/" "$m"
tv_start
tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/root.xml"
[ "$TV_RETURNED" = 1 ] || tv_fail "a folder listed three times gave $TV_RETURNED containers"
[ "$(grep -c "Listed 3 times, shared once: $m" "$TV_LOG")" = 1 ] ||
  tv_fail "not one line for the folder listed three times: $(grep -c "shared once" "$TV_LOG")"
tv_stop
expect 0 "" "$P" --settings "$S" --unshare "$m"
[ -z "$("$P" --settings "$S" --list)" ] || tv_fail "--unshare left: $("$P" --settings "$S" --list)"
tv_note "listed three times: one container, one log line; --unshare takes every entry"

# 2. A folder its user cannot read and enter: refused at --share; at load, one line.
private=$TV_WORK/private
mkdir -m 700 "$private"
mkdir -m 700 "$TV_WORK/nobody"
chown 65534:65534 "$TV_WORK/nobody"
N=$TV_WORK/nobody/list.dat
as_nobody() { HOME=/nonexistent setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
expect 1 "$private cannot be shared: user nobody cannot read and enter it: Permission denied" \
  as_nobody "$P" --settings "$N" --share "$private"
[ ! -e "$N" ] || tv_fail "the refused --share saved a list"
expect 0 "" as_nobody "$P" --settings "$N" --share "$m"
write_list "$N" "$m" "$private"
printf '#!/bin/sh\nHOME=/nonexistent exec setpriv --reuid=65534 --regid=65534 --clear-groups "%s" "$@"\n' "$P" \
  >"$TV_WORK/as-nobody"
chmod 755 "$TV_WORK/as-nobody"
TV_PROGRAM=$TV_WORK/as-nobody TV_SETTINGS=$N tv_start
tv_wait_log "Folder list: $N"
[ "$(grep -c "Shared but not readable: $private (user nobody cannot read and enter it: Permission denied)" "$TV_LOG")" = 1 ] ||
  tv_fail "no one line for the unreadable folder"
tv_stop
tv_note "an unreadable folder: refused by --share with the reason; one line at load"

# 3. The system service's list, edited as the service's user: in a private mount namespace
# whose /etc (an overlay) knows the user and whose /var/lib is its own.
if unshare -m true 2>/dev/null && [ "$(getent passwd tindravoller | cut -d: -f1)" != tindravoller ]; then
  mkdir -p "$TV_WORK/ov" "$TV_WORK/other"
  chmod 755 "$TV_WORK/other"
  cat >"$TV_WORK/system.sh" <<'EOF'
set -euo pipefail
fail() { echo "step $1: $2" >&2; exit 1; }
mount -t tmpfs tmpfs "$W/ov" && mkdir "$W/ov/up" "$W/ov/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$W/ov/up,workdir=$W/ov/work" /etc || exit 3
echo "tindravoller:x:64123:64123:Tindravoller:/var/lib/tindravoller:/usr/sbin/nologin" >>/etc/passwd
echo "tindravoller:x:64123:" >>/etc/group
mount -t tmpfs -o mode=755 tmpfs /var/lib
install -d -m 750 -o 64123 -g 64123 /var/lib/tindravoller
list=/var/lib/tindravoller/TindravollerDLNA.dat
# As root: the identity of the service's user before anything is read or written.
"$P" --system --share "$M" || fail a "--system --share as root"
[ "$(stat -c %u "$list")" = 64123 ] || fail b "the list belongs to $(stat -c %U "$list")"
rc=0; "$P" --system --share "$PRIVATE" 2>"$W/sys.err" || rc=$?
[ $rc = 1 ] && grep -qF "user tindravoller cannot read and enter it" "$W/sys.err" ||
  fail c "a folder the service cannot read: $rc $(cat "$W/sys.err")"
# As the service's user: --system just works, and without it the service's list is used.
as_service() { HOME=/var/lib/tindravoller setpriv --reuid=64123 --regid=64123 --init-groups "$@"; }
as_service "$P" --share "$OTHER" || fail d "--share as the service's user"
[ "$("$P" --system --list | tr '\n' ' ')" = "$M $OTHER " ] || fail e "$("$P" --system --list)"
# Anyone else is sent to sudo.
rc=0; HOME=/nonexistent setpriv --reuid=65534 --regid=65534 --clear-groups "$P" --system --list 2>"$W/sys.err" || rc=$?
[ $rc = 1 ] && grep -qF "run it with sudo" "$W/sys.err" || fail f "$rc $(cat "$W/sys.err")"
# The service reads /etc/tindravoller.conf: a fixed port for the firewall.
echo "port 8201" >/etc/tindravoller.conf
"$P" --system --headless >"$W/sys.log" 2>&1 &
pid=$!
for i in $(seq 1 100); do grep -q "^Serving at http://127.0.0.1:8201/$" "$W/sys.log" && break; sleep 0.1; done
grep -q "^Folder list: $list$" "$W/sys.log" || { kill $pid; fail g "$(cat "$W/sys.log")"; }
[ "$(awk '/^Uid:/ {print $2 $3}' "/proc/$pid/status")" = 6412364123 ] || { kill $pid; fail h "not the service's user"; }
curl -sf -o /dev/null http://127.0.0.1:8201/ || { kill $pid; fail i "no description on 8201"; }
kill -TERM $pid
wait $pid || fail j "the server exited with $?"
EOF
  rc=0
  W=$TV_WORK P=$P M=$m PRIVATE=$private OTHER=$TV_WORK/other \
    unshare -m --propagation private bash "$TV_WORK/system.sh" 2>"$TV_WORK/system.err" || rc=$?
  if [ "$rc" = 3 ]; then
    tv_note "--system skipped: no overlay file system for /etc here"
  else
    [ "$rc" = 0 ] || tv_fail "--system: $(cat "$TV_WORK/system.err")"
    tv_note "--system as root edits the service's list as its user (a folder it cannot read refused); its user gets that list without --system; others are sent to sudo; the service reads its port from /etc/tindravoller.conf"
  fi
else
  tv_note "--system skipped: no private mount namespace, or a real user tindravoller here"
fi

# 4 and 6. A fixed port, and what a headless start prints once its web server answers.
rm -f "$S"
tv_start --port 8200
[ "$TV_PORT" = 8200 ] || tv_fail "--port 8200 serves on $TV_PORT"
for address in 10.9.9.1 10.7.7.1 127.0.0.1; do
  grep -qx "Serving at http://$address:8200/" "$TV_LOG" || tv_fail "no line for $address: $(cat "$TV_LOG")"
done
grep -qx "Folder list: $S" "$TV_LOG" || tv_fail "no line for the folder list"
hint=$(sed -n 's/^Nothing is shared: share a folder with //p' "$TV_LOG")
[ "$hint" = "$P --settings $S --share DIR" ] || tv_fail "the hint: '$hint'"
${hint/DIR/$m} || tv_fail "the hint's command failed"
tv_player curl -sf -o /dev/null "http://10.9.9.1:8200/" || tv_fail "player 1 reaches no description on 8200"
tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/hinted.xml"
[ "$TV_RETURNED" = 1 ] || tv_fail "the hint's --share is not served"
tv_note "--port 8200: one line per address, the folder list, a hint whose command works"
# An address that comes later is printed when it comes.
ip addr add 10.9.9.7/24 dev lan0
tv_wait_log "Serving at http://10.9.9.7:8200/"
# The same port taken: the start ends at once with the reason.
start=$SECONDS
expect 1 "the HTTP port 8200 cannot be used (bind: Address already in use)" \
  timeout 20 "$P" --headless --settings "$S" --port 8200
[ $((SECONDS - start)) -le 5 ] || tv_fail "a taken port took $((SECONDS - start)) s to refuse"
tv_stop
echo "port 8202" >"$TV_WORK/t.conf"
tv_start --config "$TV_WORK/t.conf"
[ "$TV_PORT" = 8202 ] || tv_fail "the configuration file's port 8202: $TV_PORT"
tv_stop
tv_note "an address that comes later is printed; a taken port ends the start with the reason; the file's port is served"

# 5. --interface: a malformed address or an impossible name stops the start (exit 2); a
# well-formed one that is not there is served once it appears.
expect 2 "'999.1.1.1' is not an IPv4 address" "$P" --headless --settings "$S" --interface 999.1.1.1
expect 2 "'a/b' cannot be an interface name" "$P" --headless --settings "$S" --interface a/b
expect 2 "is longer than an interface name can be" "$P" --headless --settings "$S" \
  --interface averyveryverylongname
tv_start --interface eth9
grep -qF "no interface eth9 now; it is served once it appears" "$TV_LOG" || tv_fail "no word of eth9"
grep -qx "Serving at http://127.0.0.1:$TV_PORT/" "$TV_LOG" || tv_fail "127.0.0.1 not served"
! grep -q "Serving at http://10\." "$TV_LOG" || tv_fail "a LAN is served with only eth9 asked for"
tv_stop
tv_note "--interface: malformed values exit 2, an absent interface is waited for"
echo PASS
