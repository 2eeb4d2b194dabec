#!/usr/bin/env bash
# Thunar's context menu in a real desktop session, with what `cmake --install` leaves: Xvfb, xfwm4 and
# xfce4-panel on one session bus (dbus-launch), Thunar open on the person's documents, an appliance (an
# rsync daemon). A right click on a file and "Versions…" starts the application through the installed
# activation file; logged out, it asks for the account, and the person logs in in its window. Ended as a
# session end does, it is started again by the next "Versions…" and opens the Versions window for that
# file; with it running, the running one answers (no second one starts); "Back Up Now" says what it
# handed over.
#
#   filemanager-desktop.sh BUILD_DIR [SCREENSHOT_DIR]
#
# The install goes into a staging folder; a mount namespace of the test's own lays it over /usr (and a
# fresh folder over root's home), so every file is where the installation puts it and nothing of the
# machine changes. As root it installs the desktop's programs it misses; skips (77) without root or
# when they cannot be installed, saying which.
# The typographic quotes are those of the application's window titles.
# shellcheck disable=SC1111
set -euo pipefail

if [ "${1:-}" = --inside ]; then
  shift
  build="$1" S="$2" shots="$3"
  here="$(cd "$(dirname "$0")" && pwd)"
  pids=()
  cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
  trap cleanup EXIT
  fail() {
    echo "filemanager-desktop: $*" >&2
    [ -n "$shots" ] && import -window root "$shots/desktop-thunar-failed.png" 2>/dev/null
    for log in "$S/xvfb.log" "$S/thunar.log" "$S/appliance/rsyncd.log" "$HOME/.local/share/ZorvikHollin/InteractiveTrace.txt"; do
      [ -f "$log" ] && { echo "--- $log" >&2; tail -n 30 "$log" >&2; }
    done
    exit 1
  }

  mount -t overlay zh-usr -o "lowerdir=$S/stage/usr:/usr" /usr
  mount -t overlay zh-var-lib -o "lowerdir=$S/stage/var/lib:/var/lib" /var/lib
  mkdir -p "$S/home" "$S/run" && chmod 700 "$S/run"
  mount --bind "$S/home" /root
  # The machine's system bus, as a desktop has one (the application posts "BackupNow" on it): a bus of
  # the namespace's own at the standard place.
  mount -t tmpfs zh-run-dbus /run/dbus
  dbus-daemon --system --fork --print-pid >"$S/system-bus.pid"
  pids+=("$(cat "$S/system-bus.pid")")
  export HOME=/root XDG_RUNTIME_DIR="$S/run" LANG=C.UTF-8 LC_ALL=C.UTF-8
  unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_DATA_DIRS XDG_CONFIG_DIRS DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER

  # The person's documents; the names are ones a shell would split or run.
  docs="$HOME/Documents"
  mkdir -p "$docs"
  first="it's a \"report\" \$(id).txt"
  second="Budget 2024 (final).ods"
  printf 'text\n' >"$docs/$first"
  printf 'text\n' >"$docs/$second"
  # The appliance: an rsync daemon with a login message and the person's account, whose password is made
  # here and never printed; the person logs in through the application's own window.
  appliance="$S/appliance" account="ann"
  mkdir -p "$appliance/module/$account"
  ZH_PASSWORD="$(head -c 24 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 20)"
  (umask 077 && printf '%s:%s\n' "$account" "$ZH_PASSWORD" >"$appliance/rsyncd.secrets")
  printf '%s\n' "	Zorvik Hollin backup appliance -- welcome" "  Authorised users only." >"$appliance/motd"
  cat >"$appliance/rsyncd.conf" <<EOF
use chroot = no
uid = root
gid = root
lock file = $appliance/rsyncd.lock
log file = $appliance/rsyncd.log
motd file = $appliance/motd
[backup]
  path = $appliance/module
  read only = no
  max connections = 4
  auth users = $account
  secrets file = $appliance/rsyncd.secrets
  strict modes = yes
