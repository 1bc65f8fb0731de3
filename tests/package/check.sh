# The Debian packages that scripts/package.sh built in BUILD-DIR: lintian finds no error; the
# headless package needs no Qt and carries the program's own version; installed into a
# scratch root (dpkg --root, maintainer scripts run outside a chroot, as dpkg does for
# bootstrapping) every file is where it belongs, /etc/tindravoller.conf is a conffile with
# modern on, the service's user and state folder exist and nothing is enabled; the units pass
# systemd-analyze verify without a word and the system unit's exposure stays at 1.3 or below;
# the installed program starts with the shipped configuration (in a private network
# namespace) in its mode; the manual page is found by man and renders without warnings;
# removal keeps the folder list and the configuration, purge takes them.
set -euo pipefail
build=$(readlink -f "${1:?usage: bash tests/package/check.sh BUILD-DIR}")
work=$(mktemp -d /tmp/tv-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "ok (${SECONDS}s): $*"; }

server_deb=$(ls "$build"/tindravoller_*.deb 2>/dev/null) || fail "no tindravoller package in $build"
window_deb=$(ls "$build"/tindravoller-window_*.deb 2>/dev/null || true)
mediainfo_deb=$(ls "$build"/tindravoller-mediainfo_*.deb 2>/dev/null || true)
debs=("$server_deb" ${window_deb:+"$window_deb"} ${mediainfo_deb:+"$mediainfo_deb"})
packages=(${window_deb:+tindravoller-window} ${mediainfo_deb:+tindravoller-mediainfo} tindravoller)

lintian --tag-display-limit 0 "${debs[@]}" >"$work/lintian.txt" 2>&1 || true
grep -v -e '^running with root privileges' "$work/lintian.txt" | sed 's/^/  lintian: /' || true
! grep -q '^E: ' "$work/lintian.txt" || fail "lintian reports errors"
note "lintian: no errors, $(grep -c '^W: ' "$work/lintian.txt" || true) warnings"

version=$(dpkg-deb -f "$server_deb" Version)
dpkg-deb -x "$server_deb" "$work/unpacked"
program_version=$("$work/unpacked/usr/bin/tindravoller" --version)
[ "$program_version" = "tindravoller $version" ] || fail "--version says '$program_version', the package $version"
! dpkg-deb -f "$server_deb" Depends | grep -qi qt || fail "tindravoller depends on Qt"
if [ -n "$window_deb" ]; then
  depends=$(dpkg-deb -f "$window_deb" Depends)
  grep -q "tindravoller (= $version)" <<<"$depends" || fail "window package: Depends $depends"
  grep -q libqt6widgets6 <<<"$depends" || fail "window package: no Qt 6 Widgets in $depends"
fi
if [ -n "$mediainfo_deb" ]; then
  depends=$(dpkg-deb -f "$mediainfo_deb" Depends)
  grep -q "tindravoller (= $version)" <<<"$depends" || fail "media-information package: Depends $depends"
  grep -q libavformat <<<"$depends" || fail "media-information package: no FFmpeg in $depends"
fi
! dpkg-deb -f "$server_deb" Depends | grep -qi libav || fail "tindravoller depends on FFmpeg"
note "version $version alike in the package and --version; Qt and FFmpeg only in their packages"

[ "$(dpkg-deb --info "$server_deb" conffiles)" = /etc/tindravoller.conf ] ||
  fail "conffiles: $(dpkg-deb --info "$server_deb" conffiles 2>&1)"
note "/etc/tindravoller.conf is the package's conffile"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log" "$root/etc"
touch "$root/var/lib/dpkg/status"
dpkg_root() {
  dpkg --root="$root" --force-script-chrootless --force-depends "$@" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg $*"; }
}
dpkg_root -i "${debs[@]}"

expected=(usr/bin/tindravoller usr/lib/systemd/system/tindravoller.service
          usr/lib/systemd/user/tindravoller.service usr/lib/sysusers.d/tindravoller.conf
          usr/lib/tmpfiles.d/tindravoller.conf usr/share/man/man1/tindravoller.1.gz
          usr/share/doc/tindravoller/copyright usr/share/doc/tindravoller/changelog.gz)
[ -n "$window_deb" ] && expected+=(usr/libexec/tindravoller/tindravoller-window
  usr/share/applications/tindravoller.desktop usr/share/icons/hicolor/256x256/apps/tindravoller.png
  usr/share/doc/tindravoller-window/copyright usr/share/doc/tindravoller-window/changelog.gz)
[ -n "$mediainfo_deb" ] && expected+=(usr/libexec/tindravoller/tindravoller-mediainfo
  usr/share/doc/tindravoller-mediainfo/copyright usr/share/doc/tindravoller-mediainfo/changelog.gz)
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
(cd "$root" && find usr -type f | sort) >"$work/installed"
diff -u "$work/expected" "$work/installed" || fail "installed files differ from the expected list"
passwd=$(grep '^tindravoller:' "$root/etc/passwd") || fail "no tindravoller user"
uid=$(cut -d: -f3 <<<"$passwd")
[ "$(cut -d: -f6-7 <<<"$passwd")" = /var/lib/tindravoller:/usr/sbin/nologin ] || fail "user: $passwd"
[ "$uid" -lt 1000 ] || fail "the service user is no system user: $passwd"
grep -q "^tindravoller:x:$(cut -d: -f4 <<<"$passwd"):" "$root/etc/group" || fail "no tindravoller group"
[ "$(stat -c '%u %a' "$root/var/lib/tindravoller")" = "$uid 750" ] ||
  fail "state folder: $(stat -c '%u %a' "$root/var/lib/tindravoller")"
