# Today's listing (--modern-listing) as a TV on the home network sees it: every kind of film, song and
# photo is listed with its class and MIME type and served with that type; hidden and system
# entries (and a pipe) are neither listed nor served; twelve tracks come in natural order,
# folders first; childCount equals what a Browse of the folder returns; the sort a client may
# ask for is offered and honoured; a file copied into a shared folder raises SystemUpdateID
# and reaches a subscriber on the player as an event within 3 s, naming its folder in
# ContainerUpdateIDs. The default listing is what the other scripts check, run without options;
# media information and Samsung's parts are media_info.sh's.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

media=$TV_WORK/media
mkdir -p "$media/Album" "$media/.hiddendir" "$media/@eaDir" "$media/.Trash-1000" "$media/lost+found"
declare -A mime class
for ext in mp4 m4v mkv webm mov avi wmv mpg mpeg vob ts m2ts mts; do class[$ext]=object.item.videoItem.movie; done
for ext in mp3 flac m4a aac ogg oga opus wav wma; do class[$ext]=object.item.audioItem.musicTrack; done
for ext in jpg jpeg png gif bmp webp; do class[$ext]=object.item.imageItem.photo; done
mime=([mp4]=video/mp4 [m4v]=video/mp4 [mkv]=video/x-matroska [webm]=video/webm [mov]=video/quicktime
  [avi]=video/x-msvideo [wmv]=video/x-ms-wmv [mpg]=video/mpeg [mpeg]=video/mpeg [vob]=video/mpeg
  [ts]=video/mp2t [m2ts]=video/mp2t [mts]=video/mp2t [mp3]=audio/mpeg [flac]=audio/x-flac
  [m4a]=audio/mp4 [aac]=audio/aac [ogg]=audio/ogg [oga]=audio/ogg [opus]=audio/ogg [wav]=audio/wav
  [wma]=audio/x-ms-wma [jpg]=image/jpeg [jpeg]=image/jpeg [png]=image/png [gif]=image/gif
  [bmp]=image/bmp [webp]=image/webp)
for ext in "${!class[@]}"; do head -c 1000 /dev/urandom >"$media/kind.${ext^^}"; done
hidden=(.hidden.mp3 ._kind.mp4 .hiddendir/h.mp3 @eaDir/e.mp3 .Trash-1000/t.mp3 lost+found/l.mp3 notes.txt)
for name in "${hidden[@]}"; do head -c 100 /dev/urandom >"$media/$name"; done
mkfifo "$media/pipe.mp3"
for n in 7 12 1 10 3 11 5 2 9 4 8 6; do head -c 200 /dev/urandom >"$media/Album/track $n.mp3"; done
head -c 300 /dev/urandom >"$media/#hash?query=1.mp3"
tv_share "$media"
tv_start --modern-listing
base=$TV_BASE
TV_EXPECT_UPDATE_ID=any
folder_id="0\\$(tv_escape_folder "$media")\\"
folder_url="$base/content/$(tv_escape_folder "$media" | sed 's/%/%25/g')"

# The children, with their title, class, MIME type, childCount and first res URL.
listing() {  # ID OUT [SORT]: one line per object, fields separated by tabs
  tv_browse "$1" BrowseDirectChildren 0 0 "$2.xml" '*' "${3:-}"
  local didl=$2.xml.didl n i
  n=$(xmllint --xpath 'count(/*/*)' "$didl")
  : >"$2"
  for ((i = 1; i <= n; i++)); do
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' \
      "$(xmllint --xpath "string(/*/*[$i]/*[local-name()='title'])" "$didl")" \
      "$(xmllint --xpath "string(/*/*[$i]/*[local-name()='class'])" "$didl")" \
      "$(xmllint --xpath "string(/*/*[$i]/*[local-name()='res'][1]/@protocolInfo)" "$didl")" \
      "$(xmllint --xpath "string(/*/*[$i]/@childCount)" "$didl")" \
      "$(xmllint --xpath "string(/*/*[$i]/*[local-name()='res'][1])" "$didl")" \
      "$(xmllint --xpath "string(/*/*[$i]/@id)" "$didl")" >>"$2"
  done
  grep -q 'restricted="0"\|createClass' "$didl" && tv_fail "Browse $1 offers uploads: $(grep -m1 -o 'restricted="0"\|createClass' "$didl")"
  return 0
}