EOF
  port_open() { (exec 3<>"/dev/tcp/$1/873") 2>/dev/null; }
  address=""
  for _ in $(seq 1 20); do
    candidate="127.0.0.$((RANDOM % 250 + 3))"
    port_open "$candidate" || { address="$candidate"; break; }
  done
  [ -n "$address" ] || fail "no free 127.0.0.N address for the appliance"
  rsync --daemon --no-detach --address="$address" --port=873 --config="$appliance/rsyncd.conf" \
    >"$appliance/rsyncd.out" 2>&1 & pids+=($!)
  for _ in $(seq 1 50); do port_open "$address" && break; sleep 0.2; done
  port_open "$address" || fail "the appliance does not answer on $address:873"
  support="$HOME/.local/share/ZorvikHollin"

  # Xvfb takes the first free display itself and names it once it listens: a number drawn here could
  # be another session's, or be asked for before the server is up on a loaded machine.
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$S/display" >"$S/xvfb.log" 2>&1 & pids+=($!)
  for _ in $(seq 300); do grep -q '^[0-9]' "$S/display" 2>/dev/null && break; sleep 0.2; done
  display="$(head -n 1 "$S/display" 2>/dev/null)"
  [ -n "$display" ] || { cat "$S/xvfb.log" >&2; fail "Xvfb did not start"; }
  export DISPLAY=":$display"
  eval "$(dbus-launch --sh-syntax)"
  pids+=("$DBUS_SESSION_BUS_PID")
  # Accessibility on, as a screen reader turns it on: the application's windows are then in the
  # accessibility tree too, where the test finds the log-in window's fields.
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
    string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null || fail "no accessibility bus"
  xfwm4 --compositor=off >"$S/xfwm4.log" 2>&1 & pids+=($!)
  xfce4-panel >"$S/panel.log" 2>&1 & pids+=($!)
  thunar "$docs" >"$S/thunar.log" 2>&1 & pids+=($!)
  sleep 2
  # The namespace has its own process ids: whatever runs here is this session's.
  app_pids() { pgrep -x ZorvikHollin || true; }
  [ -z "$(app_pids)" ] || fail "the application runs before the test started it"

  # A visible window titled exactly so (titles hold quotes and "$(…)": no pattern of xdotool's).
  window_titled() {
    local end=$((SECONDS + $2))
    while [ $SECONDS -lt $end ]; do
      for w in $(xdotool search --onlyvisible --name "${3:-.}" 2>/dev/null); do
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && return 0
      done
      sleep 0.5
    done
    return 1
  }

  # Not running and logged out: the entry starts the application, which asks for the account first.
  /usr/bin/python3 "$here/filemanager_desktop.py" menu "Documents - Thunar" "$first" "Versions…" || fail "Thunar's menu"
  ZH_ADDRESS="$address" ZH_ACCOUNT="$account" ZH_PASSWORD="$ZH_PASSWORD" \
    /usr/bin/python3 "$here/filemanager_desktop.py" login 60 || fail "the log-in window"
  for _ in $(seq 1 100); do [ -f "$support/userDetails.plist" ] && break; sleep 0.3; done
  [ -f "$support/userDetails.plist" ] || fail "not logged in"
  grep -q "File manager: Versions… while logged out" "$support/InteractiveTrace.txt" || fail "no word of the log-in"
  # The session ends it (as a log-out does); the person stays logged in.
  for p in $(app_pids); do kill -TERM "$p"; done
  for _ in $(seq 1 50); do [ -z "$(app_pids)" ] && break; sleep 0.2; done
  [ -z "$(app_pids)" ] || fail "the application did not end"

  # Not running: the entry starts it, and it opens the file's versions.
  /usr/bin/python3 "$here/filemanager_desktop.py" menu "Documents - Thunar" "$first" "Versions…" || fail "Thunar's menu"
  window_titled "Versions of “$first”" 60 "^Versions of" || fail "no Versions window for $first"
  started="$(app_pids)"
  [ "$(echo "$started" | wc -l)" = 1 ] || fail "not one application: $started"
  [ -n "$shots" ] && import -window root "$shots/desktop-thunar-versions.png"

  # Running: the same one answers for the next file.
  /usr/bin/python3 "$here/filemanager_desktop.py" menu "Documents - Thunar" "$second" "Versions…" || fail "Thunar's menu"
  window_titled "Versions of “$second”" 60 "^Versions of" || fail "no Versions window for $second"
  [ "$(app_pids)" = "$started" ] || fail "another application started: $(app_pids)"

  # Back Up Now: the application says what it handed to the backup.
  /usr/bin/python3 "$here/filemanager_desktop.py" menu "Documents - Thunar" "$first" "Back Up Now" || fail "Thunar's menu"
  window_titled "Back Up Now" 30 "^Back Up Now" || fail "no Back Up Now window"
  grep -q "File manager: Back Up Now $docs/$first" "$support/InteractiveTrace.txt" || fail "not handed over"
  [ -n "$shots" ] && import -window root "$shots/desktop-thunar-backup-now.png"
  echo "filemanager-desktop: Versions… opened for a file with the application not running and running; Back Up Now handed it over"
  exit 0
fi

build="$(cd "${1:?usage: filemanager-desktop.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)"
shots="${2:-}"
[ -n "$shots" ] && shots="$(cd "$shots" && pwd)"
skip() { echo "filemanager-desktop: skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (a mount namespace lays the install over /usr)"
# The desktop's programs, each with its Debian package: a machine that lacks them (a fresh CI machine)
# gets them here, as they are a desktop's and not the build's; only when that fails is the test skipped.
tools=(Xvfb:xvfb xfwm4:xfwm4 xfce4-panel:xfce4-panel thunar:thunar xdotool:xdotool dbus-launch:dbus-x11
       dbus-send:dbus-bin rsync:rsync unshare:util-linux)
has_pyatspi() { /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; }
wanted=()
for tool in "${tools[@]}"; do
  command -v "${tool%%:*}" >/dev/null || wanted+=("${tool#*:}")
done
has_pyatspi || wanted+=(python3-pyatspi)
if [ ${#wanted[@]} -gt 0 ]; then
  echo "filemanager-desktop: installing ${wanted[*]}"
  apt_install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${wanted[@]}" >/dev/null 2>&1; }
  # Package lists may be missing or old on a machine that has not installed anything for a while.
  apt_install || { apt-get update -qq >/dev/null 2>&1 && apt_install; } || true
fi
for tool in "${tools[@]}"; do
  command -v "${tool%%:*}" >/dev/null || skip "needs ${tool%%:*} (Debian package ${tool#*:}), which cannot be installed"
done
has_pyatspi || skip "needs pyatspi (Debian package python3-pyatspi), which cannot be installed"
[ -n "$shots" ] && ! command -v import >/dev/null && shots=""
grep -q "^ZH_THUNAR_EXTENSION:BOOL=ON" "$build/CMakeCache.txt" || skip "the build has no Thunar extension (libthunarx-3-dev)"

S="$(mktemp -d /tmp/zh-fm-desktop.XXXXXX)"
trap 'rm -rf "$S"' EXIT
DESTDIR="$S/stage" cmake --install "$build" >"$S/install.log" 2>&1 || { cat "$S/install.log"; exit 1; }
[ -d "$S/stage/usr" ] || { echo "filemanager-desktop: the install put nothing under /usr" >&2; exit 1; }
PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
  unshare --mount --propagation private --pid --fork --mount-proc -- "$0" --inside "$build" "$S" "$shots"
