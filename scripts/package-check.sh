#!/usr/bin/env bash
# Checks that the Debian package installs, starts and is purged cleanly, in a throw-away root: a private
# mount namespace (unshare -m) with an overlay over / whose upper layer lives in a tmpfs, chrooted into.
# Nothing reaches the real root; the namespace and everything written in it go when the check ends.
#
#   scripts/package-check.sh [package.deb | FOLDER]   (default: the newest zorvik-hollin_*.deb in
#                                                      build-package/; a folder: the newest one there)
#
# Skips (status 0, with the reason) when not root or when the machine offers no overlay file system.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
deb="${1:-$top/build-package}"
[ -d "$deb" ] && deb="$(ls -t "$deb"/zorvik-hollin_*.deb 2>/dev/null | head -n 1 || true)"

skip() { echo "package-check: skipped: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root (a mount namespace and an overlay over /)"
command -v unshare >/dev/null || skip "no unshare (util-linux)"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || true
grep -qw overlay /proc/filesystems || skip "the kernel offers no overlay file system"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "package-check: no package found; build it with scripts/package.sh" >&2
  exit 1
fi
deb="$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
scratch="$(mktemp -d /tmp/zh-package-check.XXXXXX)"
trap 'rmdir "$scratch" 2>/dev/null || rm -rf "$scratch"' EXIT

# Everything below runs inside the private mount namespace.
unshare -m --propagation private bash -s "$scratch" "$deb" <<'INSIDE'
set -uo pipefail
scratch="$1"; deb="$2"
passed=0; failed=0
check() { # check "what" command...
  local what="$1"; shift
  if "$@" >"$scratch/out" 2>&1; then
    echo "package-check: $what ... ok"; passed=$((passed + 1))
  else
    echo "package-check: $what ... FAILED"; sed 's/^/    /' "$scratch/out" | tail -n 20; failed=$((failed + 1))
  fi
}
note() { echo "package-check: $*"; }

mount -t tmpfs -o size=2g,mode=0755 zh-package-check "$scratch" || exit 1
mkdir -p "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root" || exit 1
r="$scratch/root"
mount --bind /proc "$r/proc"; mount --rbind /dev "$r/dev"; mount --bind /sys "$r/sys"
mount -t tmpfs tmpfs "$r/run"; mount -t tmpfs tmpfs "$r/tmp"
cp "$deb" "$r/tmp/zorvik-hollin.deb"
inside=(chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
  DEBIAN_FRONTEND=noninteractive)
chr() { "${inside[@]}" "$@"; }
note "throw-away root at $r (upper layer in a tmpfs)"

if chr dpkg-query -W -f='${Status}' zorvik-hollin 2>/dev/null | grep -q "install ok installed"; then
  note "zorvik-hollin is installed on this machine already: installing over it"
fi

# Install; dependencies from the machine's packages (apt may fetch what is missing).
install_deb() { chr dpkg -i /tmp/zorvik-hollin.deb || chr apt-get -f install -y -q; }
check "dpkg -i $(basename "$deb")" install_deb
files=(/usr/sbin/ZorvikHollinWatcher /usr/bin/ZorvikHollin
  /var/lib/ZorvikHollin/ZorvikHollinHelper/bin/ZorvikHollin_ver_001 /usr/libexec/zorvik-hollin/tmutil
  /lib/systemd/system/zorvik-hollin-watcher.service /usr/share/applications/ZorvikHollin.desktop
  /etc/xdg/autostart/ZorvikHollin.desktop /etc/zorvik-hollin/deployment.conf
  /usr/share/man/man1/ZorvikHollin.1.gz /usr/share/man/man8/ZorvikHollinWatcher.8.gz
  /usr/share/doc/zorvik-hollin/copyright /usr/share/doc/zorvik-hollin/changelog.gz)
present() { local f; for f in "${files[@]}"; do [ -e "$r$f" ] || { echo "missing: $f"; return 1; }; done; }
check "the programs, helpers, unit, entries, manual pages and copyright are in place" present
# What an administrator changes under /etc survives upgrades: dpkg keeps both files as conffiles.
conffiles() {
  chr dpkg-query -W -f='${Conffiles}\n' zorvik-hollin | tee "$scratch/conffiles"
  grep -q '^ /etc/xdg/autostart/ZorvikHollin.desktop ' "$scratch/conffiles" &&
    grep -q '^ /etc/zorvik-hollin/deployment.conf ' "$scratch/conffiles"
}
check "the autostart entry and the deployment file are conffiles" conffiles
linked() { ! chr ldd /usr/sbin/ZorvikHollinWatcher /usr/bin/ZorvikHollin /usr/libexec/zorvik-hollin/tmutil \
  | grep "not found"; }
check "every library the programs need is there" linked
if chr sh -c 'command -v desktop-file-validate' >/dev/null; then
  check "the desktop entries are valid" chr desktop-file-validate /usr/share/applications/ZorvikHollin.desktop \
    /etc/xdg/autostart/ZorvikHollin.desktop
fi
enabled() { [ "$(chr systemctl is-enabled zorvik-hollin-watcher.service 2>/dev/null)" = enabled ]; }
check "the unit is enabled (it starts at the next boot)" enabled

# Start: a system bus, then the daemon as the unit would start it; it must come up and stay up.
mkdir -p "$r/run/dbus"
bus_pid="$(chr dbus-daemon --system --fork --print-pid --nopidfile 2>/dev/null | head -n 1 || true)"
"${inside[@]}" /usr/sbin/ZorvikHollinWatcher >"$scratch/daemon.log" 2>&1 &
daemon_pid=$!
sleep 6
stays_up() { kill -0 "$daemon_pid" 2>/dev/null || { cat "$scratch/daemon.log"; return 1; }; }
check "the daemon starts and stays up (6 s, system bus ${bus_pid:+running})" stays_up
traced() { [ -s "$r/var/lib/ZorvikHollin/LogsFolder/DaemonTrace.txt" ]; }
check "the daemon writes its trace" traced
kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null
# The application comes up as a user (offscreen here) and keeps running until it is ended.
mkdir -p "$r/tmp/apphome" && chown nobody "$r/tmp/apphome"
app_runs() { chr setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/tmp/apphome \
  QT_QPA_PLATFORM=offscreen timeout 5 /usr/bin/ZorvikHollin; [ $? -eq 124 ]; }
check "the application starts and stays up (5 s, offscreen)" app_runs
[ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null

# Purge, and nothing of ours is left outside users' homes (dpkg's own records aside).
check "dpkg --purge zorvik-hollin" chr dpkg --purge zorvik-hollin
gone() {
  local left
  left="$(cd "$scratch/upper" && find . \( -iname '*zorvik*' -o -iname '*hollin*' \) \
    ! -path './tmp/*' ! -path './run/*' ! -path './var/lib/dpkg/*' ! -path './var/log/*' \
    ! -path './var/cache/*' ! -path './root/*' -print)"
  [ -z "$left" ] || { echo "$left"; return 1; }
  ! chr dpkg-query -W -f='${Status}' zorvik-hollin 2>/dev/null | grep -q "install ok installed"
}
check "nothing of the package is left" gone

echo "package-check: $passed passed, $failed failed"
umount -R "$r" 2>/dev/null || umount -l "$r"
umount -l "$scratch"
[ "$failed" -eq 0 ]
INSIDE
