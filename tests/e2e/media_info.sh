# Media information (--media-info) as a TV on the home network sees it, on files ffmpeg makes
# here: tag titles, artists, albums and track numbers; durations within 1 s of ffprobe's and
# resolutions equal to its; cover art (embedded, and a folder's cover image) and photo
# thumbnails of at most 160x160; the subtitle beside a film, its URL and the CaptionInfo.sec
# header a Samsung TV asks for, and its capabilities and feature list; no JPEG_SM for a 4K photo. Damaged files (truncated,
# corrupted, empty, huge and sparse, a pipe) are listed without holding up anything else, and
# no helper outlives the server or its idle time.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

media=$TV_WORK/media
mkdir -p "$media/Music" "$media/Films" "$media/Photos" "$media/Covered" "$media/Damaged"
q=(-hide_banner -loglevel error -nostdin -y)
ffmpeg "${q[@]}" -f lavfi -i "sine=frequency=440:duration=3" -f lavfi -i "testsrc=size=600x400:duration=1" \
  -map 0:a -map 1:v -frames:v 1 -c:a libmp3lame -b:a 128k -c:v mjpeg -id3v2_version 3 \
  -metadata title="Tom & Jerry tag" -metadata artist="Tone Artist" -metadata album="Test Album" \
  -metadata track="3/12" -metadata date="2021-05-03" -disposition:v attached_pic \
  "$media/Music/Tom & Jerry.mp3"
ffmpeg "${q[@]}" -f lavfi -i "sine=frequency=330:duration=4:sample_rate=48000" -ac 2 -c:a flac \
  -metadata title="Flac Title" -metadata artist="Flac Artist" -metadata album="Flac Album" \
  -metadata track="7" "$media/Music/tone.flac"
ffmpeg "${q[@]}" -f lavfi -i "sine=frequency=550:duration=5" -ac 2 -c:a aac -b:a 128k \
  -metadata title="M4a Title" -metadata artist="M4a Artist" -metadata album="M4a Album" \
  -metadata track="2" "$media/Music/tone.m4a"
ffmpeg "${q[@]}" -f lavfi -i "testsrc=size=320x240:rate=25:duration=2" -f lavfi -i "sine=duration=2" \
  -c:v libx264 -profile:v main -level 3.0 -pix_fmt yuv420p -c:a aac -ac 2 -shortest \
  -metadata title="Mp4 Title" "$media/Films/clip.mp4"
ffmpeg "${q[@]}" -f lavfi -i "testsrc=size=640x360:rate=25:duration=3" -f lavfi -i "sine=duration=3" \
  -c:v libx264 -pix_fmt yuv420p -c:a libopus -shortest "$media/Films/film.mkv"
printf '1\r\n00:00:00,000 --> 00:00:02,000\r\nHello\r\n' >"$media/Films/film.srt"
printf 'no film\r\n' >"$media/Films/alone.srt"
ffmpeg "${q[@]}" -f lavfi -i "testsrc=size=3840x2160:duration=1" -frames:v 1 -q:v 3 "$media/Photos/big.jpg"
ffmpeg "${q[@]}" -f lavfi -i "sine=duration=2" -c:a libmp3lame "$media/Covered/plain.mp3"
ffmpeg "${q[@]}" -f lavfi -i "testsrc=size=500x500:duration=1" -frames:v 1 "$media/Covered/Cover.JPG"
# Damaged files.
head -c 20000 "$media/Films/clip.mp4" >"$media/Damaged/truncated.mp4"
cp "$media/Music/Tom & Jerry.mp3" "$media/Damaged/corrupted.mp3"
dd if=/dev/urandom of="$media/Damaged/corrupted.mp3" bs=1 seek=2000 count=30000 conv=notrunc status=none
: >"$media/Damaged/empty.mp3"
truncate -s 20G "$media/Damaged/sparse.mkv"
truncate -s 20G "$media/Damaged/sparse.mp3"
mkfifo "$media/Damaged/pipe.mp3"
# A link out of the shared folders, and a name left out, beside real files.
ln -s /etc/passwd "$media/Photos/out.jpg"
ln -s /etc/passwd "$media/Films/clip.srt"
cp "$media/Photos/big.jpg" "$media/Photos/.hidden.jpg"