listing "$folder_id" "$TV_WORK/media.list"
for ext in "${!class[@]}"; do
  title="kind.${ext^^}"
  line=$(awk -F'\t' -v t="$title" '$1 == t' "$TV_WORK/media.list")
  [ -n "$line" ] || tv_fail "$title is not listed"
  got_class=$(cut -f2 <<<"$line") info=$(cut -f3 <<<"$line") url=$(cut -f5 <<<"$line")
  [ "$got_class" = "${class[$ext]}" ] || tv_fail "$title is $got_class, not ${class[$ext]}"
  [ "$info" = "http-get:*:${mime[$ext]}:DLNA.ORG_OP=01;DLNA.ORG_FLAGS=$( [ "${class[$ext]}" = object.item.imageItem.photo ] && echo 00F || echo 017)00000000000000000000000000000" ] ||
    tv_fail "$title has protocolInfo $info"
  type=$(tv_player curl -s -o /dev/null -w '%{content_type}' -H 'Connection: close' "$url")
  [ "$type" = "${mime[$ext]}" ] || tv_fail "$title is served as $type"
done
tv_note "${#class[@]} kinds listed with their class, MIME type and protocolInfo, and served as listed"

for name in "${hidden[@]}" pipe.mp3; do
  grep -q "^$(basename "$name")"$'\t' "$TV_WORK/media.list" && tv_fail "$name is listed"
  code=$(tv_player curl -s -o /dev/null -w '%{http_code}' --max-time 5 -H 'Connection: close' "$folder_url/$name")
  [ "$code" = 404 ] || tv_fail "$name is served ($code)"
done
for dir in .hiddendir @eaDir .Trash-1000 lost+found; do
  grep -q "^$dir"$'\t' "$TV_WORK/media.list" && tv_fail "$dir is listed"
done
tv_note "hidden and system entries and a pipe are neither listed nor served"

# Folders first, then items, each in natural order; the name with "#" and "?" is served by its
# URL, whose "?" is escaped.
first=$(head -1 "$TV_WORK/media.list" | cut -f1)
[ "$first" = Album ] || tv_fail "the first child is $first, not the folder"
cut -f1 "$TV_WORK/media.list" | sed 1d | LC_ALL=C sort -c -f 2>/dev/null || tv_fail "the items are not in order: $(cut -f1 "$TV_WORK/media.list" | tr '\n' ' ')"
hash_url=$(awk -F'\t' '$1 == "#hash?query=1.mp3" {print $5}' "$TV_WORK/media.list")
[[ $hash_url == *%23hash%3Fquery=1.mp3 ]] || tv_fail "the res URL of #hash?query=1.mp3 is $hash_url"
tv_player curl -sf -o "$TV_WORK/hash.mp3" -H 'Connection: close' "$hash_url" && cmp -s "$TV_WORK/hash.mp3" "$media/#hash?query=1.mp3" ||
  tv_fail "#hash?query=1.mp3 is not served by its URL"
album_id=$(awk -F'\t' '$1 == "Album" {print $6}' "$TV_WORK/media.list")
album_count=$(awk -F'\t' '$1 == "Album" {print $4}' "$TV_WORK/media.list")
listing "$album_id" "$TV_WORK/album.list"
expected=$(for n in $(seq 1 12); do echo "track $n.mp3"; done)
[ "$(cut -f1 "$TV_WORK/album.list")" = "$expected" ] || tv_fail "the tracks come as $(cut -f1 "$TV_WORK/album.list" | tr '\n' ',')"
[ "$album_count" = "$TV_RETURNED" ] && [ "$album_count" = 12 ] || tv_fail "Album says childCount $album_count, its Browse returns $TV_RETURNED"
tv_browse 0 BrowseMetadata 0 0 "$TV_WORK/root.xml"
root_count=$(xmllint --xpath 'string(/*/*[1]/@childCount)' "$TV_WORK/root.xml.didl")
tv_browse 0 BrowseDirectChildren 0 0 "$TV_WORK/rootchildren.xml"
[ "$root_count" = "$TV_RETURNED" ] && [ "$root_count" = 1 ] || tv_fail "the root says childCount $root_count and lists $TV_RETURNED"
media_count=$(xmllint --xpath 'string(/*/*[1]/@childCount)' "$TV_WORK/rootchildren.xml.didl")
[ "$media_count" = "$(wc -l <"$TV_WORK/media.list")" ] || tv_fail "the shared folder says childCount $media_count and lists $(wc -l <"$TV_WORK/media.list")"
tv_note "twelve tracks in natural order, folders first; childCount is what a Browse returns"

tv_soap ContentDirectory GetSortCapabilities '' "$TV_WORK/sort.xml" >/dev/null
[ "$(xmllint --xpath 'string(//*[local-name()="SortCaps"])' "$TV_WORK/sort.xml")" = dc:title,dc:date,upnp:class ] ||
  tv_fail "SortCapabilities: $(cat "$TV_WORK/sort.xml")"