[ -z "$(find "$root/etc" -path '*systemd*' -name 'tindravoller*')" ] || fail "something was enabled"
# An installed home service exists to serve today's TVs: the mode is on, the rest commented.
[ "$(grep -v -e '^#' -e '^$' "$root/etc/tindravoller.conf")" = modern ] ||
  fail "/etc/tindravoller.conf: $(grep -v -e '^#' -e '^$' "$root/etc/tindravoller.conf")"
note "${#expected[@]} files where they belong, /etc/tindravoller.conf with modern on; user $uid and its state folder; nothing enabled"

# The units as installed, with the program's path inside the scratch root (verify checks that
# it can be run) and the manual page of the scratch root (verify looks up Documentation=).
mkdir -p "$work/units/system" "$work/units/user" "$work/runtime"
chmod 700 "$work/runtime"
for kind in system user; do
  sed "s|=/usr/bin/tindravoller|=$root/usr/bin/tindravoller|" \
    "$root/usr/lib/systemd/$kind/tindravoller.service" >"$work/units/$kind/tindravoller.service"
done
export MANPATH=$root/usr/share/man
systemd-analyze verify "$work/units/system/tindravoller.service" >"$work/verify.txt" 2>&1 ||
  { cat "$work/verify.txt"; fail "systemd-analyze verify: system unit"; }
XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify "$work/units/user/tindravoller.service" \
  >>"$work/verify.txt" 2>&1 || { cat "$work/verify.txt"; fail "systemd-analyze verify: user unit"; }
[ ! -s "$work/verify.txt" ] || { cat "$work/verify.txt"; fail "systemd-analyze verify has words"; }
note "systemd-analyze verify: both units, silent"
exposure=$(systemd-analyze security --offline=true "$work/units/system/tindravoller.service" 2>/dev/null |
           grep -o 'Overall exposure level.*') || fail "systemd-analyze security gave no exposure"
level=$(grep -oE '[0-9]+\.[0-9]+' <<<"$exposure" | head -1)
awk -v level="$level" 'BEGIN { exit !(level <= 1.3) }' || fail "system unit: $exposure (was 1.3)"
note "$exposure"

# The service's start with the shipped configuration: the unit's command line with the file
# named by --config (--system would become the service's user), the cache where the unit puts
# it, in a private network namespace. Its description names the mode's Samsung capabilities;
# SIGTERM ends it with 0.
mkdir -p "$work/cache"
bash "$(dirname "$0")/../../scripts/netns.sh" bash -c '
  CACHE_DIRECTORY=$4 "$0" --headless --config "$1" --settings "$2" --port 8200 >"$3" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    grep -q "^Serving at http://127.0.0.1:8200/" "$3" && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  curl -sf --max-time 5 http://127.0.0.1:8200/ >"$5" || true
  kill -TERM $pid 2>/dev/null || true
  status=0 && wait $pid || status=$?
  echo "exit $status" >>"$3"' "$root/usr/bin/tindravoller" "$root/etc/tindravoller.conf" \
  "$work/folders.dat" "$work/trial.log" "$work/cache" "$work/description.xml"
grep -q '<sec:ProductCap xmlns:sec="http://www.sec.co.kr/dlna">' "$work/description.xml" ||
  { cat "$work/trial.log" "$work/description.xml"; fail "the shipped configuration: no modern server"; }
[ "$(tail -1 "$work/trial.log")" = "exit 0" ] || { cat "$work/trial.log"; fail "the trial server's end"; }
note "the program starts with the shipped configuration, modern, and stops with 0"

man -w tindravoller >/dev/null || fail "man does not find tindravoller"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/tindravoller.1.gz" \
  >"$work/man.txt" 2>"$work/man.err" || fail "man -l failed"
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "the manual page has warnings"; }
grep -q -- '--headless' "$work/man.txt" || fail "the manual page lacks --headless"
note "manual page: found by man, rendered without warnings"

echo "folders" >"$root/var/lib/tindravoller/TindravollerDLNA.dat"
echo "port 8200" >>"$root/etc/tindravoller.conf"
mkdir -p "$root/var/cache/tindravoller" && touch "$root/var/cache/tindravoller/cache"
dpkg_root -r "${packages[@]}"
left=$(cd "$root" && find usr -type f 2>/dev/null || true)
[ -z "$left" ] || fail "files left after removal: $left"
[ -f "$root/var/lib/tindravoller/TindravollerDLNA.dat" ] || fail "removal took the folder list"
grep -q '^port 8200$' "$root/etc/tindravoller.conf" || fail "removal took the edited configuration"
dpkg_root --purge "${packages[@]}"
[ ! -e "$root/var/lib/tindravoller" ] || fail "purge left /var/lib/tindravoller"
[ ! -e "$root/var/cache/tindravoller" ] || fail "purge left /var/cache/tindravoller"
[ ! -e "$root/etc/tindravoller.conf" ] || fail "purge left /etc/tindravoller.conf"
note "removal keeps the folder list and the edited configuration, purge takes them and the cache"
echo PASS
