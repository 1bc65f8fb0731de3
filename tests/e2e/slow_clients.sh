# Keep-alive pollers that hold the five connection slots cannot keep another client out.
# Slow readers: four clients hold four of the five connection slots with streams they read a few
# bytes a second. The fifth slot must keep answering Browse at once, the server's memory must not
# grow while the streams are stuck behind the readers, and a SIGTERM ends it cleanly with the
# streams still open. What the readers got must be the start of their files.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

media=$TV_WORK/media
mkdir -p "$media"
for i in 1 2 3 4; do head -c $((6 * 1024 * 1024)) /dev/urandom >"$media/slow$i.mpg"; done
tv_share "$media"
tv_start
folder="0\\$(tv_escape_folder "$media")\\"
tv_browse "$folder" BrowseDirectChildren 0 0 "$TV_WORK/list.xml"
[ "$TV_TOTAL" = 4 ] || tv_fail "the folder lists $TV_TOTAL items"

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$TV_SERVER_PID/status"; }

# Pollers: five keep-alive connections from player 1 that each ask for the description every
# 2 s, so none is ever idle for the 3 s time-out, hold the five slots. A sixth client on the
# same LAN must still be answered within 5 s, try after try: a connection that waits for its
# next request gives its slot to a client that waits. A poller cut off connects again.
poller='
import http.client, sys, time
host, port, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
answers = cuts = 0
c = http.client.HTTPConnection(host, port, timeout=30)
while True:
    try:
        c.request("GET", "/")
        r = c.getresponse()
        r.read()
        answers += r.status == 200
    except (OSError, http.client.HTTPException):
        cuts += 1
        c.close()
        c = http.client.HTTPConnection(host, port, timeout=30)
        time.sleep(0.1)
        continue
    with open(out, "w") as f:
        f.write("%d %d\n" % (answers, cuts))
    time.sleep(2)
'
pollers=()
for i in 1 2 3 4 5; do
  nsenter -t "$TV_PLAYER_PID" -n python3 -c "$poller" "$TV_HOST" "$TV_PORT" "$TV_WORK/poller$i" &
  pollers+=($!)
  tv_track $!
done
held=0
for _ in $(seq 1 100); do
  held=$({ cat "$TV_WORK"/poller? 2>/dev/null || true; } | wc -l)
  [ "$held" = 5 ] && break
  sleep 0.1
done
[ "$held" = 5 ] || tv_fail "only $held of five pollers were answered"
tries=0
slowest=0
end=$((SECONDS + 15))
while [ $SECONDS -lt $end ]; do
  t=$(tv_player curl -s -o /dev/null -w '%{http_code} %{time_total}' --max-time 5 "$TV_BASE/") || true
  [ "${t%% *}" = 200 ] || tv_fail "try $tries beside five pollers answered '$t'"
  slowest=$(awk -v a="$slowest" -v b="${t#* }" 'BEGIN {print (b > a ? b : a)}')
  tries=$((tries + 1))
  sleep 1
done
for i in 1 2 3 4 5; do
  kill -0 "${pollers[$((i - 1))]}" 2>/dev/null || tv_fail "poller $i ended"
done
tv_note "beside five keep-alive pollers a sixth client was answered $tries times of $tries, slowest $slowest s; pollers (answers cuts): $(cat "$TV_WORK"/poller? | paste -sd ,)"
for pid in "${pollers[@]}"; do kill "$pid"; wait "$pid" 2>/dev/null || true; done
for _ in $(seq 1 100); do
  [ "$({ ss -tnH state established "( sport = :$TV_PORT )" 2>/dev/null || true; } | wc -l)" = 0 ] && break
  sleep 0.1
done

# A reader with a tiny receive window that takes 8 bytes every quarter second and keeps them in
# OUT; after SIGUSR1 it reads at full speed to the end of the connection. HTTP/1.0, so the body
# comes unframed and can be compared with the file.
reader='
import signal, socket, sys, time
pause = [0.25]
signal.signal(signal.SIGUSR1, lambda *_: pause.__setitem__(0, 0))
port, path, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
s.connect(("127.0.0.1", port))
s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
with open(out, "wb", buffering=0) as f:
    while True:
        data = s.recv(8 if pause[0] else 65536)
        if not data:
            break
        f.write(data)
        time.sleep(pause[0])
