# Real players on a player host against the server: media made with ffmpeg (an mp3, a small
# and a 300 MB mpg, an avi, a jpg and a png) are found by Browse and then probed, decoded whole
# and from the middle by ffmpeg (which then asks for byte ranges), decoded whole by
# GStreamer's souphttpsrc, and downloaded and compared byte for byte. Every decoder must finish
# without a single error line.
# No GStreamer seek: souphttpsrc takes a response without Content-Length (the chunked answers
# to HTTP/1.1) as not seekable and refuses it.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

# The players are part of the test set (scripts/deps.sh test): a missing one is a failure.
for tool in ffmpeg ffprobe gst-launch-1.0 gst-discoverer-1.0 gst-inspect-1.0; do
  command -v "$tool" >/dev/null || tv_fail "$tool is missing (bash scripts/deps.sh test)"
done
for element in souphttpsrc decodebin mpegpsdemux avidemux mpegaudioparse dvdlpcmdec jpegdec pngdec \
    avdec_mpeg2video avdec_mpeg4; do
  gst-inspect-1.0 "$element" >/dev/null 2>&1 || tv_fail "GStreamer element $element is missing"
done

media=$TV_WORK/media
mkdir -p "$media"
gen() { ffmpeg -nostdin -y -v error "$@" 2>&1 | { grep -v -e 'buffer underflow' -e 'packet too large' || true; }; }
# Long-GOP-free MPEG-2 with LPCM sound: every seek point decodes cleanly in both players.
mpg_args=(-c:v mpeg2video -g 12 -bf 0 -q:v 2 -c:a pcm_dvd -f mpeg)
gen -f lavfi -i sine=frequency=440:duration=4 -c:a libmp3lame -b:a 128k "$media/tone.mp3"
gen -f lavfi -i testsrc=size=176x144:rate=25:duration=4 -f lavfi -i sine=frequency=330:duration=4 \
  "${mpg_args[@]}" "$media/clip.mpg"
gen -f lavfi -i testsrc=size=176x144:rate=25:duration=4 -f lavfi -i sine=frequency=550:duration=4 \
  -c:v mpeg4 -g 25 -c:a libmp3lame -b:a 96k "$media/clip.avi"
gen -f lavfi -i testsrc=size=64x48 -frames:v 1 "$media/still.jpg"
gen -f lavfi -i testsrc=size=64x48 -frames:v 1 "$media/still.png"
# About 300 MB in a few seconds: noise at the lowest quantiser costs many bytes per frame.
gen -f lavfi -i "testsrc2=size=352x288:rate=25:duration=80,noise=alls=60:allf=t+u" \
  -f lavfi -i sine=duration=80 "${mpg_args[@]}" -qmin 1 -q:v 1 "$media/big.mpg"
files=(tone.mp3 clip.mpg clip.avi still.jpg still.png big.mpg)
for f in "${files[@]}"; do [ -s "$media/$f" ] || tv_fail "ffmpeg did not make $f"; done
tv_note "made media, big.mpg $(($(stat -c %s "$media/big.mpg") / 1048576)) MiB"

tv_share "$media"
tv_start

# The resource URLs as a control point finds them.
tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/root.xml"
folder=$(tv_objects "$TV_WORK/root.xml.didl" | awk -F'\t' '$1 == "container" {print $2; exit}')
[ -n "$folder" ] || tv_fail "the shared folder is not listed"
tv_browse "$folder" BrowseDirectChildren 0 0 "$TV_WORK/folder.xml"
tv_objects "$TV_WORK/folder.xml.didl" >"$TV_WORK/objects"
declare -A url
for f in "${files[@]}"; do
  url[$f]=$(ID="$folder$f" awk -F'\t' '$1 == "item" && $2 == ENVIRON["ID"] {print $3}' "$TV_WORK/objects")
  [[ ${url[$f]} == "$TV_BASE/content/"* ]] || tv_fail "no URL for $f: '${url[$f]}'"
done
tv_note "found ${#url[@]} resource URLs by Browse"

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

# ranges_since LINE: Range values with a non-zero start the server logged after LINE.
ranges_since() {
  tail -n +"$(($1 + 1))" "$TV_LOG" | { grep -o 'RANGE (bytes=[1-9][0-9]*-[0-9]*)' || true; } | wc -l
}

for f in "${files[@]}"; do
  u=${url[$f]}
  still=0
  [[ $f == *.jpg || $f == *.png ]] && still=1

  run_quiet "ffprobe $f" ffprobe -v error -show_entries format=duration:stream=codec_name -of flat "$u"
  grep -q 'codec_name=' "$TV_WORK/out" || tv_fail "ffprobe $f found no stream"
  if [ $still = 0 ]; then
    duration=$(awk -F'"' '/^format.duration=/ {print $2}' "$TV_WORK/out")
    [ -n "$duration" ] || tv_fail "ffprobe $f gave no duration"
    # The big file is read whole without decoding it: its decoders are the small clip's, and
    # decoding 80 s of noise twice takes minutes on a loaded 2-core machine.
    if [ "$f" = big.mpg ]; then
      run_quiet "ffmpeg read of $f" ffmpeg -nostdin -v error -i "$u" -c copy -f null -
    else
      run_quiet "ffmpeg decode of $f" ffmpeg -nostdin -v error -i "$u" -f null -
    fi
    middle=$(awk -v d="$duration" 'BEGIN {printf "%.2f", d / 2}')
    mark=$(wc -l <"$TV_LOG")
    run_quiet "ffmpeg decode of $f from $middle s" ffmpeg -nostdin -v error -ss "$middle" -i "$u" -t 1.5 -f null -
    [ "$(ranges_since "$mark")" -gt 0 ] || tv_fail "ffmpeg seek in $f asked for no range"
  else
    run_quiet "ffmpeg decode of $f" ffmpeg -nostdin -v error -i "$u" -f null -
  fi

  run_quiet "gst-discoverer $f" gst-discoverer-1.0 "$u"
  grep -qi -e 'missing plugins' -e 'error' "$TV_WORK/out" && { cat "$TV_WORK/out" >&2; tv_fail "gst-discoverer $f"; }
  # gst-launch reports pipeline errors on its standard output.
  if [ "$f" = big.mpg ]; then
    run_quiet "gst-launch read of $f" gst-launch-1.0 -q souphttpsrc location="$u" ! typefind ! fakesink
  else
    run_quiet "gst-launch decode of $f" gst-launch-1.0 -q souphttpsrc location="$u" ! decodebin ! fakesink
  fi
  grep -q -e ERROR -e WARNING "$TV_WORK/out" && { cat "$TV_WORK/out" >&2; tv_fail "gst-launch $f"; }

  tv_player curl -sf --max-time 120 "$u" | cmp -s - "$media/$f" || tv_fail "download of $f differs from the file"
  tv_note "$f: ffprobe, ffmpeg whole$([ $still = 0 ] && echo " and from the middle"), gst-discoverer, gst-launch, download"
done

# Nothing the players did may have shown up as an error on the server's side.
if grep -i -e 'error' -e 'fail' "$TV_LOG" >&2; then tv_fail "the server logged errors"; fi
tv_stop
echo PASS
