# The shared-folder list from the command line, and links out of the shared folders: what
# --share says and its exit code when the list cannot be saved or read, the way out of a
# damaged settings file, twenty edits at once, --follow-links-out on the real server, a shared
# folder swapped for a link, and a settings file swapped for a FIFO.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

P=$TV_PROGRAM
# expect CODE TEXT COMMAND...: the command exits with CODE and says TEXT on standard error.
expect() {
  local code=$1 text=$2 rc=0
  shift 2
  "$@" >"$TV_WORK/out" 2>"$TV_WORK/err" || rc=$?
  [ "$rc" = "$code" ] || tv_fail "$* exited with $rc, not $code: $(cat "$TV_WORK/err")"
  grep -qF -- "$text" "$TV_WORK/err" || tv_fail "$*: no '$text' in: $(cat "$TV_WORK/err")"
}
m=$TV_WORK/m
mkdir -p "$m"

# No documents folder yet: made, as the desktop's own tools make it.
home=$TV_WORK/home
mkdir -p "$home"
env -u XDG_DOCUMENTS_DIR -u TINDRAVOLLER_SETTINGS HOME="$home" XDG_CONFIG_HOME="$home/.config" \
  "$P" --share "$m" || tv_fail "--share without a documents folder"
[ -s "$home/Documents/TindravollerDLNA.dat" ] || tv_fail "no settings file in the new documents folder"
tv_note "--share makes a missing documents folder"

# A save that cannot be done says why and exits 1: a missing folder, a read-only and a full disk.
expect 1 "Could not write the settings file $TV_WORK/none/x.dat: No such file or directory" \
  "$P" --settings "$TV_WORK/none/x.dat" --share "$m"
if unshare -m true 2>/dev/null; then
  mkdir -p "$TV_WORK/ro" "$TV_WORK/full"
  P="$P" W=$TV_WORK unshare -m bash -c '
    mount -t tmpfs -o ro,size=64k tmpfs "$W/ro" && mount -t tmpfs -o size=64k tmpfs "$W/full" || exit 3
    dd if=/dev/zero of="$W/full/fill" bs=4k 2>/dev/null
    rc=0; "$P" --settings "$W/ro/x.dat" --share "$W/m" 2>"$W/ro.err" || rc=$?
    [ $rc = 1 ] && grep -q "Read-only file system" "$W/ro.err" || exit 4
    rc=0; "$P" --settings "$W/full/x.dat" --share "$W/m" 2>"$W/full.err" || rc=$?
    [ $rc = 1 ] && grep -q "No space left on device" "$W/full.err" || exit 5' ||
    tv_fail "read-only or full disk (step $?): $(cat "$TV_WORK/ro.err" "$TV_WORK/full.err" 2>/dev/null)"
  tv_note "a failed save says why and exits 1"
else
  tv_note "read-only and full disks skipped: no private mount namespace here"
fi

# A damaged file (empty) blocks edits and says how to get out; the way out keeps the file.
s=$TV_WORK/damaged.dat
: >"$s"
expect 1 "--recover-settings keeps the damaged file as $s.bad" "$P" --settings "$s" --share "$m"
[ ! -s "$s" ] && [ ! -e "$s.bad" ] || tv_fail "the damaged file was touched"
expect 1 "File: $s." "$P" --settings "$s" --list
expect 0 "kept as $s.bad" "$P" --settings "$s" --recover-settings --share "$m"
[ -e "$s.bad" ] && [ ! -s "$s.bad" ] || tv_fail "the damaged file was not kept as $s.bad"
[ "$("$P" --settings "$s" --list)" = "$m" ] || tv_fail "--share after --recover-settings"
# Cut short after its first entry: --list shows it, --recover-settings keeps it.
s=$TV_WORK/cut.dat
{ printf '\x02\x00'; printf "\\x$(printf %02x ${#m})"; printf '%s' "$m"; printf '\x09/cut'; } >"$s"
cp "$s" "$s.before"
expect 1 "text cut short" "$P" --settings "$s" --list
[ "$(cat "$TV_WORK/out")" = "$m" ] || tv_fail "--list of a cut file printed: $(cat "$TV_WORK/out")"
expect 0 "kept as $s.bad" "$P" --settings "$s" --recover-settings
[ "$("$P" --settings "$s" --list)" = "$m" ] && cmp -s "$s.bad" "$s.before" ||
  tv_fail "--recover-settings lost the folder that could be read, or the damaged file"
tv_note "a damaged file is shown, kept as .bad and replaced only when asked"

# Twenty editors at once: every folder is kept.
s=$TV_WORK/parallel.dat
pids=()
for i in $(seq 1 20); do
  mkdir -p "$TV_WORK/p/$i"
  "$P" --settings "$s" --share "$TV_WORK/p/$i" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || tv_fail "a parallel --share failed"; done
[ "$("$P" --settings "$s" --list | sort -u | wc -l)" = 20 ] ||
  tv_fail "20 parallel --share kept $("$P" --settings "$s" --list | wc -l) folders"
tv_note "20 parallel --share keep 20 folders"

