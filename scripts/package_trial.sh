#!/usr/bin/env bash
# The packages on a fresh Debian 12, as an administrator would meet them: a minimal bookworm
# root (debootstrap, kept in build/trial/bookworm for the next run) gets the packages with
# apt, which pulls their dependencies from Debian; then the root boots under systemd-nspawn
# with a private network (nothing leaves it), where a one-shot unit shares a folder as the
# service's user, enables and starts the system unit, checks it from inside, stops it, removes
# the package while the service runs and purges it. Not part of the test command: it needs
# Debian's archive and takes a few minutes. Argument: the build folder of scripts/package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(readlink -f "${1:-build/package}")
ls "$build"/tindravoller_*.deb >/dev/null || { echo "run scripts/package.sh first" >&2; exit 1; }
for tool in debootstrap systemd-nspawn; do
  command -v $tool >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends debootstrap systemd-container >/dev/null
done
base=$PWD/build/trial/bookworm
if [ ! -x "$base/usr/bin/apt-get" ]; then
  rm -rf "$base" && mkdir -p "$(dirname "$base")"
  debootstrap --variant=minbase bookworm "$base" http://deb.debian.org/debian >/dev/null
fi
root=$PWD/build/trial/run
rm -rf "$root"
cp -a "$base" "$root"
cp "$build"/*.deb "$root/tmp/"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc" 2>/dev/null || true' EXIT
debs=$(cd "$root/tmp" && ls *.deb | sed 's|^|/tmp/|')
chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
  --no-install-recommends systemd-sysv curl $debs >"$root/root/install.log" 2>&1 ||
  { tail -30 "$root/root/install.log"; echo "FAIL: apt could not install the packages"; exit 1; }
umount "$root/proc"
echo "ok: installed with their dependencies: $(cd "$root/tmp" && ls *.deb | tr '\n' ' ')"

cat >"$root/root/trial.sh" <<'EOF'
#!/bin/sh
# Runs at boot inside the container; the last line of /root/trial.log is the verdict.
exec >/root/trial.log 2>&1
# The container has no D-Bus, so poweroff goes to the service manager directly.
halt() { systemctl start poweroff.target --job-mode=replace-irreversibly --no-block; }
fail() { echo "FAIL: $*"; halt; exit 1; }
ok() { echo "ok: $*"; }
running() { for exe in /proc/[0-9]*/exe; do readlink "$exe"; done 2>/dev/null | grep -c "$1$" || true; }
missing=$(ldd /usr/bin/tindravoller /usr/libexec/tindravoller/tindravoller-window | grep 'not found')
[ -z "$missing" ] || fail "libraries missing: $missing"
[ "$(systemctl is-enabled tindravoller)" = disabled ] || fail "enabled by the installation"
mkdir -p /srv/media && echo x >/srv/media/a.mp3
chgrp -R tindravoller /srv/media && chmod -R g+rX /srv/media
runuser -u tindravoller -- tindravoller --settings /var/lib/tindravoller/TindravollerDLNA.dat \
  --share /srv/media || fail "--share as the service's user"
systemctl enable --now tindravoller 2>/dev/null || fail "systemctl enable --now"
[ "$(systemctl show -p ActiveState,SubState --value tindravoller | tr '\n' ' ')" = "active running " ] ||
  fail "not running: $(systemctl status tindravoller --no-pager)"
pid=$(systemctl show -p MainPID --value tindravoller)
ok "active (Type=notify), pid $pid: $(grep -E '^(Uid|VmRSS)' /proc/$pid/status | tr -s '\t\n' '  ')"
[ "$(stat -c %U /proc/$pid)" = tindravoller ] || fail "not running as tindravoller"
! grep -q libQt /proc/$pid/maps || fail "the service maps Qt"
port=$(awk 'NR > 1 && $4 == "0A" { split($2, a, ":"); print a[2] }' /proc/net/tcp | head -1)
port=$(printf '%d' "0x$port")
curl -sf "http://127.0.0.1:$port/" | grep -q '<friendlyName>Tindravoller DLNA' || fail "no description"
curl -sf -H 'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"' \
  -H 'Content-Type: text/xml; charset="utf-8"' --data '<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>10</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>' \
  "http://127.0.0.1:$port/ContentDirectory/control" | grep -q 'media' || fail "Browse does not list /srv/media"
ok "description and Browse answer on port $port; no Qt mapped"
systemctl stop tindravoller
[ "$(systemctl show -p Result,ExecMainStatus --value tindravoller | tr '\n' ' ')" = "success 0 " ] ||
  fail "stop: $(systemctl show -p Result,ExecMainStatus tindravoller)"
journalctl -u tindravoller --no-pager -o cat | grep -q '^Started Media Server$' || fail "no log in the journal"
ok "stopped with exit status 0; its log is in the journal:"
journalctl -b --no-pager -o cat -u tindravoller | sed 's/^/  /'
systemctl start tindravoller
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tindravoller-window tindravoller >/dev/null ||
  fail "apt-get remove"
[ "$(running /usr/bin/tindravoller)" = 0 ] || fail "the server runs on after removal"
[ -f /var/lib/tindravoller/TindravollerDLNA.dat ] || fail "removal took the folder list"
ok "removed while running: the server stopped first, the folder list stays"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tindravoller >/dev/null || fail "apt-get purge"
[ ! -e /var/lib/tindravoller ] || fail "purge left /var/lib/tindravoller"
[ ! -e /etc/systemd/system/multi-user.target.wants/tindravoller.service ] || fail "purge left the link"
ok "purged: folder list and enablement gone"
echo PASS
halt
EOF
chmod +x "$root/root/trial.sh"
cat >"$root/etc/systemd/system/tv-trial.service" <<'EOF'
[Unit]
Description=Package trial
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/root/trial.sh
EOF
mkdir -p "$root/etc/systemd/system/default.target.wants"
ln -sf /etc/systemd/system/tv-trial.service "$root/etc/systemd/system/default.target.wants/"
timeout 300 systemd-nspawn --quiet --register=no --keep-unit --boot --private-network \
  --console=pipe -D "$root" >"$root/root/boot.log" 2>&1 || true
cat "$root/root/trial.log"
[ "$(tail -1 "$root/root/trial.log")" = PASS ]
