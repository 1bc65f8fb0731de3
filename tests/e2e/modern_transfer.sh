# Transfers with a length, from a player host, with the server in today's listing mode
# (--modern-listing): an H.264/AAC mp4 (its index at the end, so even probing it seeks) and an
# H.264/AAC mkv, made with ffmpeg, are seekable with a duration for GStreamer, ffmpeg seeks into
# both with byte ranges, HEAD gives GET's header, a 416 names the size, an answer after which
# the connection ends says so, and the bytes are the file's. Then the same server without the
# option answers HTTP/1.1 chunked again, as every other script expects.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

for tool in ffmpeg gst-discoverer-1.0 gst-inspect-1.0; do
  command -v "$tool" >/dev/null || tv_fail "$tool is missing (bash scripts/deps.sh test)"
done
for element in souphttpsrc qtdemux matroskademux h264parse avdec_h264 avdec_aac; do
  gst-inspect-1.0 "$element" >/dev/null 2>&1 || tv_fail "GStreamer element $element is missing"
done

media=$TV_WORK/media
mkdir -p "$media"
gen() { ffmpeg -nostdin -y -v error "$@"; }
av=(-f lavfi -i testsrc=size=320x240:rate=25:duration=10 -f lavfi -i sine=frequency=440:duration=10
  -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 96k)
gen "${av[@]}" "$media/film.mp4"
gen "${av[@]}" "$media/film.mkv"
for f in film.mp4 film.mkv; do [ -s "$media/$f" ] || tv_fail "ffmpeg did not make $f"; done

tv_share "$media"
tv_start --modern-listing
# Today's listing starts SystemUpdateID from the clock (where the listing has it).
TV_EXPECT_UPDATE_ID=any

# The mp4's URL as a control point finds it, and the mkv's beside it (listed only where the
# listing knows today's kinds, it is served by that URL either way).
tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/root.xml"
folder=$(tv_objects "$TV_WORK/root.xml.didl" | awk -F'\t' '$1 == "container" {print $2; exit}')
[ -n "$folder" ] || tv_fail "the shared folder is not listed"
tv_browse "$folder" BrowseDirectChildren 0 0 "$TV_WORK/folder.xml"
mp4=$(tv_res_urls "$TV_WORK/folder.xml.didl" | grep '/film\.mp4$' | head -1)
[[ $mp4 == "$TV_BASE/content/"* ]] || tv_fail "no URL for film.mp4: '$mp4'"
declare -A url=([film.mp4]=$mp4 [film.mkv]=${mp4%/film.mp4}/film.mkv)

# run_quiet WHAT CMD...: CMD, run on the player, must exit 0 and write nothing to its error
# stream.
run_quiet() {
  local what=$1 rc=0
  shift
  tv_player timeout 120 "$@" >"$TV_WORK/out" 2>"$TV_WORK/err" || rc=$?
  if [ "$rc" != 0 ] || [ -s "$TV_WORK/err" ]; then
    head -c 2000 "$TV_WORK/err" >&2
    tv_fail "$what: exit $rc"
  fi
}

# header CURL-ARGS...: the answer's header, one line each, without CR.
header() { tv_player curl -s --max-time 20 -D - -o /dev/null "$@" | tr -d '\r'; }

for f in film.mp4 film.mkv; do
  u=${url[$f]}
  size=$(stat -c %s "$media/$f")

  header -I "$u" >"$TV_WORK/head"
  header "$u" >"$TV_WORK/get"
  cmp -s "$TV_WORK/head" "$TV_WORK/get" || { diff "$TV_WORK/head" "$TV_WORK/get" >&2; tv_fail "$f: HEAD and GET headers differ"; }
  grep -qx 'HTTP/1.1 200 OK' "$TV_WORK/get" || tv_fail "$f: $(head -1 "$TV_WORK/get")"
  grep -qx "Content-Length: $size" "$TV_WORK/get" || tv_fail "$f: no Content-Length $size"
  grep -qx 'Accept-Ranges: bytes' "$TV_WORK/get" || tv_fail "$f: no Accept-Ranges"
  grep -qi '^Transfer-Encoding' "$TV_WORK/get" && tv_fail "$f: a chunked answer"
  grep -qi '^Connection' "$TV_WORK/get" && tv_fail "$f: a kept connection says Connection"
  header -H "Range: bytes=100-199" "$u" >"$TV_WORK/part"
  grep -qx "Content-Range: bytes 100-199/$size" "$TV_WORK/part" || tv_fail "$f: no Content-Range"
  grep -qx 'Content-Length: 100' "$TV_WORK/part" || tv_fail "$f: no Content-Length on a 206"
  header -H "Range: bytes=$size-" "$u" >"$TV_WORK/416"
  grep -qx 'HTTP/1.1 416 Invalid Range' "$TV_WORK/416" || tv_fail "$f: $(head -1 "$TV_WORK/416")"
  grep -qx "Content-Range: bytes \*/$size" "$TV_WORK/416" || tv_fail "$f: a 416 without Content-Range"
  grep -qx 'Connection: close' "$TV_WORK/416" || tv_fail "$f: a 416 without Connection: close"
  header -0 "$u" >"$TV_WORK/http10"
  grep -qx 'Connection: close' "$TV_WORK/http10" || tv_fail "$f: an HTTP/1.0 answer without Connection: close"

  run_quiet "gst-discoverer $f" gst-discoverer-1.0 "$u"
  grep -q 'Seekable: yes' "$TV_WORK/out" || { cat "$TV_WORK/out" >&2; tv_fail "gst-discoverer: $f is not seekable"; }
  duration=$(awk '$1 == "Duration:" {print $2; exit}' "$TV_WORK/out")
  [[ $duration == 0:00:1[0-9].* || $duration == 0:00:09.* ]] || tv_fail "gst-discoverer: $f lasts '$duration'"

  mark=$(wc -l <"$TV_LOG")
  run_quiet "ffmpeg decode of $f from 6 s" ffmpeg -nostdin -v error -ss 6 -i "$u" -t 1.5 -f null -
  seeks=$(tail -n +"$((mark + 1))" "$TV_LOG" | { grep -o 'RANGE (bytes=[1-9][0-9]*-[0-9]*)' || true; } | wc -l)
  [ "$seeks" -gt 0 ] || tv_fail "ffmpeg seek in $f asked for no range"

  tv_player curl -sf --max-time 60 "$u" | cmp -s - "$media/$f" || tv_fail "download of $f differs from the file"
  tv_note "$f: HEAD as GET, 206, 416 and HTTP/1.0 headers, seekable for gst-discoverer ($duration), ffmpeg seek ($seeks ranges), download"
done
if grep -i -e 'error' -e 'fail' "$TV_LOG" >&2; then tv_fail "the server logged errors"; fi
tv_stop

# Without the option the answers are the protocol's own.
tv_start
header "$TV_BASE/content/${url[film.mp4]#*/content/}" >"$TV_WORK/plain"
grep -qx 'Transfer-Encoding: chunked' "$TV_WORK/plain" || tv_fail "without the option: $(cat "$TV_WORK/plain")"
grep -qi -e '^Content-Length' -e '^Accept-Ranges' "$TV_WORK/plain" && tv_fail "without the option the answer has a length"
run_quiet "gst-discoverer film.mp4 without the option" gst-discoverer-1.0 "$TV_BASE/content/${url[film.mp4]#*/content/}"
grep -q 'Seekable: no' "$TV_WORK/out" || tv_fail "without the option GStreamer $(grep Seekable "$TV_WORK/out")"
tv_note "without the option the mp4 is answered chunked (gst-discoverer: not seekable)"
tv_stop
echo PASS