export XDG_CACHE_HOME=$TV_WORK/cache
tv_share "$media/Music" "$media/Films" "$media/Photos" "$media/Covered" "$media/Damaged"
tv_start --modern  # both of today's options: the listing and media information
TV_EXPECT_UPDATE_ID=any

# Samsung's parts, as a Samsung TV reads them: the capabilities in the description and the
# FeatureList, each a well-formed document.
tv_player curl -sf -H 'Connection: close' "$TV_BASE/" >"$TV_WORK/description.xml" || tv_fail "no description"
for cap in ProductCap X_ProductCap; do
  value=$(xmllint --xpath "string(//*[local-name()='$cap' and namespace-uri()='http://www.sec.co.kr/dlna'])" "$TV_WORK/description.xml") ||
    tv_fail "the description is no XML document"
  [ "$value" = smi,DCM10,getMediaInfo.sec,getCaptionInfo.sec ] || tv_fail "sec:$cap is '$value'"
done
tv_player curl -sf -H 'Connection: close' "$TV_BASE/ContentDirectory/scpd.xml" | xmllint --noout - ||
  tv_fail "the ContentDirectory SCPD is no XML document"
code=$(tv_soap ContentDirectory X_GetFeatureList '' "$TV_WORK/features.xml")
[ "$code" = 200 ] || tv_fail "X_GetFeatureList answered $code: $(cat "$TV_WORK/features.xml")"
xmllint --xpath "string(//*[local-name()='FeatureList'])" "$TV_WORK/features.xml" >"$TV_WORK/features.doc"
kinds=$(xmllint --xpath "//*[local-name()='Feature'][@name='samsung.com_BASICVIEW']/*[@id='0']/@type" "$TV_WORK/features.doc" | tr -s ' \n' ' ')
[ "$kinds" = ' type="object.item.audioItem" type="object.item.videoItem" type="object.item.imageItem" ' ] ||
  tv_fail "FeatureList: $(cat "$TV_WORK/features.doc")"
tv_note "Samsung: ProductCap and X_ProductCap in the description, X_GetFeatureList names the root for$kinds"

id_of() { echo "0\\$(tv_escape_folder "$1")\\"; }

# field DIDL TITLE XPATH: a value of the item with that title.
field() {
  xmllint --xpath "string(/*/*[*[local-name()='title']='$2']/$3)" "$1"
}
probe() {  # FILE ENTRY: one ffprobe value
  ffprobe -v error -show_entries "$2" -of default=nw=1:nk=1 "$1" | head -1
}
seconds() {  # H:MM:SS.FFF -> seconds
  awk -F: '{ print $1 * 3600 + $2 * 60 + $3 }' <<<"$1"
}
near() {  # A B: within 1 s
  awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(d <= 1) }'
}
# at most 160x160, a JPEG
small_jpeg() {  # URL WHAT
  tv_player curl -sf -o "$TV_WORK/art.jpg" "$1" || tv_fail "$2: $1 does not answer"
  local size
  size=$(identify -format '%m %w %h' "$TV_WORK/art.jpg") || tv_fail "$2 is no picture"
  read -r format w h <<<"$size"
  [ "$format" = JPEG ] && [ "$w" -le 160 ] && [ "$h" -le 160 ] || tv_fail "$2 is $size"
}

