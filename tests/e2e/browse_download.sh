# Browse and download from a player host: walks the whole shared tree page by page, checks
# every DIDL-Lite page, compares the published items with the files on disk, downloads every
# resource and compares it byte for byte with the original, whole and by ranges, and tries
# paths that lead outside the shared folders. Every res URL a player gets names the server's
# address on its own LAN, also with ALLIP; a client on the server's host gets them all.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

media=$TV_WORK/media
media2=$TV_WORK/other
mkdir -p "$media/sub dir/deeper" "$media/empty" "$media2"
head -c 70000 /dev/urandom >"$media/a.mp3"
head -c 1234 /dev/urandom >"$media/b c&d #1 50%.JPG"
head -c 4099 /dev/urandom >"$media/café ünï.mp3"
head -c 333 /dev/urandom >"$media/back\\slash.png"
head -c 10 /dev/urandom >"$media/c.jpeg"   # not published
printf 'text' >"$media/d.txt"                # not published
head -c 77 /dev/urandom >"$media/e.mp3.tmp" # partial: listed without a URL
head -c 300000 /dev/urandom >"$media/sub dir/v.avi"
head -c 1 /dev/urandom >"$media/sub dir/one.wav"
: >"$media/sub dir/deeper/zero.gif"
head -c 5000 /dev/urandom >"$media/sub dir/deeper/w.wmv"
head -c 65536 /dev/urandom >"$media2/f.mpg"
# Beyond 4 GiB: listed with its true size, range-read at the far end.
truncate -s 5G "$media2/big.mp4"
printf 'tail of the big file' | dd of="$media2/big.mp4" bs=1 seek=$((5 * 1024 * 1024 * 1024 - 20)) conv=notrunc status=none
tv_share "$media" "$media2"
tv_start
base=$TV_BASE

