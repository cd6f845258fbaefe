#!/usr/bin/env bash
# Checks the Debian package from scripts/package, then installs it on this machine, runs the
# installed programs (version, the desktop program's log folder, a CPU exam against the
# service the package enabled, with nothing configured) and removes it again. Needs root or
# sudo; CI runs it.
# Usage: package_test.sh build/package/sorvanta_<version>_<arch>.deb
set -uo pipefail
[ -f "${1:-}" ] || { echo "usage: package_test.sh PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$1")
tmp=$(mktemp -d)
fail=0
service_pid=
installed=0
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

had_usr_log=0
[ ! -e /usr/bin/log ] || had_usr_log=1
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null
  [ -z "$service_pid" ] || wait "$service_pid" 2>/dev/null
  [ $installed = 0 ] || "${apt_get[@]}" purge -y -qq sorvanta > /dev/null
  [ $had_usr_log = 1 ] || "${sudo_cmd[@]}" rm -rf /usr/bin/log
  rm -rf "$tmp"
}
trap cleanup EXIT
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

# 1. What the package holds: exactly these files (folders aside), programs executable.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $1, $6 }' | LC_ALL=C sort -k2 > "$tmp/files"
# Both lists in byte order, so that the comparison does not depend on the caller's locale.
LC_ALL=C sort -k2 > "$tmp/expected" <<'LIST'
-rwxr-xr-x usr/bin/sorvanta
-rwxr-xr-x usr/bin/sorvanta-cli
-rwxr-xr-x usr/bin/sorvanta-service
-rwxr-xr-x usr/bin/sorvanta-usb-switch
-rw-r--r-- usr/lib/systemd/system/sorvanta-service.service
-rwxr-xr-x usr/libexec/sorvanta/sorvanta-probe-helper
-rw-r--r-- usr/lib/sysusers.d/sorvanta-service.conf
-rw-r--r-- usr/share/applications/sorvanta-usb-endurance.desktop
-rw-r--r-- usr/share/applications/sorvanta.desktop
-rw-r--r-- usr/share/doc/sorvanta/changelog.gz
-rw-r--r-- usr/share/doc/sorvanta/copyright
-rw-r--r-- usr/share/doc/sorvanta/schemas/capacity.schema.json
-rw-r--r-- usr/share/doc/sorvanta/schemas/cpu.schema.json
-rw-r--r-- usr/share/doc/sorvanta/schemas/disk.schema.json
-rw-r--r-- usr/share/doc/sorvanta/schemas/disks.schema.json
-rw-r--r-- usr/share/doc/sorvanta/schemas/probe.schema.json
-rw-r--r-- usr/share/doc/sorvanta/schemas/wipe.schema.json
-rw-r--r-- usr/share/icons/hicolor/scalable/apps/sorvanta.svg
-rw-r--r-- usr/share/locale/en/LC_MESSAGES/sorvanta.mo
-rw-r--r-- usr/share/man/man1/sorvanta-cli.1.gz
-rw-r--r-- usr/share/man/man1/sorvanta-service.1.gz
-rw-r--r-- usr/share/man/man1/sorvanta-usb-switch.1.gz
-rw-r--r-- usr/share/man/man1/sorvanta.1.gz
-rw-r--r-- usr/share/polkit-1/actions/org.sorvanta.fstrim.policy
-rw-r--r-- usr/share/polkit-1/actions/org.sorvanta.probe.policy
-rw-r--r-- usr/share/sorvanta/sorvanta-service.default
LIST
check "file list" diff -u "$tmp/expected" "$tmp/files"
dpkg-deb -f "$deb" Depends > "$tmp/depends"
for lib in libqt6widgets6 libcurl4 libsqlite3-0 libjsoncpp25; do
  check "depends on $lib (computed from the programs)" grep -q "$lib (" "$tmp/depends"
done

# 2. lintian and the menu entries as packed.
check "lintian: no errors or warnings" lintian --fail-on error,warning "$deb" 2> >(grep -v "root privileges" >&2)
dpkg-deb -x "$deb" "$tmp/root"
check "desktop-file-validate" desktop-file-validate \
  "$tmp/root/usr/share/applications/sorvanta.desktop" "$tmp/root/usr/share/applications/sorvanta-usb-endurance.desktop"
check "endurance entry starts the endurance test" \
  grep -qx "Exec=sorvanta bustudisk" "$tmp/root/usr/share/applications/sorvanta-usb-endurance.desktop"

