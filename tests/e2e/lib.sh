# Shared helpers of the end-to-end scripts: they start the real program on a temporary media
# tree and talk to it only from outside, with curl, xmllint, gssdp-discover and small python3
# listeners. Sourced by the scripts; $1 of the script is the program.
#
# Everything runs on the home network of scripts/homenet.sh: the server on the server host
# (this shell), the clients on a player host through tv_player. Player 1 (10.9.9.2, which
# reaches the server as 10.9.9.1) unless tv_use_player 2 picks the other LAN; TV_HOST is the
# server's address on the player's side, TV_BASE its web server's URL there.
set -euo pipefail

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  # Run on its own (CTest runs every script here): check the program's option handling.
  "${1:?usage: bash lib.sh path/to/tindravoller}" --help | grep -q -- '--headless'
  rc=0; "$1" --no-such-option 2>/dev/null || rc=$?
  [ "$rc" = 2 ] || { echo "FAIL: an unknown option gave $rc" >&2; exit 1; }
  rc=0; "$1" --interface 2>/dev/null || rc=$?
  [ "$rc" = 2 ] || { echo "FAIL: --interface without a name gave $rc" >&2; exit 1; }
  echo "ok: options"
  exit 0
fi

TV_PROGRAM=${1:?usage: bash script.sh path/to/tindravoller}
TV_PROGRAM=$(readlink -f "$TV_PROGRAM")

if [ "${TV_HOMENET:-}" != 1 ]; then
  # Multicast must stay inside private namespaces.
  exec bash "$(dirname "$(readlink -f "$0")")/../../scripts/homenet.sh" bash "$0" "$@"
fi
TV_E2E=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")

TV_WORK=$(mktemp -d /tmp/tv-e2e.XXXXXX)
TV_SETTINGS=$TV_WORK/TindravollerDLNA.dat
TV_LOG=$TV_WORK/server.log
TV_PIDS=()
TV_SERVER_PID=
TV_PORT=
TV_BASE=

# tv_use_player N: the player host the client helpers run on from now on; 0 is a client on
# the server host itself, which reaches it on 127.0.0.1.
tv_use_player() {
  if [ "$1" = 0 ]; then
    TV_PLAYER_PID= TV_PLAYER_ADDRESS=127.0.0.1 TV_HOST=127.0.0.1
  else
    local pid=TV_PLAYER$1_PID address=TV_PLAYER$1_ADDRESS server=TV_PLAYER$1_SERVER
    TV_PLAYER_PID=${!pid} TV_PLAYER_ADDRESS=${!address} TV_HOST=${!server}
  fi
  TV_BASE=http://$TV_HOST:$TV_PORT
}
tv_use_player 1

# tv_player CMD...: runs CMD on the current player host.
tv_player() {
  if [ -z "$TV_PLAYER_PID" ]; then "$@"; else nsenter -t "$TV_PLAYER_PID" -n -- "$@"; fi
}

tv_cleanup() {
  local pid i
  for pid in "${TV_PIDS[@]}"; do
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true
  done
  # A process that does not end on SIGTERM within 5 s is killed: the script must not hang.
  for pid in "${TV_PIDS[@]}"; do
    [ -n "$pid" ] || continue
    for i in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$TV_WORK"
}
trap tv_cleanup EXIT

tv_fail() {
  echo "FAIL: $*" >&2
  if [ -f "$TV_LOG" ]; then
    echo "--- server log (last 30 lines)" >&2
    tail -30 "$TV_LOG" >&2
  fi
  exit 1
}

tv_note() { echo "ok (${SECONDS}s): $*"; }

# Remembers a background process for the cleanup trap.
tv_track() { TV_PIDS+=("$1"); }

# tv_share DIR...: adds folders to the settings file with the program's own option.
tv_share() {
  local dir
  for dir in "$@"; do
    "$TV_PROGRAM" --settings "$TV_SETTINGS" --share "$dir" >/dev/null || tv_fail "--share $dir"
  done
}

# The TCP port the server listens on (its web server), read from the socket table.
tv_port_of() {
  { ss -ltnpH 2>/dev/null || true; } | awk -v pid="pid=$1," 'index($0, pid) {sub(/.*:/, "", $4); print $4; exit}'
}

# Starts the headless server (with any further options given) and waits until its web server
# answers. The server gets SIGTERM should the script be killed before its cleanup runs.
tv_start() {
  setpriv --pdeathsig TERM "$TV_PROGRAM" --headless --settings "$TV_SETTINGS" "$@" >"$TV_LOG" 2>&1 &
  TV_SERVER_PID=$!
  tv_track "$TV_SERVER_PID"
  local i
  for i in $(seq 1 100); do
    TV_PORT=$(tv_port_of "$TV_SERVER_PID")
    if [ -n "$TV_PORT" ] && curl -sf -o /dev/null "http://127.0.0.1:$TV_PORT/"; then
      TV_BASE=http://$TV_HOST:$TV_PORT
      return 0
    fi
    kill -0 "$TV_SERVER_PID" 2>/dev/null || tv_fail "the server ended at start"
    sleep 0.1
  done
  tv_fail "the server did not start listening"
}