'
readers=()
for i in 1 2 3 4; do
  url=$(tv_objects "$TV_WORK/list.xml.didl" | awk -F'\t' -v n="slow$i.mpg" '$1 == "item" && $3 ~ n "$" {print $3}')
  [ -n "$url" ] || tv_fail "no URL for slow$i.mpg"
  python3 -c "$reader" "$TV_PORT" "/${url#http://*/}" "$TV_WORK/got$i" &
  readers+=($!)
  tv_track $!
done

# Wait until the four streams are stuck: each connection has bytes queued in the server's socket.
stuck=0
for _ in $(seq 1 100); do
  stuck=$({ ss -tnH state established "( sport = :$TV_PORT )" 2>/dev/null || true; } | awk '$2 > 0' | wc -l)
  [ "$stuck" -ge 4 ] && break
  sleep 0.1
done
[ "$stuck" -ge 4 ] || tv_fail "only $stuck streams are held back by their readers"
rss_start=$(rss)
tv_note "four streams stuck behind slow readers, server RSS $rss_start KiB"

# The fifth slot: Browse after Browse, each answered within 2 s, for about 8 s.
browses=0
slowest=0
rss_peak=$rss_start
end=$((SECONDS + 8))
while [ $SECONDS -lt $end ]; do
  t=$(curl -s -o "$TV_WORK/b.xml" -w '%{http_code} %{time_total}' --max-time 5 \
    -H 'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"' \
    -H 'Content-Type: text/xml; charset="utf-8"' \
    --data-binary "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>$(tv_xml_escape "$folder")</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>" \
    "http://127.0.0.1:$TV_PORT/ContentDirectory/control") || true
  code=${t%% *}
  secs=${t#* }
  [ "$code" = 200 ] || tv_fail "Browse $browses beside the slow streams answered '$t'"
  grep -q '<TotalMatches>4</TotalMatches>' "$TV_WORK/b.xml" || tv_fail "Browse $browses: $(head -c 300 "$TV_WORK/b.xml")"
  awk -v s="$secs" 'BEGIN {exit !(s < 2.0)}' || tv_fail "Browse $browses took $secs s beside the slow streams"
  slowest=$(awk -v a="$slowest" -v b="$secs" 'BEGIN {print (b > a ? b : a)}')
  browses=$((browses + 1))
  r=$(rss)
  [ "$r" -gt "$rss_peak" ] && rss_peak=$r
  sleep 0.1
done
rss_end=$(rss)
tv_note "$browses Browse answers beside the slow streams, slowest $slowest s; RSS $rss_start -> peak $rss_peak -> $rss_end KiB"
[ $((rss_peak - rss_start)) -le 4096 ] || tv_fail "server RSS grew from $rss_start to $rss_peak KiB"

for i in 1 2 3 4; do
  kill -0 "${readers[$((i - 1))]}" 2>/dev/null || tv_fail "reader $i ended early"
done

# SIGTERM with the four streams still open: a clean exit within a few seconds.
kill -TERM "$TV_SERVER_PID"
for _ in $(seq 1 50); do kill -0 "$TV_SERVER_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TV_SERVER_PID" 2>/dev/null && tv_fail "the server still runs 5 s after SIGTERM"
rc=0
wait "$TV_SERVER_PID" || rc=$?
TV_PIDS=("${TV_PIDS[@]/$TV_SERVER_PID}")
[ "$rc" = 0 ] || tv_fail "the server exited with $rc after SIGTERM"
# What the kernel still holds for the readers arrives, then the end of each connection.
for i in 1 2 3 4; do kill -USR1 "${readers[$((i - 1))]}"; done
for i in 1 2 3 4; do
  for _ in $(seq 1 100); do kill -0 "${readers[$((i - 1))]}" 2>/dev/null || break; sleep 0.1; done
  kill -0 "${readers[$((i - 1))]}" 2>/dev/null && tv_fail "connection $i still open after the server's exit"
  wait "${readers[$((i - 1))]}" || tv_fail "reader $i failed"
  python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.stdout.buffer.write(d[d.find(b"\r\n\r\n") + 4:])' \
    "$TV_WORK/got$i" >"$TV_WORK/body$i"
  grep -q '^HTTP/1.1 200 ' "$TV_WORK/got$i" || tv_fail "reader $i: $(head -1 "$TV_WORK/got$i")"
  n=$(stat -c %s "$TV_WORK/body$i")
  [ "$n" -gt 0 ] || tv_fail "reader $i got no body"
  cmp -s -n "$n" "$TV_WORK/body$i" "$media/slow$i.mpg" || tv_fail "reader $i got bytes that differ from the file"
done
tv_note "clean exit with the streams open; every reader got the start of its file"
echo PASS