# A link out of the shared folders: not served unless the program is told to follow it.
mkdir -p "$TV_WORK/media" "$TV_WORK/secret"
echo secret >"$TV_WORK/secret/s.mp3"
ln -s "$TV_WORK/secret/s.mp3" "$TV_WORK/media/out.mp3"
tv_share "$TV_WORK/media"
# A folder not there when the server starts (a disk mounted later) is shared once it appears.
mkdir "$TV_WORK/late" && tv_share "$TV_WORK/late" && rmdir "$TV_WORK/late"
late_path="/content/$(tv_escape_folder "$TV_WORK/late" | sed 's/%/%25/g')/l.mp3"
url_path="/content/$(tv_escape_folder "$TV_WORK/media" | sed 's/%/%25/g')/out.mp3"
tv_start
mkdir "$TV_WORK/late" && echo late >"$TV_WORK/late/l.mp3"
for i in $(seq 1 100); do
  [ "$(curl -s "http://127.0.0.1:$TV_PORT$late_path")" = late ] && break
  [ "$i" = 100 ] && tv_fail "a folder that appeared after the start is not served"
  sleep 0.1
done
[ "$(grep -c "Not shared: $TV_WORK/late" "$TV_LOG")" -le 1 ] || tv_fail "the folder left out is logged again and again"
tv_note "a folder that appears after the start is shared"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$TV_PORT$url_path")" = 404 ] ||
  tv_fail "a link out of the shared folders is served"
grep -q "Link not followed, it leads out of the shared folders: $TV_WORK/media/out.mp3" "$TV_LOG" ||
  tv_fail "the link out is not logged"
tv_stop
printf '#!/bin/sh\nexec "%s" --follow-links-out "$@"\n' "$P" >"$TV_WORK/follow"
chmod +x "$TV_WORK/follow"
TV_PROGRAM=$TV_WORK/follow
tv_start
[ "$(curl -s "http://127.0.0.1:$TV_PORT$url_path")" = secret ] ||
  tv_fail "--follow-links-out does not serve the link out"
tv_stop
tv_note "links out are served only with --follow-links-out"
TV_PROGRAM=$P

# Someone who may write the parent of a shared folder swaps the folder for a link while the
# server runs and looks at its list again every 5 s (a folder is left out). Nothing the link
# leads to is listed or served, and no edit writes its target into the list.
TV_SETTINGS=$TV_WORK/swap.dat
c=$TV_WORK/c
mkdir -p "$c/A" "$c/parent/nested" "$c/gone" "$TV_WORK/outside"
echo nested >"$c/parent/nested/n.mp3"
echo outside >"$TV_WORK/outside/o.mp3"
tv_share "$c/A" "$c/parent/nested" "$c/gone"
rmdir "$c/gone"
tv_start
url() { echo "/content/$(tv_escape_folder "$1" | sed 's/%/%25/g')/$2"; }
code() { tv_player curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$TV_BASE$1" || true; }
[ "$(code "$(url "$c/parent/nested" n.mp3)")" = 200 ] || tv_fail "the shared folder is not served"
mv "$c/parent/nested" "$c/parent/nested.old"
ln -s "$TV_WORK/outside" "$c/parent/nested"
outside_id=$(tv_escape_folder "$TV_WORK/outside")
end=$((SECONDS + 30))
while [ "$SECONDS" -lt "$end" ]; do
  tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/root.xml"
  ! grep -qF "$outside_id" "$TV_WORK/root.xml.didl" || tv_fail "the root lists the link's target"
  for path in "$(url "$c/parent/nested" o.mp3)" "$(url "$TV_WORK/outside" o.mp3)"; do
    [ "$(code "$path")" != 200 ] || tv_fail "GET $path through the swapped folder answered 200"
  done
  sleep 0.5
done
grep -qF "Not shared: $c/parent/nested (" "$TV_LOG" || tv_fail "the swapped folder is not logged"
tv_share "$c/A"
"$P" --settings "$TV_SETTINGS" --list >"$TV_WORK/list" 2>/dev/null || true
grep -qxF "$c/parent/nested" "$TV_WORK/list" && ! grep -qF "$TV_WORK/outside" "$TV_WORK/list" ||
  tv_fail "an edit rewrote the swapped entry: $(cat "$TV_WORK/list")"
tv_note "the link swap exposes nothing within 30 s, and no edit writes its target"

# A settings file swapped for a FIFO: the server goes on answering, --list returns at once.
rm "$TV_SETTINGS"
mkfifo "$TV_SETTINGS"
browse_args='<ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>'
[ "$(tv_soap ContentDirectory Browse "$browse_args" "$TV_WORK/fifo.xml" || true)" = 200 ] ||
  tv_fail "Browse did not answer with the settings file a FIFO"
[ "$(code /)" = 200 ] || tv_fail "GET / did not answer with the settings file a FIFO"
rc=0; timeout 10 "$P" --settings "$TV_SETTINGS" --list 2>"$TV_WORK/err" || rc=$?
[ "$rc" = 1 ] && grep -qF "not a regular file" "$TV_WORK/err" ||
  tv_fail "--list of a FIFO exited with $rc: $(cat "$TV_WORK/err")"
tv_stop
tv_note "a settings file that is a FIFO is refused without a hang"
echo PASS
