#!/usr/bin/env bash
# Measures the real program from outside: Browse latency and a full paged listing of a folder of
# 10,000 files, single- and four-stream download rates of a 1 GiB file, and the server's memory
# at idle and under that load. Builds a Release program in build/bench and runs everything in a
# private network namespace (scripts/netns.sh). Not part of the tests: figures only.
#   bash scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV_WINDOW=OFF -DTV_TESTS=OFF >/dev/null
  log=$(mktemp)
  cmake --build build/bench -j2 --target tindravoller >"$log" 2>&1 || { cat "$log"; rm -f "$log"; exit 1; }
  rm -f "$log"
  exec bash scripts/netns.sh bash scripts/bench.sh --inside "$PWD/build/bench/tindravoller"
fi

program=$2
work=$(mktemp -d /tmp/tv-bench.XXXXXX)
server=
cleanup() {
  if [ -n "$server" ]; then kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

files=10000
echo "corpus: $files files in one folder, a sparse 1 GiB file"
mkdir -p "$work/many" "$work/big"
(cd "$work/many" && seq -f 'track %05g.mp3' 1 $files | xargs -d '\n' touch)
truncate -s 1G "$work/big/film.mp4"
settings=$work/settings.dat
"$program" --settings "$settings" --share "$work/many" --share "$work/big" >/dev/null

"$program" --headless --settings "$settings" >"$work/log" 2>&1 &
server=$!
port=
for _ in $(seq 1 100); do
  port=$({ ss -ltnpH 2>/dev/null || true; } | awk -v pid="pid=$server," 'index($0, pid) {sub(/.*:/, "", $4); print $4; exit}')
  [ -n "$port" ] && curl -sf -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start" >&2; exit 1; }
base=http://127.0.0.1:$port

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$server/status"; }

escape_id() { sed -e 's/\\/%5C/g' -e 's/:/%3A/g' -e 's,/,%2F,g' <<<"$1"; }
many_id="0\\$(escape_id "$work/many")\\"
browse() {  # start count -> seconds
  local body="<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>$many_id</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>$1</StartingIndex><RequestedCount>$2</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>"
  curl -s -o "$work/page.xml" -w '%{time_total}\n' \
    -H 'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"' \
    -H 'Content-Type: text/xml; charset="utf-8"' --data-binary "$body" "$base/ContentDirectory/control"
}
median_ms() { sort -g | awk '{v[NR] = $1} END {printf "%.1f ms", v[int((NR + 1) / 2)] * 1000}'; }

browse 0 1 >/dev/null  # warm the directory cache
echo "idle RSS: $(rss) KiB"
for start in 0 5000; do
  result=$(for _ in $(seq 1 15); do browse "$start" 100; done | median_ms)
  grep -q '<NumberReturned>100</NumberReturned>' "$work/page.xml" || { echo "short page" >&2; exit 1; }
  echo "Browse, page of 100 at index $start of $files: median $result (15 runs)"
done

t0=$(date +%s.%N)
listed=0
for ((start = 0; start < files; start += 100)); do
  browse "$start" 100 >/dev/null
  n=$(grep -o '<NumberReturned>[0-9]*' "$work/page.xml" | grep -o '[0-9]*$')
  listed=$((listed + n))
done
t1=$(date +%s.%N)
[ "$listed" = "$files" ] || { echo "listed $listed of $files" >&2; exit 1; }
echo "full listing by pages of 100 ($((files / 100)) requests): $(echo "$t1 - $t0" | bc -l | xargs printf '%.2f') s"

url="$base/content/$(escape_id "$work/big" | sed 's/%/%25/g')/film.mp4"
# Highest RSS while any of the given processes runs.
sample_rss() {
  local peak=0 r alive
  while :; do
    alive=0
    for p in "$@"; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ $alive = 1 ] || break
    r=$(rss)
    [ "$r" -gt "$peak" ] && peak=$r
    sleep 0.05
  done
  echo "$peak"
}

curl -s -o /dev/null -w '%{speed_download}' "$url" >"$work/rate" &
pid=$!
single_peak=$(sample_rss $pid)
wait $pid
echo "single stream, 1 GiB: $(echo "$(cat "$work/rate") / 1048576" | bc -l | xargs printf '%.0f') MiB/s (RSS peak $single_peak KiB)"

t0=$(date +%s.%N)
pids=()
for _ in 1 2 3 4; do curl -s -o /dev/null "$url" & pids+=($!); done
four_peak=$(sample_rss "${pids[@]}")
wait "${pids[@]}"
t1=$(date +%s.%N)
echo "four streams, 4 x 1 GiB: $(echo "4096 / ($t1 - $t0)" | bc -l | xargs printf '%.0f') MiB/s in total (RSS peak $four_peak KiB)"
echo "RSS after the load: $(rss) KiB"