# Stops the server with SIGTERM and checks that it exits with 0.
tv_stop() {
  kill -TERM "$TV_SERVER_PID"
  local rc=0
  wait "$TV_SERVER_PID" || rc=$?
  TV_PIDS=("${TV_PIDS[@]/$TV_SERVER_PID}")
  [ "$rc" = 0 ] || tv_fail "the server exited with $rc after SIGTERM"
}

tv_xml_escape() {
  sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g' <<<"$1"
}

# tv_soap SERVICE ACTION ARGS-XML OUT: posts one SOAP action, writes the response body to OUT
# and prints the HTTP status code.
tv_soap() {
  local service=$1 action=$2 args=$3 out=$4
  local type="urn:schemas-upnp-org:service:$service:1"
  local body
  body="<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:$action xmlns:u=\"$type\">$args</u:$action></s:Body></s:Envelope>"
  tv_player curl -s -o "$out" -w '%{http_code}' --max-time 20 \
    -H "SOAPACTION: \"$type#$action\"" -H 'Content-Type: text/xml; charset="utf-8"' \
    --data-binary "$body" "$TV_BASE/$service/control"
}

# tv_reachable WHAT URL...: every URL a player is given must name the server's address on
# that player's side (never 127.0.0.1, the bridge or the other LAN).
tv_reachable() {
  local what=$1 url
  shift
  [ -n "$TV_PLAYER_PID" ] || return 0  # the server's own host reaches every address
  for url in "$@"; do
    [[ $url == "$TV_BASE/"* ]] || tv_fail "$what names $url, which player $TV_PLAYER_ADDRESS cannot reach ($TV_BASE/ expected)"
  done
}

# tv_browse ID FLAG START COUNT OUT [FILTER [SORT]]: a Browse; checks the HTTP status, the
# SOAP envelope and the DIDL-Lite of Result (after the one unescaping xmllint does); leaves the
# DIDL-Lite in OUT.didl and sets TV_RETURNED, TV_TOTAL and TV_UPDATE_ID. The UpdateID must be
# TV_EXPECT_UPDATE_ID (0, the protocol's own, unless a script says otherwise; "any" for any).
tv_browse() {
  local id flag=$2 start=$3 count=$4 out=$5 filter=${6:-*} sort=${7:-}
  id=$(tv_xml_escape "$1")
  local code
  code=$(tv_soap ContentDirectory Browse "<ObjectID>$id</ObjectID><BrowseFlag>$flag</BrowseFlag><Filter>$(tv_xml_escape "$filter")</Filter><StartingIndex>$start</StartingIndex><RequestedCount>$count</RequestedCount><SortCriteria>$sort</SortCriteria>" "$out")
  [ "$code" = 200 ] || tv_fail "Browse $1 $flag answered $code: $(head -c 400 "$out")"
  xmllint --noout "$out" || tv_fail "Browse $1: the SOAP response is not XML"
  xmllint --xpath 'string(//*[local-name()="Result"])' "$out" >"$out.didl"
  xmllint --noout "$out.didl" || tv_fail "Browse $1: Result is not well-formed DIDL-Lite"
  TV_RETURNED=$(xmllint --xpath 'string(//*[local-name()="NumberReturned"])' "$out")
  TV_TOTAL=$(xmllint --xpath 'string(//*[local-name()="TotalMatches"])' "$out")
  TV_UPDATE_ID=$(xmllint --xpath 'string(//*[local-name()="UpdateID"])' "$out")
  local expected=${TV_EXPECT_UPDATE_ID:-0}
  [ "$expected" = any ] || [ "$TV_UPDATE_ID" = "$expected" ] || tv_fail "Browse $1: UpdateID $TV_UPDATE_ID"
  local counted
  counted=$(xmllint --xpath 'count(/*/*[local-name()="item" or local-name()="container"])' "$out.didl")
  [ "$counted" = "$TV_RETURNED" ] || tv_fail "Browse $1: $counted objects but NumberReturned $TV_RETURNED"
  local urls
  mapfile -t urls < <(tv_res_urls "$out.didl")
  tv_reachable "Browse $1 $filter" "${urls[@]}"
}

# tv_res_urls DIDL: every res URL, one a line.
tv_res_urls() {
  { xmllint --xpath '//*[local-name()="res"]/text()' "$1" 2>/dev/null || true; } | sed '/^[[:space:]]*$/d'
}

# tv_objects DIDL: one line per object: "container<TAB>id" or "item<TAB>id<TAB>first res URL"
# (empty for none).
tv_objects() {
  local didl=$1 n i kind
  n=$(xmllint --xpath 'count(/*/*)' "$didl")
  for ((i = 1; i <= n; i++)); do
    kind=$(xmllint --xpath "local-name(/*/*[$i])" "$didl")
    if [ "$kind" = container ]; then
      printf 'container\t%s\n' "$(xmllint --xpath "string(/*/*[$i]/@id)" "$didl")"
    else
      printf 'item\t%s\t%s\n' "$(xmllint --xpath "string(/*/*[$i]/@id)" "$didl")" \
        "$(xmllint --xpath "string(/*/*[$i]/*[local-name()='res'][1])" "$didl")"
    fi
  done
}

# tv_escape_folder PATH: the folder's name inside ObjectIDs (/ : \ escaped).
tv_escape_folder() {
  sed -e 's/\\/%5C/g' -e 's/:/%3A/g' -e 's,/,%2F,g' <<<"$1"
}