listing "$album_id" "$TV_WORK/reverse.list" -dc:title
[ "$(cut -f1 "$TV_WORK/reverse.list")" = "$(tac <<<"$expected")" ] || tv_fail "-dc:title gave $(cut -f1 "$TV_WORK/reverse.list" | tr '\n' ',')"
code=$(tv_soap ContentDirectory Browse "<ObjectID>$(tv_xml_escape "$album_id")</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria>+upnp:artist</SortCriteria>" "$TV_WORK/bad.xml")
[ "$code" = 500 ] && grep -q '<errorCode>709</errorCode>' "$TV_WORK/bad.xml" || tv_fail "an unknown sort property: $code $(cat "$TV_WORK/bad.xml")"
tv_soap ConnectionManager GetProtocolInfo '' "$TV_WORK/protocols.xml" >/dev/null
source_list=$(xmllint --xpath 'string(//*[local-name()="Source"])' "$TV_WORK/protocols.xml")
for ext in "${!mime[@]}"; do
  [[ ,$source_list, == *",http-get:*:${mime[$ext]}:*,"* ]] || tv_fail "the Source list lacks ${mime[$ext]}: $source_list"
done
tv_note "SortCapabilities offered and honoured, 709 for others; the Source list holds every listed type"

# Events: a subscriber on the player hears of a file copied into the shared folder.
mkdir -p "$TV_WORK/events"
tv_player python3 "$TV_E2E/event_listener.py" "$TV_WORK/events" "$TV_PLAYER_ADDRESS" >"$TV_WORK/listener.port" 2>"$TV_WORK/listener.log" &
tv_track $!
for i in $(seq 1 50); do [ -s "$TV_WORK/listener.port" ] && break; sleep 0.1; done
listener=$(cat "$TV_WORK/listener.port")
[ -n "$listener" ] || tv_fail "the event listener did not start"
status=$(tv_player curl -s -D - -o /dev/null -X SUBSCRIBE -H "CALLBACK: <http://$TV_PLAYER_ADDRESS:$listener/cds>" \
  -H "NT: upnp:event" -H "TIMEOUT: Second-300" "$base/ContentDirectory/event" | head -1 | tr -d '\r')
[ "$status" = "HTTP/1.1 200 OK" ] || tv_fail "SUBSCRIBE: $status"
for i in $(seq 1 50); do [ -f "$TV_WORK/events/000.event" ] && break; sleep 0.1; done
[ -f "$TV_WORK/events/000.event" ] || tv_fail "no initial event"
event_value() {  # FILE NAME
  sed '1,/^$/d' "$1" | xmllint --xpath "string(//*[local-name()='$2'])" -
}
before=$(event_value "$TV_WORK/events/000.event" SystemUpdateID)
tv_soap ContentDirectory GetSystemUpdateID '' "$TV_WORK/id.xml" >/dev/null
[ "$(xmllint --xpath 'string(//*[local-name()="Id"])' "$TV_WORK/id.xml")" = "$before" ] || tv_fail "the event and GetSystemUpdateID differ"
[ "$TV_UPDATE_ID" = "$before" ] || tv_fail "Browse's UpdateID $TV_UPDATE_ID is not the SystemUpdateID $before"
head -c 5000 /dev/urandom >"$TV_WORK/new film.mkv"
copied=$(date +%s.%N)
cp "$TV_WORK/new film.mkv" "$media/"
for i in $(seq 1 60); do [ -f "$TV_WORK/events/001.event" ] && break; sleep 0.05; done
[ -f "$TV_WORK/events/001.event" ] || tv_fail "no event within 3 s of the copy"
received=$(awk '/^RECEIVED: /{print $2}' "$TV_WORK/events/001.event")
awk -v a="$copied" -v b="$received" 'BEGIN {exit !(b - a <= 3.0)}' || tv_fail "the event came $(awk -v a="$copied" -v b="$received" 'BEGIN {print b - a}') s after the copy"
after=$(event_value "$TV_WORK/events/001.event" SystemUpdateID)
[ "$after" -gt "$before" ] || tv_fail "SystemUpdateID went from $before to $after"
containers=$(event_value "$TV_WORK/events/001.event" ContainerUpdateIDs)
csv_id=$(sed -e 's/\\/\\\\/g' -e 's/,/\\,/g' <<<"$folder_id")
[[ $containers == *"$csv_id,"[0-9]* ]] || tv_fail "ContainerUpdateIDs '$containers' does not name $csv_id"
listing "$folder_id" "$TV_WORK/media2.list"
grep -q $'^new film.mkv\t' "$TV_WORK/media2.list" || tv_fail "the copied file is not listed"
[ "$TV_UPDATE_ID" -ge "$after" ] || tv_fail "Browse's UpdateID $TV_UPDATE_ID is behind the event's $after"
tv_note "a copied file raised SystemUpdateID $before -> $after and was evented within 3 s ($containers)"

tv_stop
echo PASS
