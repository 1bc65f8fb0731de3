# Discovery: an SSDP client finds the device and its two services; the description and the
# service descriptions fetched from the advertised LOCATION are well-formed and name this
# device; the Connection Manager answers from outside.
source "$(dirname "$(readlink -f "$0")")/lib.sh"

mkdir -p "$TV_WORK/media"
printf 'x' >"$TV_WORK/media/a.mp3"
tv_share "$TV_WORK/media"
tv_start

# Prints "USN<TAB>LOCATION" for every answer to a search for TARGET, as seen by the GSSDP
# library: its gssdp-discover tool where the distribution ships it, else its Python binding
# (Debian 12 ships only the library).
search() {
  local target=$1
  if command -v gssdp-discover >/dev/null; then
    timeout 10 gssdp-discover -i lo --timeout=3 --target="$target" 2>/dev/null |
      awk '/USN:/{usn=$2} /Location:/{print usn "\t" $2}'
    return
  fi
  timeout 15 /usr/bin/python3 - "$target" <<'EOF'
import sys, gi
gi.require_version('GSSDP', '1.6')
from gi.repository import GSSDP, GLib
client = GSSDP.Client.new_full('lo', None, 0, GSSDP.UDAVersion.VERSION_1_0)
browser = GSSDP.ResourceBrowser.new(client, sys.argv[1])
browser.set_mx(1)
def available(browser, usn, locations):
    for location in locations:
        print('%s\t%s' % (usn, location))
    sys.stdout.flush()
browser.connect('resource-available', available)
browser.set_active(True)
loop = GLib.MainLoop()
GLib.timeout_add(3000, loop.quit)
loop.run()
EOF
}

/usr/bin/python3 -c "import gi; gi.require_version('GSSDP', '1.6')" 2>/dev/null ||
  command -v gssdp-discover >/dev/null || tv_fail "no GSSDP client installed (gir1.2-gssdp-1.6)"

device_type=urn:schemas-upnp-org:device:MediaServer:1
found=$(search "$device_type")
[ -n "$found" ] || tv_fail "no answer to a search for $device_type"
# Other devices may answer too (tests run side by side in one namespace): ours is the one
# whose LOCATION names our port.
ours=$(awk -F'\t' -v port=":$TV_PORT/" 'index($2, port) {print; exit}' <<<"$found")
[ -n "$ours" ] || tv_fail "no answer names port $TV_PORT: $found"
location=$(cut -f2 <<<"$ours")
usn=$(cut -f1 <<<"$ours")
[[ $usn == uuid:*::$device_type ]] || tv_fail "device USN $usn"
udn=${usn%%::*}
[[ $location == http://127.0.0.1:$TV_PORT/ ]] || tv_fail "LOCATION $location"
tv_note "device found at $location ($udn)"

for service in ContentDirectory ConnectionManager; do
  st=urn:schemas-upnp-org:service:$service:1
  answers=$(search "$st")
  grep -qF "$udn::$st" <<<"$answers" || tv_fail "no answer for $st: $answers"
  tv_note "service $service found"
done
grep -qF "$udn" <<<"$(search ssdp:all)" || tv_fail "ssdp:all did not find the device"

curl -sf -o "$TV_WORK/description.xml" "$location" || tv_fail "description not served"
xmllint --noout "$TV_WORK/description.xml" || tv_fail "description is not XML"
desc_udn=$(xmllint --xpath 'string(//*[local-name()="UDN"])' "$TV_WORK/description.xml")
[ "$desc_udn" = "$udn" ] || tv_fail "description UDN $desc_udn, SSDP $udn"
name=$(xmllint --xpath 'string(//*[local-name()="friendlyName"])' "$TV_WORK/description.xml")
[[ $name == "Tindravoller DLNA - "*" -" ]] || tv_fail "friendlyName '$name'"
model=$(xmllint --xpath 'string(//*[local-name()="modelName"])' "$TV_WORK/description.xml")
[ "$model" = Tindravoller ] || tv_fail "modelName '$model'"
serial=$(xmllint --xpath 'string(//*[local-name()="serialNumber"])' "$TV_WORK/description.xml")
[ "$serial" = 0000001 ] || tv_fail "serialNumber '$serial'"
tv_note "description: $name"

base=${location%/}
for service in ContentDirectory ConnectionManager; do
  scpd=$(xmllint --xpath "string(//*[local-name()='service'][contains(*[local-name()='serviceType'],'$service')]/*[local-name()='SCPDURL'])" "$TV_WORK/description.xml")
  [ -n "$scpd" ] || tv_fail "no SCPDURL for $service"
  [[ $scpd == /* ]] || scpd=/$scpd
  curl -sf -o "$TV_WORK/$service.xml" "$base$scpd" || tv_fail "$service SCPD not served"
  xmllint --noout "$TV_WORK/$service.xml" || tv_fail "$service SCPD is not XML"
done
# Every variable an action names is declared in its own service (strict control points
# refuse the device otherwise), A_ARG_TYPE_SearchCriteria of Search included.
for service in ContentDirectory ConnectionManager; do
  undeclared=$(xmllint --xpath 'count(//*[local-name()="relatedStateVariable"][not(. = //*[local-name()="stateVariable"]/*[local-name()="name"])])' "$TV_WORK/$service.xml")
  [ "$undeclared" = 0 ] || tv_fail "$service names $undeclared undeclared state variables"
done
described=$(xmllint --xpath 'count(//*[local-name()="stateVariable"][*[local-name()="name"]="A_ARG_TYPE_SearchCriteria"])' "$TV_WORK/ContentDirectory.xml")
[ "$described" = 1 ] || tv_fail "A_ARG_TYPE_SearchCriteria is described $described times"
tv_note "service descriptions"

code=$(tv_soap ConnectionManager GetProtocolInfo "" "$TV_WORK/pi.xml")
[ "$code" = 200 ] || tv_fail "GetProtocolInfo answered $code"
source_list=$(xmllint --xpath 'string(//*[local-name()="Source"])' "$TV_WORK/pi.xml")
[ "$(tr ',' '\n' <<<"$source_list" | wc -l)" = 10 ] || tv_fail "Source list: $source_list"
code=$(tv_soap ConnectionManager GetCurrentConnectionInfo "<ConnectionID>1</ConnectionID>" "$TV_WORK/ci.xml")
[ "$code" = 500 ] && grep -q '<errorCode>706</errorCode>' "$TV_WORK/ci.xml" ||
  tv_fail "GetCurrentConnectionInfo 1 answered $code"
tv_note "connection manager"

tv_stop
echo PASS