# 3. Install it as a user would. Other checkouts may run this test at the same time on this
# machine: one at a time, and apt waits for the package database instead of failing.
exec 9> /tmp/sorvanta-package-test.lock
flock -w 900 9 || { echo "FAIL: another package test holds /tmp/sorvanta-package-test.lock"; exit 1; }
apt_get=("${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=300)
if ! "${apt_get[@]}" install -y -qq "$deb" > "$tmp/apt.log" 2>&1; then
  cat "$tmp/apt.log"
  echo "FAIL: apt-get install $deb"
  exit 1
fi
installed=1
check "sorvanta-cli --version" test "$(/usr/bin/sorvanta-cli --version)" = "sorvanta-cli $(dpkg-deb -f "$deb" Version)"
check "sorvanta-cli speaks English from the installed catalogue" \
  bash -c 'LC_ALL= LANGUAGE= LC_MESSAGES= SORVANTA_LANG= LANG=en_US.UTF-8 /usr/bin/sorvanta-cli frobnicate 2>&1 | grep -qx "Unknown command: frobnicate (--help lists every command)"'
check "service unit enabled on install" test "$(systemctl is-enabled sorvanta-service.service 2>/dev/null)" = enabled
if command -v systemd-sysusers > /dev/null; then
  user_exists() { getent passwd sorvanta-service > /dev/null; }
  check "service user created" user_exists
fi
check "service unit verifies" systemd-analyze verify /usr/lib/systemd/system/sorvanta-service.service

# The service the package enabled: systemd started it where systemd runs; elsewhere (a
# container) it is started here as its unit would, as its user with its data folder. It
# listens on the default addresses, which must be free.
export HOME=$tmp/home XDG_STATE_HOME=$tmp/home/.local/state XDG_DATA_HOME=$tmp/home/.local/share
unset SORVANTA_SERVICE_URL SORVANTA_SERVICE_CA
mkdir -p "$HOME"
ranking=http://127.0.0.1:8444/RankingList/RankingList.html
if [ -d /run/systemd/system ]; then
  check "service started on install" systemctl is-active --quiet sorvanta-service.service
else
  taken() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
  if taken 8443 || taken 8444; then
    echo "FAIL: port 8443 or 8444 on 127.0.0.1 is taken; the installed service cannot start"
    exit 1
  fi
  as_service=()
  getent passwd sorvanta-service > /dev/null && as_service=(runuser -u sorvanta-service --)
  "${sudo_cmd[@]}" install -d -m 0751 /var/lib/sorvanta-service
  [ ${#as_service[@]} = 0 ] || "${sudo_cmd[@]}" chown sorvanta-service:sorvanta-service /var/lib/sorvanta-service
  "${sudo_cmd[@]}" "${as_service[@]}" /usr/bin/sorvanta-service --data /var/lib/sorvanta-service 2> "$tmp/service.log" &
  service_pid=$!
fi
for _ in $(seq 100); do curl -sf -o /dev/null "$ranking" && break; sleep 0.1; done
check "ranking page in plain HTTP on loopback" curl -sf -o /dev/null "$ranking"
check "the service's CA readable by every user" test "$(stat -c %a /var/lib/sorvanta-service/ca.pem)" = 644
check "the service's CA verifies it" curl -sf -o /dev/null --cacert /var/lib/sorvanta-service/ca.pem \
  https://127.0.0.1:8443/update/sorvanta/getAnnouncementPC

# The desktop program from /usr/bin logs into ~/.local/state/sorvanta/log and not beside itself.
logs_written() { compgen -G "$XDG_STATE_HOME/sorvanta/log/sorvanta-*_Notice.log" > /dev/null; }
QT_QPA_PLATFORM=offscreen /usr/bin/sorvanta > "$tmp/gui.log" 2>&1 &
gui_pid=$!
version_asked() { grep -qs "update/sorvanta/versionPC" "$XDG_STATE_HOME/sorvanta/log/"sorvanta-*_Notice.log; }
for _ in $(seq 100); do version_asked && break; sleep 0.1; done
sleep 2  # the update check's verified request to this machine's service ends well within this
kill "$gui_pid" 2>/dev/null
wait "$gui_pid" 2>/dev/null
check "desktop program logs under ~/.local/state/sorvanta/log" logs_written

# The update check ran against the installed service and trusted it (a refused certificate
# would leave a "curl err" line for the version request).
check "update check asked the installed service" version_asked
check "update check trusted the installed service" \
  bash -c "! grep -hs 'versionPC' $XDG_STATE_HOME/sorvanta/log/sorvanta-*_Error.log | grep -q ."

# The lines compared below are the Chinese ones, whatever the caller's locale.
SORVANTA_LANG=zh /usr/bin/sorvanta-cli cpu > "$tmp/cpu.log" 2>&1
check "CPU exam against the installed service, nothing configured" grep -q "跑分成功！" "$tmp/cpu.log"
[ $fail = 0 ] || cat "$tmp/cpu.log" "$tmp/service.log"
# A real browser, without any certificate flag, renders that score from the loopback page.
single=$(sed -n 's/^单核跑分 *\([0-9]\+\) .*/\1/p' "$tmp/cpu.log" | head -1)
rendered() {
  timeout 60 chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$tmp/chromium" \
    --virtual-time-budget=5000 --dump-dom "$ranking" 2> /dev/null | grep -q "<td class=\"num\">$single</td>"
}
check "Chromium renders the score from $ranking" test -n "$single" -a "$(rendered && echo yes)" = yes
check "command-line front end logs under ~/.local/state/sorvanta/log" \
  grep -q "cpuscoresubmitV4" "$XDG_STATE_HOME/sorvanta/log/"sorvanta-*_Notice.log
# Files the package does not own would outlive its removal.
check "nothing written beside the installed programs" test ! -e /usr/bin/log

# 4. Remove it again.
"${apt_get[@]}" purge -y -qq sorvanta > /dev/null 2>&1
installed=0
[ -z "$service_pid" ] || { kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; service_pid=; }
gone() { [ ! -e /usr/bin/sorvanta-cli ] && ! dpkg -s sorvanta > /dev/null 2>&1; }
check "removed and purged" gone
check "purge removed the service's data" test ! -e /var/lib/sorvanta-service
[ $fail = 0 ] && echo "package test passed"
exit $fail