# ObjectID -> real path: drop "0\", split at "\", undo %2F %3A %5C in each component.
real_path() {
  local rest=${1#0\\}
  rest=${rest%\\}
  local IFS='\'
  local parts out="" part
  read -r -a parts <<<"$rest"
  for part in "${parts[@]}"; do
    part=$(sed -e 's,%2F,/,g' -e 's/%3A/:/g' -e 's/%5C/\\/g' <<<"$part")
    if [ -z "$out" ]; then out=$part; else out=$out/$part; fi
  done
  printf '%s\n' "$out"
}

# Walk: every container listed page by page (3 per page), breadth first.
page=3
queue=("0")
: >"$TV_WORK/items"
containers=0
while [ ${#queue[@]} -gt 0 ]; do
  id=${queue[0]}
  queue=("${queue[@]:1}")
  containers=$((containers + 1))
  start=0
  total=-1
  : >"$TV_WORK/children"
  while :; do
    tv_browse "$id" BrowseDirectChildren "$start" "$page" "$TV_WORK/page.xml"
    if [ "$total" = -1 ]; then total=$TV_TOTAL; fi
    [ "$TV_TOTAL" = "$total" ] || tv_fail "TotalMatches of $id changed from $total to $TV_TOTAL"
    expect=$((total - start)); [ $expect -gt $page ] && expect=$page; [ $expect -lt 0 ] && expect=0
    [ "$TV_RETURNED" = "$expect" ] || tv_fail "$id at $start: NumberReturned $TV_RETURNED, expected $expect"
    tv_objects "$TV_WORK/page.xml.didl" >>"$TV_WORK/children"
    start=$((start + page))
    [ "$start" -lt "$total" ] || break
  done
  [ "$(wc -l <"$TV_WORK/children")" = "$total" ] || tv_fail "$id: pages hold $(wc -l <"$TV_WORK/children") of $total"
  # The pages together equal the whole list in one answer.
  tv_browse "$id" BrowseDirectChildren 0 0 "$TV_WORK/whole.xml"
  tv_objects "$TV_WORK/whole.xml.didl" | cmp -s - "$TV_WORK/children" || tv_fail "$id: pages differ from the whole list"
  while IFS=$'\t' read -r kind child url; do
    if [ "$kind" = container ]; then
      queue+=("$child")
    else
      printf '%s\t%s\n' "$child" "$url" >>"$TV_WORK/items"
    fi
  done <"$TV_WORK/children"
done
[ "$containers" = 6 ] || tv_fail "walked $containers containers, expected 6"
tv_note "walked $containers containers and $(wc -l <"$TV_WORK/items") items page by page"

# The listed items are exactly the published files (the partial one under its name without
# ".tmp").
while IFS=$'\t' read -r id url; do real_path "$id"; done <"$TV_WORK/items" | sort >"$TV_WORK/listed"
{
  find "$media" "$media2" -type f \( -iname '*.mp3' -o -iname '*.jpg' -o -iname '*.png' \
    -o -iname '*.avi' -o -iname '*.wav' -o -iname '*.gif' -o -iname '*.wmv' -o -iname '*.mpg' \
    -o -iname '*.mp4' \)
  echo "$media/e.mp3"
} | sort >"$TV_WORK/expected"
diff "$TV_WORK/expected" "$TV_WORK/listed" >&2 || tv_fail "listed items differ from the published files"
tv_note "listed items match the published files"

# Every resource, whole and by ranges. HEAD over HTTP/1.0 shows Content-Length (1.1 is chunked).
check_range() {  # url file first last(or empty) suffix-length(or empty)
  local url=$1 file=$2 first=$3 last=$4 suffix=$5 spec want_start want_len size
  size=$(stat -c %s "$file")
  if [ -n "$suffix" ]; then
    spec=-$suffix; want_start=$((size - suffix)); want_len=$suffix
  elif [ -n "$last" ]; then
    spec=$first-$last; want_start=$first; want_len=$((last - first + 1))
  else
    spec=$first-; want_start=$first; want_len=$((size - first))
  fi
  local code
  code=$(tv_player curl -s -o "$TV_WORK/part" -D "$TV_WORK/headers" -w '%{http_code}' -r "$spec" "$url")
  [ "$code" = 206 ] || tv_fail "range $spec of $file answered $code"
  grep -qi "^Content-Range: bytes $want_start-$((want_start + want_len - 1))/$size" "$TV_WORK/headers" ||
    tv_fail "range $spec of $file: $(grep -i content-range "$TV_WORK/headers")"
  dd if="$file" iflag=skip_bytes,count_bytes skip="$want_start" count="$want_len" bs=1M status=none |
    cmp -s - "$TV_WORK/part" ||
    tv_fail "range $spec of $file differs from the file"
}

downloads=0
while IFS=$'\t' read -r id url; do
  file=$(real_path "$id")
  if [ "$file" = "$media/e.mp3" ]; then
    [ -z "$url" ] || tv_fail "the partial file has a URL: $url"
    continue
  fi
  [[ $url == "$base/content/"* ]] || tv_fail "URL of $id: $url"
  size=$(stat -c %s "$file")
  head_size=$(tv_player curl -sI -0 "$url" | tr -d '\r' | awk -F': ' 'tolower($1)=="content-length"{print $2}')
  [ "$head_size" = "$size" ] || tv_fail "HEAD of $file gave Content-Length '$head_size', file has $size"
  if [ "$size" -gt $((1024 * 1024 * 1024)) ]; then
    check_range "$url" "$file" "" "" 20
    check_range "$url" "$file" $((size - 100)) $((size - 1)) ""
    check_range "$url" "$file" $((4 * 1024 * 1024 * 1024 + 5)) $((4 * 1024 * 1024 * 1024 + 4100)) ""
    continue
  fi
  code=$(tv_player curl -s -o "$TV_WORK/whole" -w '%{http_code}' "$url")
  [ "$code" = 200 ] || tv_fail "GET $file answered $code"
  cmp -s "$TV_WORK/whole" "$file" || tv_fail "download of $file differs from the file"
  downloads=$((downloads + 1))
  if [ "$size" -gt 0 ]; then
    check_range "$url" "$file" 0 0 ""
    check_range "$url" "$file" $((size / 3)) "" ""
    check_range "$url" "$file" "" "" $(( (size + 1) / 2 ))
    [ "$size" -gt 20000 ] && check_range "$url" "$file" 16380 20000 ""
  fi
done <"$TV_WORK/items"
tv_note "downloaded $downloads files whole and by ranges"

# ALLIP: one res per address the requester can reach, the one it asked on first.
a_id="0\\$(tv_escape_folder "$media")\\a.mp3"
a_path=$(ID=$a_id awk -F'\t' '$1 == ENVIRON["ID"] {sub(/^http:\/\/[^\/]*/, "", $2); print $2}' "$TV_WORK/items")
[ -n "$a_path" ] || tv_fail "no URL for a.mp3"
for player in 1 2 0; do
  tv_use_player $player
  tv_browse "$a_id" BrowseMetadata 0 0 "$TV_WORK/allip.xml" "*,ALLIP"
  mapfile -t urls < <(tv_res_urls "$TV_WORK/allip.xml.didl")
  [ "${urls[0]:-}" = "$TV_BASE$a_path" ] || tv_fail "ALLIP from $TV_PLAYER_ADDRESS: first res ${urls[0]:-none}"
  if [ $player != 0 ]; then
    [ ${#urls[@]} = 1 ] || tv_fail "ALLIP from $TV_PLAYER_ADDRESS: ${urls[*]}"
    tv_player curl -sf "${urls[0]}" | cmp -s - "$media/a.mp3" || tv_fail "a.mp3 from $TV_PLAYER_ADDRESS"
  else
    every=$(printf '%s\n' "${urls[@]}" | sed -E 's,^http://([^:]*):.*,\1,' | sort | tr '\n' ' ')
    [ "$every" = "10.7.7.1 10.8.8.1 10.9.9.1 127.0.0.1 " ] || tv_fail "ALLIP on the server host: ${urls[*]}"
  fi
done
tv_use_player 1
tv_note "ALLIP: each player gets the address on its own LAN only, the server's host every one"

# Paths outside the shared folders, folders, and unknown files are not served.
escaped_media=$(tv_escape_folder "$media" | sed 's/%/%25/g')
for path in "/content/%252Fetc/passwd" "/content/$escaped_media/..%252F..%252Fetc/passwd" \
    "/content/$escaped_media/../../../etc/passwd" "/content/$escaped_media/sub%20dir" \
    "/content/$escaped_media/nothing.mp3" "/content/%252Fetc%252Fpasswd"; do
  # The refusal texts carry no Content-Length; without "Connection: close" the client would
  # wait for the connection's idle time-out to see their end.
  code=$(tv_player curl -s -H 'Connection: close' --path-as-is -o /dev/null -w '%{http_code}' "$base$path")
  [ "$code" = 404 ] || tv_fail "$path answered $code"
done
# The 400 to a POST ends its connection, so the client sees its end at once.
code=$(tv_player curl -s --max-time 2 -o "$TV_WORK/post" -w '%{http_code}' --data x "$base/content/x")
[ "$code" = 400 ] || tv_fail "POST under content answered $code"
tv_note "refusals"

# Browse answers for a few special requests.
tv_browse 0 BrowseMetadata 0 0 "$TV_WORK/root.xml"
[ "$TV_TOTAL" = 1 ] && grep -q 'id="0" parentID="-1"' "$TV_WORK/root.xml.didl" ||
  tv_fail "BrowseMetadata of the root: $(cat "$TV_WORK/root.xml.didl")"
media_id="0\\$(tv_escape_folder "$media")\\"
tv_browse "$media_id" BrowseDirectChildren 100 5 "$TV_WORK/beyond.xml"
[ "$TV_RETURNED" = 0 ] && [ "$TV_TOTAL" -gt 0 ] || tv_fail "a start beyond the end: $TV_RETURNED/$TV_TOTAL"
tv_browse "${media_id}café ünï.mp3" BrowseMetadata 0 0 "$TV_WORK/accented.xml"
title=$(xmllint --xpath 'string(//*[local-name()="title"])' "$TV_WORK/accented.xml.didl")
[ "$title" = "café ünï.mp3" ] || tv_fail "title of the accented file: $title"
code=$(tv_soap ContentDirectory Browse "<ObjectID>$(tv_xml_escape "${media_id}none")</ObjectID><BrowseFlag>BrowseMetadata</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>" "$TV_WORK/e701.xml")
[ "$code" = 500 ] && grep -q '<errorCode>701</errorCode>' "$TV_WORK/e701.xml" || tv_fail "missing object answered $code"
code=$(tv_soap ContentDirectory Browse "<ObjectID>$(tv_xml_escape "${media_id}a.mp3")</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>" "$TV_WORK/e710.xml")
[ "$code" = 500 ] && grep -q '<errorCode>710</errorCode>' "$TV_WORK/e710.xml" || tv_fail "children of a file answered $code"
tv_note "metadata, empty page, accented title, 701 and 710"

tv_stop
echo PASS