# Music: tags, durations, embedded art.
tv_browse "$(id_of "$media/Music")" BrowseDirectChildren 0 0 "$TV_WORK/music.xml"
didl=$TV_WORK/music.xml.didl
grep -q 'xmlns:dlna="urn:schemas-dlna-org:metadata-1-0/"' "$didl" || tv_fail "no dlna namespace"
declare -A artist=([Tom & Jerry tag]="Tone Artist" [Flac Title]="Flac Artist" [M4a Title]="M4a Artist")
declare -A album=([Tom & Jerry tag]="Test Album" [Flac Title]="Flac Album" [M4a Title]="M4a Album")
declare -A track=([Tom & Jerry tag]=3 [Flac Title]=7 [M4a Title]=2)
declare -A file=([Tom & Jerry tag]="Tom & Jerry.mp3" [Flac Title]=tone.flac [M4a Title]=tone.m4a)
for title in "Tom & Jerry tag" "Flac Title" "M4a Title"; do
  x=${title//&/&amp;}
  [ "$(field "$didl" "$title" "*[local-name()='artist']")" = "${artist[$title]}" ] ||
    tv_fail "$title: no artist ${artist[$title]}: $(grep -c . "$didl")"
  [ "$(field "$didl" "$title" "*[local-name()='creator']")" = "${artist[$title]}" ] || tv_fail "$title: dc:creator"
  [ "$(field "$didl" "$title" "*[local-name()='album']")" = "${album[$title]}" ] || tv_fail "$title: album"
  [ "$(field "$didl" "$title" "*[local-name()='originalTrackNumber']")" = "${track[$title]}" ] || tv_fail "$title: track"
  duration=$(field "$didl" "$title" "*[local-name()='res'][1]/@duration")
  [[ $duration =~ ^[0-9]+:[0-9]{2}:[0-9]{2}\.[0-9]{3}$ ]] || tv_fail "$title: duration '$duration'"
  expected=$(probe "$media/Music/${file[$title]}" format=duration)
  near "$(seconds "$duration")" "$expected" || tv_fail "$title: duration $duration, ffprobe $expected"
  [ -n "$(field "$didl" "$title" "*[local-name()='res'][1]/@sampleFrequency")" ] || tv_fail "$title: sampleFrequency"
  [ -n "$(field "$didl" "$title" "*[local-name()='res'][1]/@nrAudioChannels")" ] || tv_fail "$title: nrAudioChannels"
  [ -n "$(field "$didl" "$title" "*[local-name()='res'][1]/@bitrate")" ] || tv_fail "$title: bitrate"
done
[ "$(field "$didl" "Tom & Jerry tag" "*[local-name()='date']")" = 2021-05-03 ] || tv_fail "dc:date"
info=$(field "$didl" "Tom & Jerry tag" "*[local-name()='res'][1]/@protocolInfo")
[[ $info == http-get:*:audio/mpeg:DLNA.ORG_PN=MP3\;* ]] || tv_fail "the mp3's protocolInfo: $info"
art=$(field "$didl" "Tom & Jerry tag" "*[local-name()='albumArtURI']")
[ "$(field "$didl" "Tom & Jerry tag" "*[local-name()='albumArtURI']/@*[local-name()='profileID']")" = JPEG_TN ] ||
  tv_fail "albumArtURI without its profileID"
small_jpeg "$art" "the mp3's art"
[ -z "$(field "$didl" "Flac Title" "*[local-name()='albumArtURI']")" ] || tv_fail "the flac has art"
url=$(field "$didl" "Tom & Jerry tag" "*[local-name()='res'][1]")
features=$(tv_player curl -sf -I "$url" | tr -d '\r' | sed -n 's/^contentFeatures.dlna.org: //Ip')
[ "$features" = "${info##*:}" ] || tv_fail "contentFeatures $features, listing ${info##*:}"
tv_note "tags, durations, profile and the embedded art of a song"

# Sorted by what is read from the files, a page cut from the sorted children.
titles() { xmllint --xpath "//*[local-name()='title']/text()" "$1" | tr '\n' '|'; }
tv_soap ContentDirectory GetSortCapabilities "" "$TV_WORK/caps.xml" >/dev/null
grep -q 'upnp:album,upnp:originalTrackNumber,upnp:artist' "$TV_WORK/caps.xml" || tv_fail "sort capabilities: $(cat "$TV_WORK/caps.xml")"
music_id=$(id_of "$media/Music")
tv_browse "$music_id" BrowseDirectChildren 0 0 "$TV_WORK/by-track.xml" '*' '+upnp:originalTrackNumber'
[ "$(titles "$TV_WORK/by-track.xml.didl")" = "M4a Title|Tom &amp; Jerry tag|Flac Title|" ] || tv_fail "by track: $(titles "$TV_WORK/by-track.xml.didl")"
tv_browse "$music_id" BrowseDirectChildren 0 0 "$TV_WORK/by-album.xml" '*' '-upnp:album,+dc:title'
[ "$(titles "$TV_WORK/by-album.xml.didl")" = "Tom &amp; Jerry tag|M4a Title|Flac Title|" ] || tv_fail "by album: $(titles "$TV_WORK/by-album.xml.didl")"
tv_browse "$music_id" BrowseDirectChildren 1 1 "$TV_WORK/page.xml" '*' '+upnp:artist'
[ "$(titles "$TV_WORK/page.xml.didl")|$TV_TOTAL" = "M4a Title||3" ] || tv_fail "a page by artist: $(titles "$TV_WORK/page.xml.didl") of $TV_TOTAL"
tv_note "sorted by track, album and artist"

# A folder's cover image is the art of the songs in it.
tv_browse "$(id_of "$media/Covered")" BrowseDirectChildren 0 0 "$TV_WORK/covered.xml"
art=$(field "$TV_WORK/covered.xml.didl" plain "*[local-name()='albumArtURI']")
[ -n "$art" ] || tv_fail "no art from Cover.JPG: $(cat "$TV_WORK/covered.xml.didl")"
small_jpeg "$art" "the folder's cover"
tv_note "a folder's cover image"

# Films: resolutions, durations, the subtitle.
tv_browse "$(id_of "$media/Films")" BrowseDirectChildren 0 0 "$TV_WORK/films.xml"
didl=$TV_WORK/films.xml.didl
grep -q 'xmlns:sec="http://www.sec.co.kr/"' "$didl" || tv_fail "no sec namespace"
for title in "Mp4 Title" film; do
  name=clip.mp4
  [ "$title" = film ] && name=film.mkv
  resolution=$(field "$didl" "$title" "*[local-name()='res'][1]/@resolution")
  expected=$(probe "$media/Films/$name" stream=width)x$(probe "$media/Films/$name" stream=height)
  [ "$resolution" = "$expected" ] || tv_fail "$title: resolution $resolution, ffprobe $expected"
  duration=$(field "$didl" "$title" "*[local-name()='res'][1]/@duration")
  near "$(seconds "$duration")" "$(probe "$media/Films/$name" format=duration)" || tv_fail "$title: duration $duration"
done
[ "$(xmllint --xpath 'count(/*/*)' "$didl")" = 2 ] || tv_fail "the subtitles are listed as items"
caption=$(field "$didl" film "*[local-name()='CaptionInfoEx']")
[ "$(field "$didl" film "*[local-name()='CaptionInfoEx']/@*[local-name()='type']")" = srt ] || tv_fail "sec:type"
[ "$(field "$didl" film "*[local-name()='res'][protocolInfo='http-get:*:text/srt:*' or @protocolInfo='http-get:*:text/srt:*']")" = "$caption" ] ||
  tv_fail "no text/srt res naming $caption"
tv_reachable "CaptionInfoEx" "$caption"
film=$(field "$didl" film "*[local-name()='res'][1]")
header=$(tv_player curl -sf -o /dev/null -D - -H 'getCaptionInfo.sec: 1' "$film" | tr -d '\r' |
  sed -n 's/^CaptionInfo.sec: //Ip')
[ "$header" = "$caption" ] || tv_fail "CaptionInfo.sec '$header', listed $caption"
tv_player curl -sf -o /dev/null -D - "$film" | grep -qi '^CaptionInfo.sec' && tv_fail "CaptionInfo.sec unasked"
media_sec=$(tv_player curl -sf -o /dev/null -D - -H 'getMediaInfo.sec: 1' "$film" | tr -d '\r' |
  sed -n 's/^MediaInfo.sec: SEC_Duration=\([0-9]*\);$/\1/Ip')
[ -n "$media_sec" ] && near "$(awk -v ms="$media_sec" 'BEGIN { print ms / 1000 }')" "$(probe "$media/Films/film.mkv" format=duration)" || tv_fail "MediaInfo.sec duration '$media_sec'"
tv_player curl -sf -D "$TV_WORK/srt.head" -o "$TV_WORK/got.srt" "$caption" || tv_fail "the subtitle does not answer"
cmp -s "$TV_WORK/got.srt" "$media/Films/film.srt" || tv_fail "the subtitle differs"
grep -qi '^Content-Type: text/srt' "$TV_WORK/srt.head" || tv_fail "the subtitle is not text/srt"
for name in alone.srt clip.srt; do
  code=$(tv_player curl -s -o /dev/null -w '%{http_code}' "${caption%film.srt}$name")
  [ "$code" = 404 ] || tv_fail "$name (no film, a link out) answered $code"
done
[ -z "$(field "$didl" "Mp4 Title" "*[local-name()='CaptionInfoEx']")" ] || tv_fail "a link out is named as subtitles"
tv_player curl -sf -o /dev/null -D - -H 'getCaptionInfo.sec: 1' "$(field "$didl" "Mp4 Title" "*[local-name()='res'][1]")" |
  grep -qi '^CaptionInfo.sec' && tv_fail "CaptionInfo.sec names a link out"
tv_note "resolutions, durations, the subtitle's res, URL, CaptionInfo.sec and MediaInfo.sec"

# Photos: the 4K photo is no JPEG_SM; its thumbnail. Confinement of the thumbnail URL.
tv_browse "$(id_of "$media/Photos")" BrowseDirectChildren 0 0 "$TV_WORK/photos.xml"
didl=$TV_WORK/photos.xml.didl
info=$(field "$didl" big "*[local-name()='res'][1]/@protocolInfo")
[[ $info == *DLNA.ORG_PN=JPEG_LRG* || $info != *DLNA.ORG_PN* ]] || tv_fail "the 4K photo: $info"
[ "$(field "$didl" big "*[local-name()='res'][1]/@resolution")" = 3840x2160 ] || tv_fail "the photo's resolution"
thumb=$(xmllint --xpath "string(//*[local-name()='res'][contains(@protocolInfo,'JPEG_TN')])" "$didl")
small_jpeg "$thumb" "the photo's thumbnail"
for name in out.jpg .hidden.jpg ../Music/tone.flac %00big.jpg; do
  code=$(tv_player curl -s --path-as-is -o /dev/null -w '%{http_code}' "${thumb%big.jpg}$name")
  [ "$code" = 404 ] || tv_fail "thumbnail of $name answered $code"
done
tv_note "the 4K photo ($info), its thumbnail; thumbnails confined"

# Damaged files: the server answers everything else while it reads them; all are listed.
helper_pids() { ps -eo pid=,ppid=,comm= | awk -v p="$TV_SERVER_PID" '$2 == p && $3 ~ /^tindravoller-me/ {print $1}'; }
tv_soap ContentDirectory Browse "<ObjectID>$(tv_xml_escape "$(id_of "$media/Damaged")")</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>" "$TV_WORK/damaged.xml" >"$TV_WORK/damaged.code" &
browse_pid=$!
for round in 1 2 3; do
  tv_player curl -sf -o /dev/null --max-time 1 "$TV_BASE/" || tv_fail "the description took over 1 s while damaged files were read"
  start=$(date +%s%N)
  tv_browse "$(id_of "$media/Photos")" BrowseDirectChildren 0 0 "$TV_WORK/again.xml"
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  [ "$took" -lt 1000 ] || tv_fail "a Browse took $took ms while damaged files were read"
done
wait "$browse_pid"
[ "$(cat "$TV_WORK/damaged.code")" = 200 ] || tv_fail "the damaged folder answered $(cat "$TV_WORK/damaged.code")"
xmllint --xpath 'string(//*[local-name()="Result"])' "$TV_WORK/damaged.xml" >"$TV_WORK/damaged.didl"
listed=$(xmllint --xpath 'count(/*/*)' "$TV_WORK/damaged.didl")
[ "$listed" = 5 ] || tv_fail "$listed damaged files listed, not 5 (the pipe left out)"
tv_note "damaged files listed, the server answering meanwhile"

helpers=$(helper_pids)
[ -n "$helpers" ] || tv_fail "no helper is running"
tv_stop
for pid in $helpers; do
  kill -0 "$pid" 2>/dev/null && tv_fail "helper $pid outlived the server"
done
tv_note "no helper outlives the server"

# A second run answers from the cache file, and the helper ends when idle.
[ -s "$XDG_CACHE_HOME/tindravoller/mediainfo.cache" ] || tv_fail "no cache file"
tv_start --media-info
tv_browse "$(id_of "$media/Music")" BrowseDirectChildren 0 0 "$TV_WORK/music2.xml"
[ "$(field "$TV_WORK/music2.xml.didl" "Flac Title" "*[local-name()='artist']")" = "Flac Artist" ] || tv_fail "the cache"
touch "$media/Music/tone.flac"
tv_browse "$(id_of "$media/Music")" BrowseDirectChildren 0 0 "$TV_WORK/music3.xml"
helpers=$(helper_pids)
[ -n "$helpers" ] || tv_fail "a changed file started no helper"
for i in $(seq 1 45); do [ -z "$(helper_pids)" ] && break; sleep 1; done
[ -z "$(helper_pids)" ] || tv_fail "the helper is still running after the idle time"
for pid in $helpers; do kill -0 "$pid" 2>/dev/null && tv_fail "helper $pid left behind"; done
tv_stop
tv_note "the cache file; the helper ends when idle"
