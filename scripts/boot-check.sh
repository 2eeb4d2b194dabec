#!/usr/bin/env bash
# Proves on a booted Debian 12 that the Debian package (made with debhelper: scripts/package.sh) does
# what a person and an administrator expect. A Debian root made with mmdebstrap (cached) is copied afresh
# and booted with systemd-nspawn; there the package is installed, a local account with documents in its
# home becomes the active session on seat0, the account record is written and "Reinitialize" posted as
# the application does, and the documents must arrive on an rsync daemon on the host (127.0.0.N:873,
# shared network). Then a save through a temporary name; an upgrade, and an administrator's disable
# that upgrades keep; documents saved while the service is stopped and while the person is logged
# out; a person whose home is a symbolic link (/home/bob -> /var/home/bob); and removal and purge,
# which leave no file of the package, no secret and no autostart entry that starts anything. All along
# the daemon runs in the unit's sandbox: it must be in force, and refuse the daemon nothing its job
# needs (the restart after its exit 1, a stray rsync of its own ended, fanotify on the disk, the
# address check's ping, no EPERM, EACCES or EROFS in its trace or journal).
#
#   scripts/boot-check.sh [package.deb | FOLDER]   (default: the newest zorvik-hollin_*.deb in
#                                                   build-package/; a folder: the newest one there)
#
# The root is cached as boot-check/debian12-<hash>.tar beside the package (ZH_BOOT_CHECK_CACHE moves
# it); the hash covers the package list, so a new dependency makes a new root. ZH_BOOT_CHECK_MIRROR
# names another Debian mirror; ZH_BOOT_CHECK_DISK=folder boots from a plain folder instead of an ext4
# loop device (the daemon then watches with inotify). Exit status 77, with the reason, when it cannot
# run here.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
started=$SECONDS

skip() { echo "boot-check: skipped: $*"; exit 77; }
die() { echo "boot-check: $*" >&2; exit 2; }

usage="usage: scripts/boot-check.sh [package.deb | FOLDER]"
newest_in() { ls -t "$1"/zorvik-hollin_*.deb 2>/dev/null | head -n 1 || true; }
case "${1:-}" in
  -h|--help) echo "$usage"; exit 0 ;;
  -*) die "unknown option $1; $usage" ;;
  "") deb="$(newest_in "$top/build-package")"
      [ -n "$deb" ] || die "no package in build-package/: build one with scripts/package.sh or name one" ;;
  *) [ $# -eq 1 ] || die "$usage"
     deb="$1"
     if [ -d "$deb" ]; then
       deb="$(newest_in "$1")"
       [ -n "$deb" ] || die "no zorvik-hollin_*.deb in $1: build one with scripts/package.sh $1"
     fi ;;
esac

[ "$(id -u)" -eq 0 ] || skip "needs root (mmdebstrap, systemd-nspawn, an rsync daemon on port 873)"
if ! command -v mmdebstrap >/dev/null || ! command -v systemd-nspawn >/dev/null; then
  echo "boot-check: installing mmdebstrap and systemd-container"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap systemd-container \
    >/dev/null 2>&1 || true
  command -v mmdebstrap >/dev/null || skip "mmdebstrap is missing and cannot be installed"
  command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is missing and cannot be installed"
fi
for tool in nsenter flock rsync dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done

[ -f "$deb" ] || die "no such package: $deb"
deb="$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package 2>/dev/null)" = zorvik-hollin ] ||
  die "$deb is not a zorvik-hollin Debian package"
version="$(dpkg-deb -f "$deb" Version)"
cache="${ZH_BOOT_CHECK_CACHE:-$(dirname "$deb")/boot-check}"
mkdir -p "$cache" || die "cannot create the cache folder $cache"

# Per run: the container's copy of the root, the appliance, the outputs. Everything goes at the end.
# A run killed outright (SIGKILL at a time-out) cannot clean up: its folder is swept by the next run,
# unless something still uses its disk.
for old in /tmp/zh-boot-check.*; do
  [ -f "$old/pid" ] && ! kill -0 "$(cat "$old/pid")" 2>/dev/null || continue
  if mountpoint -q "$old/root"; then umount "$old/root" 2>/dev/null || continue; fi
  findmnt -rn -o TARGET | grep -q "^$old/" || rm -rf --one-file-system "$old"
done
scratch="$(mktemp -d /tmp/zh-boot-check.XXXXXX)"
echo $$ >"$scratch/pid"
root="$scratch/root" appliance="$scratch/appliance"
machine="zh-boot-$$"
nspawn_pid="" rsyncd_pid="" leader="" mmdebstrap_pid=""
nspawn_run_existed=0
[ -d /run/systemd/nspawn ] && nspawn_run_existed=1
cleanup() {
  set +e
  if [ -n "$mmdebstrap_pid" ]; then
    kill -TERM "$mmdebstrap_pid" 2>/dev/null; wait "$mmdebstrap_pid" 2>/dev/null
    rm -f "$cache/.new.tar"
  fi
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" # nspawn asks the container's systemd to power off
    for _ in $(seq 1 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
  fi
  if [ -n "$rsyncd_pid" ] && kill -0 "$rsyncd_pid" 2>/dev/null; then
    kill -TERM "$rsyncd_pid"; wait "$rsyncd_pid" 2>/dev/null
  fi
  if mountpoint -q "$root"; then
    umount "$root" 2>/dev/null || umount -l "$root"
  fi
  if findmnt -rn -o TARGET | grep -q "^$scratch/"; then
    echo "boot-check: $scratch still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$scratch"
  fi
  # nspawn's own folders in /run, when this run made them (rmdir: another run's stay).
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null
  [ "$nspawn_run_existed" = 1 ] ||
    rmdir /run/systemd/nspawn/propagate /run/systemd/nspawn/locks /run/systemd/nspawn 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The appliance's password is made here and never printed: every output shown passes through redact.
password="$(head -c 24 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 20)"
redact() { sed "s/$password/<password>/g"; }

passed=0 failed=0
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f s", b - a }'; }
ok() { echo "boot-check: $1 ... ok"; passed=$((passed + 1)); }
bad() { # bad "what" [file whose tail explains]
  echo "boot-check: $1 ... FAILED"; failed=$((failed + 1))
  [ -n "${2:-}" ] && [ -s "$2" ] && redact <"$2" | tail -n 25 | sed 's/^/    /'
  return 0
}
note() { echo "boot-check: $*" | redact; }
check() { # check "what" command...
  local what="$1"; shift
  if "$@" >"$scratch/out" 2>&1; then ok "$what"; else bad "$what" "$scratch/out"; return 1; fi
}
# Polls a command every 2 s until it succeeds or the time is up; the step names the time it took.
wait_for() { # wait_for "what" seconds command...
  local what="$1" limit="$2" t=$SECONDS t0=$EPOCHREALTIME; shift 2
  until "$@" >"$scratch/out" 2>&1; do
    if [ $((SECONDS - t)) -ge "$limit" ]; then
      trace_tail >>"$scratch/out"; bad "$what (waited $limit s)" "$scratch/out"; return 1
    fi
    sleep 2
  done
  ok "$what ($(since "$t0"))"
}
finish() {
  echo "boot-check: run took $((SECONDS - started)) s"
  echo "boot-check: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}
halt() { echo "boot-check: stopping here: the remaining steps need the one that failed"; finish; }
stop() { bad "$1" "${2:-}"; halt; }

# Runs a command inside the booted container (its mount, host name, IPC, PID and cgroup namespaces; the
# network is the host's), with a clean environment.
inside() {
  nsenter --target "$leader" --mount --uts --ipc --pid --cgroup --root --wd -- \
    /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive ${inside_timeout:+timeout "$inside_timeout"} "$@"
}
as_user() { local user="$1"; shift; inside runuser -u "$user" -- "$@"; }
as_alice() { as_user alice "$@"; }
trace="$root/var/lib/ZorvikHollin/LogsFolder/DaemonTrace.txt"
trace_tail() {
  # The whole trace (the password blanked out) stays for a look after the run.
  [ -f "$trace" ] && redact <"$trace" >"$cache/last-failure-DaemonTrace.txt" &&
    echo "--- the whole trace: $cache/last-failure-DaemonTrace.txt"
  echo "--- daemon trace (tail)"
  tail -n 30 "$trace" 2>/dev/null || echo "(no trace)"
  echo "--- journal of the unit (tail)"
  inside journalctl -u zorvik-hollin-watcher.service --no-pager -n 10 2>&1
}

# The package itself: the first-start marker is its postinst's, never a shipped file (an upgrade would
# bring it back).
no_marker_shipped() { dpkg-deb -c "$deb" >"$scratch/contents" && ! grep 'instal\.txt$' "$scratch/contents"; }
check "$(basename "$deb") ships no first-start marker" no_marker_shipped

# 1. The Debian root: systemd, dbus, logind's PAM module and every dependency of the package, so that
# installing the package needs no network inside the container.
mapfile -t deps < <( { dpkg-deb -f "$deb" Pre-Depends; echo ,; dpkg-deb -f "$deb" Depends; } | tr ',' '\n' |
  sed -E 's/\|.*//; s/\(.*\)//; s/:any//; s/[[:space:]]//g' | grep -v '^$' | sort -u)
# python3-dbus posts the notification as the application does: it stays on the bus after posting.
includes=(systemd-sysv dbus libpam-systemd procps python3-dbus "${deps[@]}")
mirror="${ZH_BOOT_CHECK_MIRROR:-}"
key="$(printf 'bookworm apt 1\n%s\n%s\n' "$mirror" "${includes[*]}" | sha256sum | cut -c1-12)"
tarball="$cache/debian12-$key.tar"
exec 9>"$cache/.lock"
flock -w 900 9 || die "another boot check holds $cache/.lock"
if [ -s "$tarball" ]; then
  ok "Debian 12 root from the cache ($(basename "$tarball"))"
else
  t=$SECONDS
  # Without a mirror named, mmdebstrap takes Debian's own, with the updates and security suites.
  # In the background, so that an interrupt is handled at once rather than when it ends.
  mmdebstrap --variant=apt --include="$(IFS=,; echo "${includes[*]}")" bookworm "$cache/.new.tar" \
    ${mirror:+"$mirror"} </dev/null >"$scratch/mmdebstrap.log" 2>&1 &
  mmdebstrap_pid=$!
  wait "$mmdebstrap_pid"; status=$?
  mmdebstrap_pid=""
  if [ "$status" -eq 0 ]; then
    mv "$cache/.new.tar" "$tarball"
    find "$cache" -maxdepth 1 -name 'debian12-*.tar' ! -name "$(basename "$tarball")" -delete
    ok "Debian 12 root made with mmdebstrap in $((SECONDS - t)) s ($(basename "$tarball"))"
  else
    rm -f "$cache/.new.tar"
    unreachable='Could not resolve|Temporary failure resolving|Unable to connect|Could not connect'
    unreachable+='|Network is unreachable|Connection timed out|Failed to fetch'
    why="$(grep -Em1 "$unreachable" "$scratch/mmdebstrap.log")"
    [ -z "$why" ] || skip "the Debian mirror cannot be reached: $why"
    stop "a Debian 12 root made with mmdebstrap" "$scratch/mmdebstrap.log"
  fi
fi
exec 9>&-

# 2. Boot a fresh copy (the cached root stays as it is). The person's machine has a pretty name; the
# daemon files its backups under that name with only letters and digits kept.
# The machine's disk is an ext4 file system on a loop device, as a real machine's is: the daemon marks
# it with fanotify there. Where no loop device can be had, a plain folder (the daemon then watches the
# homes with inotify, as it does in any container whose root is a bind mount).
mkdir -p "$root"
disk="a folder"
if [ "${ZH_BOOT_CHECK_DISK:-loop}" = loop ] && truncate -s 4G "$scratch/disk.img" &&
   mkfs.ext4 -q -F -L zhbootroot "$scratch/disk.img" >/dev/null 2>&1 &&
   mount -o loop "$scratch/disk.img" "$root" 2>/dev/null; then
  disk="ext4 on a loop device"
  rm -rf "$root/lost+found"
fi
tar -C "$root" --xattrs --xattrs-include='*' -xpf "$tarball" || stop "the root unpacks into $root"
echo zh-boot-check >"$root/etc/hostname"
echo "PRETTY_HOSTNAME=\"Alice's Laptop\"" >"$root/etc/machine-info"
machine_name="AlicesLaptop"
# No machine registration: machined may not run here (or the host may not run systemd at all). The
# container's system call filter refuses fanotify, which a real machine's root daemon has: allow it.
systemd-nspawn --boot --directory="$root" --machine="$machine" --register=no --keep-unit \
  --link-journal=no --console=passive --system-call-filter="fanotify_init fanotify_mark open_by_handle_at" \
  </dev/null >"$scratch/console.log" 2>&1 &
nspawn_pid=$!
t=$SECONDS t0=$EPOCHREALTIME
# Only a machine that cannot start the container at all is a reason to skip: nspawn ends before the
# container's systemd runs (no namespaces, no rights), and its own words say why. A boot that starts is
# waited for, however slow, and a boot that starts but does not finish is a failure.
cannot_boot() { tail -n 15 "$scratch/console.log"; skip "the container cannot boot here: $*"; }
boot_failed() { cp "$scratch/console.log" "$scratch/out"; stop "the machine boots to multi-user: $*" "$scratch/out"; }
until leader="$(pgrep -P "$nspawn_pid" -x systemd)"; do
  kill -0 "$nspawn_pid" 2>/dev/null ||
    cannot_boot "systemd-nspawn ended before the container's systemd started (its output is above)"
  [ $((SECONDS - t)) -lt 120 ] || boot_failed "its systemd did not start within 120 s"
  sleep 0.2
done
# systemctl talks to the container's systemd on its private socket, which systemd makes a moment after
# it starts: asked before that, systemctl fails at once with "Failed to connect to bus: No such file or
# directory". On a loaded machine, or with the root's files not yet in the page cache, that moment
# is long enough to be hit; so the socket is waited for first.
until inside test -S /run/systemd/private; do
  kill -0 "$nspawn_pid" 2>/dev/null || boot_failed "systemd-nspawn ended during the boot"
  [ $((SECONDS - t)) -lt 300 ] || boot_failed "its systemd did not open its control socket within 300 s"
  sleep 0.2
done
state="$(inside_timeout=300 inside systemctl is-system-running --wait 2>&1)"
case "$state" in
  running) ok "the machine boots to multi-user ($(since "$t0"), its disk $disk)" ;;
  degraded) failed_units="$(inside systemctl --failed --no-legend --plain | awk '{print $1}' | tr '\n' ' ')"
            ok "the machine boots to multi-user ($(since "$t0"), its disk $disk, degraded: $failed_units)" ;;
  *) boot_failed "it reached \"${state:-nothing within 300 s}\" instead" ;;
esac

# 3. Install. The root has no package lists: every dependency must already be there.
inside sh -c 'cat >/tmp/zorvik-hollin.deb' <"$deb" || stop "the package is copied into the machine"
check "apt-get install ./$(basename "$deb") (no network needed)" \
  inside apt-get install -y -q --no-install-recommends /tmp/zorvik-hollin.deb || halt
marker="$root/var/lib/ZorvikHollin/instal.txt"
fresh_marker() {
  [ -f "$marker" ] || { echo "no $marker"; return 1; }
  [ "$(stat -c '%U:%G %a %s' "$marker")" = "root:root 644 0" ] || { stat "$marker"; return 1; }
}
check "a first installation plants the first-start marker (empty, root's, 0644)" fresh_marker
unit_runs() {
  local enabled active sub
  enabled="$(inside systemctl is-enabled zorvik-hollin-watcher.service 2>&1)"
  active="$(inside systemctl show zorvik-hollin-watcher.service -p ActiveState --value 2>&1)"
  sub="$(inside systemctl show zorvik-hollin-watcher.service -p SubState --value 2>&1)"
  echo "is-enabled: $enabled; state: $active ($sub)"
  [ "$enabled" = enabled ] && [ "$active" = active ] && [ "$sub" = running ]
}
wait_for "zorvik-hollin-watcher.service is enabled and running" 20 unit_runs

# The unit's sandbox is in force on the running daemon, as systemd loaded it here: no new privileges,
# a system call filter, exactly the capabilities the unit names, /usr read-only to it; and systemd's
# own rating of the installed unit.
unit_file="$(inside systemctl show zorvik-hollin-watcher.service -p FragmentPath --value)"
main_pid() { inside systemctl show zorvik-hollin-watcher.service -p MainPID --value; }
sandboxed() {
  local pid bounding named
  pid="$(main_pid)"
  inside grep -E '^(NoNewPrivs|Seccomp|CapBnd):' "/proc/$pid/status" | tee "$scratch/status"
  grep -qP '^NoNewPrivs:\t1$' "$scratch/status" && grep -qP '^Seccomp:\t2$' "$scratch/status" || return 1
  bounding="$(inside capsh --decode="$(awk '/^CapBnd:/ {print $2}' "$scratch/status")" | sed 's/.*=//' |
    tr ',' '\n' | sort | paste -sd' ')"
  named="$(sed -n 's/^CapabilityBoundingSet=//p' "$root$unit_file" | tr 'A-Z ' 'a-z\n' | sort |
    paste -sd' ')"
  echo "bounding set: $bounding; the unit names: $named"
  [ -n "$named" ] && [ "$bounding" = "$named" ] || return 1
  if inside nsenter --target "$pid" --mount touch /usr/.zh-boot-check >"$scratch/touch" 2>&1; then
    echo "/usr is writable to the daemon"; return 1
  fi
  cat "$scratch/touch"; grep -q 'Read-only file system' "$scratch/touch"
}
what="the daemon runs in the unit's sandbox (no new privileges, a system call filter, its capabilities,"
check "$what /usr read-only)" sandboxed
inside systemd-analyze security --no-pager --threshold=45 zorvik-hollin-watcher.service \
  >"$scratch/rating" 2>&1
rating_status=$?
rating="$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]* [A-Z]*\).*/\1/p' "$scratch/rating")"
if [ "$rating_status" -eq 0 ] && [ -n "$rating" ]; then
  ok "systemd-analyze security rates the installed unit $rating (4.5 at most)"
else
  grep -v '✓' "$scratch/rating" >"$scratch/out"
  bad "systemd-analyze security rates the installed unit 4.5 at most (${rating:-no rating})" "$scratch/out"
fi

# 4. The appliance: a real rsync daemon on the host, as in the field with a login message and a
# connection limit. Two accounts (alice's and bob's) whose password is made for this run.
account="alicew" account_bob="bobw"
mkdir -p "$appliance/module/$account" "$appliance/module/$account_bob"
( umask 077; printf '%s:%s\n' "$account" "$password" "$account_bob" "$password" >"$appliance/rsyncd.secrets" )
printf '%s\n' "FreeBSD 11.3-RELEASE-p14 (FreeNAS.amd64) #0 r325575: Mon 2026/11/02 09:14:21 UTC" "" \
  "	Zorvik Hollin backup appliance -- welcome" \
  "  Authorised users only. 4 drives, 12.3 TB free, quota 500 GB per account." >"$appliance/motd"
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
  list = yes
  max connections = 4
  auth users = $account, $account_bob
  secrets file = $appliance/rsyncd.secrets
  strict modes = yes
EOF
port_open() { (exec 3<>"/dev/tcp/$1/873") 2>/dev/null; }
address=""
for _ in $(seq 1 20); do
  candidate="127.0.0.$((RANDOM % 250 + 3))"
  port_open "$candidate" || { address="$candidate"; break; }
done
[ -n "$address" ] || stop "a free 127.0.0.N address for the appliance"
rsync --daemon --no-detach --address="$address" --port=873 --config="$appliance/rsyncd.conf" \
  >"$appliance/rsyncd.out" 2>&1 &
rsyncd_pid=$!
appliance_answers() {
  for _ in $(seq 1 50); do port_open "$address" && break; sleep 0.2; done
  inside rsync "rsync://$address/" | tee "$scratch/modules"
  if grep -q 'backup appliance -- welcome' "$scratch/modules" && grep -q '^backup' "$scratch/modules" &&
     inside sh -c 'read -r RSYNC_PASSWORD; export RSYNC_PASSWORD; exec rsync --list-only "$1"' - \
       "rsync://$account@$address/backup/$account/" <<<"$password"; then
    return 0
  fi
  cat "$appliance/rsyncd.out"; return 1
}
check "the appliance answers the machine (rsync daemon on $address:873, login message, 4 connections)" \
  appliance_answers || halt
# The daemon's address check (run when the appliance stops answering) is `ping -c 1 NAME >FILE` through
# bash, FILE in root's home. The same command as a unit with the installed unit's own sandbox: ping needs
# its raw ICMP socket (the unit's CAP_NET_RAW: ping's file capability cannot add what the bounding set
# lacks) and the name must resolve.
appliance_name="appliance.zh-boot-check"
address_check_in_sandbox() {
  inside sh -c "echo '$address $appliance_name' >>/etc/hosts" || return 1
  local command="/bin/bash -c 'ping -c 1 $appliance_name >/root/zh-address; cat /root/zh-address'"
  sed -e '/^\[Install\]/,$d' -e '/^Restart/d' -e 's/^Type=.*/Type=oneshot/' \
    -e 's/^Description=.*/Description=The address check of Zorvik Hollin, in the sandbox of its watcher/' \
    -e "s|^ExecStart=.*|ExecStart=$command|" "$root$unit_file" |
    inside sh -c 'cat >/run/systemd/system/zh-address-check.service' || return 1
  inside systemctl daemon-reload
  inside systemctl start zh-address-check.service
  local status=$?
  inside journalctl -u zh-address-check.service --no-pager -o cat | tee "$scratch/ping"
  inside rm -f /run/systemd/system/zh-address-check.service
  inside systemctl daemon-reload
  [ "$status" -eq 0 ] && grep -q "bytes from .*($address)" "$scratch/ping"
}
check "the address check's ping reaches the appliance by name inside the unit's sandbox" \
  address_check_in_sandbox

# 5. Alice and what she already has, then Alice at the screen: a PAM session (pam_systemd) run by the
# container's systemd, on seat0. A container's seat0 has no VTs, so logind activates the new session.
# Documents are what programs store: an office document is a zip archive, a PDF says so in its first
# bytes. Rewrites to random bytes with no format at all are what ransomware leaves, and are held.
alice_has_documents() {
  inside useradd -m -s /bin/bash alice || return 1
  as_alice sh -c 'set -e; mkdir -p ~/Documents/Projects; cd ~/Documents
    printf "Shopping: bread, milk\n" >"Meeting notes 2025.txt"
    { printf "PK\003\004"; head -c 180000 /dev/urandom; } >Report.odt
    { printf "%%PDF-1.7\n"; head -c 70000 /dev/urandom; } >"Projects/Plan B (draft).pdf"
    printf "year,amount\n2024,1200\n" >budget.csv
    ls -lR'
}
check "alice has documents in her home" alice_has_documents || halt
documents=("Meeting notes 2025.txt" Report.odt "Projects/Plan B (draft).pdf" budget.csv)
# A person logs in at the screen (the session unit console-USER) and out (the unit stopped).
log_in() {
  inside systemd-run --quiet --unit="console-$1" --property=PAMName=login --uid="$1" \
    --setenv=XDG_SEAT=seat0 --setenv=XDG_SESSION_TYPE=tty --setenv=XDG_SESSION_CLASS=user /bin/sleep infinity
}
log_out() { inside systemctl stop "console-$1.service"; }
at_screen() {
  local session
  session="$(inside loginctl show-seat seat0 -p ActiveSession --value)"
  [ -n "$session" ] || { echo "seat0 has no active session"; inside loginctl list-sessions; return 1; }
  inside loginctl show-session "$session" -p Name -p Active -p Seat -p Type | tee "$scratch/session"
  grep -qx "Name=$1" "$scratch/session" && grep -qx Active=yes "$scratch/session"
}
log_in alice >"$scratch/out" 2>&1 || stop "alice's session starts" "$scratch/out"
wait_for "alice is the person at the screen (active session on seat0)" 10 at_screen alice || halt

# 6. The account record as the application writes it: a property list in alice's support folder,
# written by her to a temporary name and renamed; then "Reinitialize" 5 s later, posted as alice.
write_record() { # write_record USER ACCOUNT
  local user="$1" account="$2"
  as_user "$user" sh -c 'set -e; umask 077; d=~/.local/share/ZorvikHollin; mkdir -p "$d"
    cat >"$d/.userDetails.plist.new"; chmod 600 "$d/.userDetails.plist.new"
    mv "$d/.userDetails.plist.new" "$d/userDetails.plist"' <<EOF || return 1
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>PauseState</key>
	<string>0</string>
	<key>ip</key>
	<string>$address</string>
	<key>localBackup</key>
	<string>1</string>
	<key>login</key>
	<string>1</string>
	<key>password</key>
	<string>$password</string>
	<key>remembermeState</key>
	<string>0</string>
	<key>timeMachineBackup</key>
	<string>0</string>
	<key>username</key>
	<string>$account</string>
</dict>
</plist>
EOF
  inside stat -c "%U %a %s" "/home/$user/.local/share/ZorvikHollin/userDetails.plist" | tee "$scratch/stat"
  grep -q "^$user 600 " "$scratch/stat"
}
check "alice's account record is written (hers, 0600, renamed into place)" write_record alice "$account" || halt
sleep 5
# The daemon asks the bus for the sender's uid when the signal arrives: a sender that has already left
# (busctl emit, dbus-send) is unknown by then and its notification is dropped. The application stays.
post_reinitialize() { # post_reinitialize USER
  as_user "$1" python3 - <<'EOF'
import time
import dbus
bus = dbus.SystemBus()
signal = dbus.lowlevel.SignalMessage("/org/zorvikhollin/Notifications", "org.zorvikhollin.Notifications",
                                     "Posted")
signal.append("Reinitialize", dbus.Dictionary({}, signature="sv"), signature="sa{sv}")
bus.send_message(signal)
bus.flush()
time.sleep(3)
EOF
}
# A start ends what an earlier daemon left behind: an rsync of its own (the daemon's mark in its
# environment) still running as alice. Finding it needs the other users' processes in /proc as the unit
# shows them, and their environment read with alice's rights; ending it CAP_KILL.
plant_stray_rsync() {
  inside systemd-run --quiet --unit=zh-stray-rsync --uid=alice \
    --setenv=ZORVIK_HOLLIN_WATCHER_RUN=/var/lib/ZorvikHollin /bin/bash -c \
    'exec -a rsync /usr/bin/python3 -c "import time; time.sleep(600)"' ||
    return 1
  sleep 1
  inside ps -o pid=,user=,args= -u alice | grep -e 'rsync -c' &&
    inside systemctl is-active zh-stray-rsync.service
}
check "an rsync of the daemon's is left running as alice" plant_stray_rsync
pid_before="$(main_pid)"
restarts_before="$(inside systemctl show zorvik-hollin-watcher.service -p NRestarts --value)"
exits_with_1() {
  inside journalctl -u zorvik-hollin-watcher.service --no-pager -o cat | grep -c 'code=exited, status=1/'
}
exits_before="$(exits_with_1)"
check "Reinitialize is posted on the system bus as alice" post_reinitialize alice
taken() { grep -q receiveReinitializeNotification "$trace"; }
wait_for "the daemon takes it" 15 taken
# "Reinitialize" restarts the daemon: it exits with status 1 and systemd starts it again.
restarted() {
  local pid restarts sub exits
  pid="$(main_pid)"
  restarts="$(inside systemctl show zorvik-hollin-watcher.service -p NRestarts --value)"
  sub="$(inside systemctl show zorvik-hollin-watcher.service -p SubState --value)"
  exits="$(exits_with_1)"
  echo "main PID $pid_before -> $pid ($sub); restarts $restarts_before -> $restarts;" \
    "exits with status 1 in the journal $exits_before -> $exits"
  [ "$exits" -gt "$exits_before" ] && [ "$restarts" -gt "$restarts_before" ] &&
    [ "$pid" != "$pid_before" ] && [ "$pid" != 0 ] && [ "$sub" = running ]
}
wait_for "the daemon exits with status 1 and systemd starts it again (a new main PID)" 30 restarted
stray_gone() {
  inside systemctl show zh-stray-rsync.service -p ActiveState -p Result
  ! inside systemctl is-active --quiet zh-stray-rsync.service
}
wait_for "the restarted daemon ends the rsync left running as alice" 15 stray_gone

# 7. What she already had arrives, byte for byte.
backed_up="$appliance/module/$account/$machine_name/home/alice/Documents"
arrived() {
  local f missing=0
  for f in "$@"; do
    cmp -s "$root/home/alice/Documents/$f" "$backed_up/$f" && continue
    echo "not on the appliance (yet): $f"; missing=1
  done
  [ "$missing" = 0 ]
}
wait_for "the documents already in the home arrive on the appliance byte for byte" 120 \
  arrived "${documents[@]}"
# On a disk (not a folder), the daemon marks it with fanotify from inside its sandbox.
watching="$(grep -ho 'Watching file system events with.*' "$trace" 2>/dev/null | tail -n 1 | sed 's/ *$//')"
if [ "$disk" = "a folder" ]; then
  note "the daemon's trace says: ${watching:-nothing about how it watches file system events}"
else
  check "the daemon watches its disk with fanotify (the trace: \"${watching:-nothing}\")" \
    grep -q 'with fanotify' <<<"$watching"
fi

# What the application reads of the daemon's state, as alice: her backup lists folder (a backup
# pending) and the first-start markers' folder. The daemon makes the lists folder with the unit's umask.
application_reads_state() {
  as_alice ls -la /var/lib/ZorvikHollin/PerUser/alice/Backup && as_alice test -x /var/lib/ZorvikHollin &&
    as_alice ls -ld /var/lib/ZorvikHollin
}
check "alice (the application) can read the daemon's backup lists folder" application_reads_state

# A document written in place shows that the watcher follows the home at all, so that a failure below
# points at the save through a temporary name.
check "alice writes a new document" as_alice sh -c 'head -c 30000 /dev/urandom >~/Documents/Letter.txt'
wait_for "the new document arrives on the appliance" 60 arrived Letter.txt

# 8. A save the way office suites make one: new content to a temporary name renamed over the document.
save_report() {
  as_alice sh -c 'set -e; cd ~/Documents
    { printf "PK\\003\\004"; head -c 190000 /dev/urandom; } >lu12345.tmp; mv -f lu12345.tmp Report.odt'
}
check "alice saves Report.odt through lu12345.tmp" save_report
wait_for "the saved Report.odt arrives on the appliance" 120 arrived Report.odt

# 9. An upgrade (the same package again: postinst configure with the version before) keeps the state;
# a marker already consumed stays consumed, one not consumed is left as it is.
marker_before="$(stat -c '%i %Y' "$marker" 2>/dev/null || echo absent)"
check "reinstalling $(basename "$deb") (an upgrade from $version)" \
  inside apt-get install -y -q --reinstall --no-install-recommends /tmp/zorvik-hollin.deb
no_new_marker() {
  local after; after="$(stat -c '%i %Y' "$marker" 2>/dev/null || echo absent)"
  echo "first-start marker before: $marker_before; after: $after"
  [ "$after" = "$marker_before" ]
}
check "the upgrade plants no first-start marker" no_new_marker
wait_for "the unit is enabled and running after the upgrade" 20 unit_runs

# Nothing the daemon needs was refused by its sandbox: no refusal in its trace (all of it, since the
# installation) or in the unit's journal (since the boot).
refusals='Operation not permitted|Permission denied|Read-only file system|EPERM|EACCES|EROFS'
nothing_refused() {
  sleep 3 # the upgraded daemon's first steps
  inside journalctl -u zorvik-hollin-watcher.service --no-pager -o cat >"$scratch/journal"
  grep -hE "$refusals" "$trace" "$scratch/journal" >"$scratch/refused"
  echo "$(wc -l <"$trace") trace lines, $(wc -l <"$scratch/journal") journal lines"
  cat "$scratch/refused"
  [ ! -s "$scratch/refused" ]
}
check "nothing the daemon needs was refused (no EPERM, EACCES or EROFS in its trace or the unit's journal)" \
  nothing_refused

# The daemon's trace lines are in the journal under its own name (with priorities), never the password.
trace_in_journal() {
  inside journalctl -t ZorvikHollinWatcher --no-pager -o cat >"$scratch/identified"
  inside journalctl -t ZorvikHollinWatcher -p warning --no-pager -o cat >"$scratch/warnings"
  echo "$(wc -l <"$scratch/identified") entries, $(wc -l <"$scratch/warnings") of them warnings or worse"
  grep -q "Initial Backup" "$scratch/identified" && ! grep -qF "$password" "$scratch/identified"
}
check "the daemon's trace is in the journal as ZorvikHollinWatcher, without the password" trace_in_journal

# 10. An administrator's "systemctl disable --now" holds across upgrades: of the same version and of a
# newer one (this package with its version raised, as the next release would come). The package's
# scripts leave the unit to deb-systemd-helper, which remembers what the administrator chose.
unit_state() {
  local enabled active
  enabled="$(inside systemctl is-enabled zorvik-hollin-watcher.service 2>&1)"
  active="$(inside systemctl is-active zorvik-hollin-watcher.service 2>&1)"
  echo "is-enabled: $enabled; is-active: $active"
  [ "$enabled" = "$1" ] && [ "$active" = "$2" ]
}
check "the administrator disables and stops the unit" \
  inside systemctl disable --now zorvik-hollin-watcher.service
check "the unit is disabled and stopped" unit_state disabled inactive
check "reinstalling $(basename "$deb") while it is disabled" \
  inside apt-get install -y -q --reinstall --no-install-recommends /tmp/zorvik-hollin.deb
check "the unit stays disabled and stopped after the reinstall" unit_state disabled inactive
bumped="$version+bootcheck1"
make_bumped() {
  rm -rf "$scratch/bumped" && dpkg-deb -R "$deb" "$scratch/bumped" &&
    sed -i "s/^Version: .*/Version: $bumped/" "$scratch/bumped/DEBIAN/control" &&
    dpkg-deb --root-owner-group -b "$scratch/bumped" "$scratch/bumped.deb" >/dev/null &&
    inside sh -c 'cat >/tmp/zorvik-hollin-bumped.deb' <"$scratch/bumped.deb"
}
check "the same package as version $bumped" make_bumped
check "upgrading to $bumped while the unit is disabled" \
  inside apt-get install -y -q --no-install-recommends /tmp/zorvik-hollin-bumped.deb
check "the unit stays disabled and stopped after the upgrade" unit_state disabled inactive
check "the administrator enables and starts it again" inside systemctl enable --now zorvik-hollin-watcher.service
wait_for "the unit is enabled and running" 20 unit_runs

# 11. What is saved while the service is down arrives once it runs again, however it went down: a
# stop and a start (an administrator's, an upgrade's, a shutdown), and the restart that follows a
# person's log-out (systemd starts the service again 5 s after it exits) with a log-in after it.
saved_while_down() { # saved_while_down NAME: a new document and a change to an old one
  as_alice sh -c 'set -e; cd ~/Documents; head -c 40000 /dev/urandom >"$1"
    printf "%s,%s\n" "$(date +%Y)" "$(date +%N)" >>budget.csv' - "$1"
}
check "systemctl stop zorvik-hollin-watcher" inside systemctl stop zorvik-hollin-watcher.service
check "alice saves a new document and changes budget.csv while the service is stopped" \
  saved_while_down "Saved while stopped.odt"
check "systemctl start zorvik-hollin-watcher" inside systemctl start zorvik-hollin-watcher.service
wait_for "what alice saved while the service was stopped arrives after the start" 90 \
  arrived "Saved while stopped.odt" budget.csv ||
  note "(the service does not catch up at its start on what changed while it was down)"

# The log-out ends the service (exit status 1: "console user nil so quit deamon"); alice saves while
# systemd waits to start it again (the unit's restart pause), then logs in again.
restarting() {
  local sub; sub="$(inside systemctl show zorvik-hollin-watcher.service -p SubState --value)"
  echo "state: $sub"; [ "$sub" = auto-restart ]
}
check "alice logs out" log_out alice
if wait_for "the service ends for the log-out and waits to be started again (auto-restart)" 20 restarting; then
  check "alice saves a new document and changes budget.csv during the restart pause" \
    saved_while_down "Saved during the restart.odt"
else
  check "alice saves a new document and changes budget.csv after her log-out" \
    saved_while_down "Saved during the restart.odt"
fi
log_in alice >"$scratch/out" 2>&1 || stop "alice's session starts again" "$scratch/out"
wait_for "alice is the person at the screen again" 10 at_screen alice
wait_for "what alice saved during the restart arrives after she logs in again" 90 \
  arrived "Saved during the restart.odt" budget.csv ||
  note "(the service does not catch up at its start on what changed while it was down)"

# 12. Alice starts the application, as at every log-in (offscreen here): it adds itself to her login
# items. While the package's autostart entry starts it, that entry is all there is: nothing of the
# application's in her ~/.config/autostart to outlive the package. What her desktop would start at
# log-in is what systemd's XDG autostart generator (GNOME, KDE and others on systemd) makes of it.
generator=/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator
autostarted() { # autostarted USER: the applications the person's desktop starts at log-in
  inside runuser -u "$1" -- sh -c 'd=$(mktemp -d); "$1" "$d" "$d" "$d" && ls "$d"; rm -rf "$d"' - "$generator" |
    grep '@autostart\.service$'
}
app_runs() {
  local uid; uid="$(inside id -u alice)"
  inside runuser -u alice -- env HOME=/home/alice XDG_RUNTIME_DIR="/run/user/$uid" QT_QPA_PLATFORM=offscreen \
    timeout 8 /usr/bin/ZorvikHollin >"$scratch/app.log" 2>&1
  local status=$?
  echo "ended with $status after 8 s (124: still running)"; cat "$scratch/app.log"
  inside tail -n 3 /home/alice/.local/share/ZorvikHollin/InteractiveTrace.txt
  [ "$status" = 124 ] && grep -q "Zorvik Hollin Launched" \
    "$root/home/alice/.local/share/ZorvikHollin/InteractiveTrace.txt"
}
check "alice's application starts and runs (8 s, offscreen)" app_runs
own_entries() { # own_entries USER: the person's autostart entries that name our program
  inside sh -c 'grep -l "ZorvikHollin" "$1"/.config/autostart/*.desktop 2>/dev/null' - "$(home_of "$1")"
}
home_of() { inside getent passwd "$1" | cut -d: -f6; }
autostart_is_the_packages() {
  autostarted alice | tee "$scratch/started"
  echo "entries of alice's naming the program: $(own_entries alice | tr '\n' ' ')"
  grep -qx 'app-ZorvikHollin@autostart.service' "$scratch/started" && [ -z "$(own_entries alice)" ]
}
check "alice's desktop starts the application at log-in from the package's entry alone" \
  autostart_is_the_packages

# 13. Bob, whose home is behind a symbolic link as on image-based desktops: /home/bob -> /var/home/bob,
# his passwd entry saying /home/bob. After his first backup, what he changes must keep arriving.
bob_has_documents() {
  inside mkdir -p /var/home || return 1
  inside useradd -M -d /home/bob -s /bin/bash bob || return 1
  inside sh -c 'cp -a /etc/skel /var/home/bob && chown -R bob:bob /var/home/bob && chmod 0700 /var/home/bob &&
    ln -s /var/home/bob /home/bob' || return 1
  as_user bob sh -c 'set -e; mkdir -p ~/Documents; cd ~/Documents
    printf "Minutes of the club\n" >"Club minutes.txt"; { printf "PK\\003\\004"; head -c 90000 /dev/urandom; } >Thesis.odt
    ls -l /home/bob /home/bob/Documents'
}
check "bob has documents in his home, /home/bob -> /var/home/bob" bob_has_documents || halt
bob_documents=("Club minutes.txt" Thesis.odt)
# The daemon files a path as it names it: the home as written (/home/bob) or resolved (/var/home/bob).
bob_arrived() {
  local f dir missing=0
  for f in "$@"; do
    for dir in home/bob var/home/bob; do
      cmp -s "$root/var/home/bob/Documents/$f" "$appliance/module/$account_bob/$machine_name/$dir/Documents/$f" &&
        continue 2
    done
    echo "not on the appliance (yet) under $account_bob/$machine_name/{home,var/home}/bob/Documents: $f"
    missing=1
  done
  [ "$missing" = 0 ]
}
check "alice logs out" log_out alice
log_in bob >"$scratch/out" 2>&1 || stop "bob's session starts" "$scratch/out"
wait_for "bob is the person at the screen" 20 at_screen bob || halt
check "bob's account record is written (his, 0600, renamed into place)" write_record bob "$account_bob" || halt
sleep 5
reinitialized_before="$(grep -c receiveReinitializeNotification "$trace")"
pid_before="$(main_pid)"
restarts_before="$(inside systemctl show zorvik-hollin-watcher.service -p NRestarts --value)"
exits_before="$(exits_with_1)"
check "Reinitialize is posted on the system bus as bob (his first log-in in the application)" \
  post_reinitialize bob
taken_again() { [ "$(grep -c receiveReinitializeNotification "$trace")" -gt "$reinitialized_before" ]; }
bobs_home_refused() { # what the daemon was refused in bob's home, to explain a failure
  grep -E "(/home/bob|/var/home/bob).*($refusals)" "$trace" | sort -u | tail -n 3 | sed 's/^/    refused: /'
}
wait_for "the daemon takes it" 15 taken_again || bobs_home_refused
wait_for "the daemon exits with status 1 and systemd starts it again" 30 restarted
wait_for "the documents bob had arrive on the appliance byte for byte" 90 bob_arrived "${bob_documents[@]}" ||
  note "(the daemon does not back up a home reached through a symbolic link)"
check "bob writes a new document" as_user bob sh -c 'head -c 30000 /dev/urandom >~/Documents/Letter.txt'
wait_for "bob's new document arrives on the appliance (his home behind a link)" 60 bob_arrived Letter.txt ||
  note "(the daemon does not follow a home reached through a symbolic link after the initial backup)"
check "bob saves Thesis.odt through a temporary name" as_user bob sh -c 'set -e; cd ~/Documents
  { printf "PK\\003\\004"; head -c 95000 /dev/urandom; } >.~lock.tmp; mv -f .~lock.tmp Thesis.odt'
wait_for "bob's saved Thesis.odt arrives on the appliance (his home behind a link)" 60 bob_arrived Thesis.odt ||
  note "(the daemon does not follow a home reached through a symbolic link after the initial backup)"
check "nothing the daemon needs was refused while it served bob's home (no EPERM, EACCES or EROFS)" \
  nothing_refused ||
  note "(a home under /var: the unit's sandbox makes /var read-only to the daemon)"

# 14. Removal, then purge. Removed, the service is stopped and no longer enabled, and the autostart
# entry dpkg keeps (a conffile, with the administrator's changes) starts nothing. Purged, nothing of
# the package is left outside dpkg's records, logs, caches, /tmp, /run and the homes; no secret stays
# anywhere on the machine's disk (the person's own account record in their home aside), where earlier
# versions kept the appliance password in /etc; and nothing of the application starts at anybody's
# log-in. The people's own support folders are theirs and stay.
secrets=(/etc/passwd.secrets /etc/initialListingPasswd.secrets)
for f in "${secrets[@]}"; do
  [ -e "$root$f" ] && note "before the removal, the service has left $f (uid $(stat -c '%u, mode %a' "$root$f"))"
done
check "apt-get remove -y zorvik-hollin" inside apt-get remove -y -q zorvik-hollin
# Removed, the service is stopped and its unit file gone; the enablement (a link to nothing now) stays
# until the purge, as with every Debian package, so that a reinstall keeps the administrator's choice.
unit_removed() {
  local state load
  state="$(inside systemctl is-active zorvik-hollin-watcher.service 2>&1)"
  load="$(inside systemctl show zorvik-hollin-watcher.service -p LoadState --value 2>&1)"
  echo "is-active: $state; LoadState: $load"
  inside ps -eo comm | grep '^ZorvikHollinWat' && return 1
  [ "$state" = inactive ] && [ "$load" = not-found ]
}
check "the service is stopped and its unit is gone" unit_removed
unit_gone() {
  local state links
  state="$(inside systemctl is-active zorvik-hollin-watcher.service 2>&1)"
  links="$(inside find /etc/systemd/system -name 'zorvik-hollin-watcher*' 2>&1)"
  echo "is-active: $state"; [ -z "$links" ] || echo "left: $links"
  inside ps -eo comm | grep '^ZorvikHollinWat' && return 1
  [ "$state" = inactive ] && [ -z "$links" ]
}
starts_nothing() {
  local user started=0
  for user in "$@"; do
    autostarted "$user" | tee "$scratch/started"
    grep -q 'ZorvikHollin' "$scratch/started" && { echo "$user's desktop would start the removed program"; started=1; }
  done
  [ "$started" = 0 ]
}
kept_entry() { test -f "$root/etc/xdg/autostart/ZorvikHollin.desktop" && starts_nothing alice bob; }
check "the autostart entry kept after the removal starts nothing at log-in" kept_entry
check "apt-get purge -y zorvik-hollin" inside apt-get purge -y -q zorvik-hollin
check "the unit is stopped and no longer enabled" unit_gone
check "/var/lib/ZorvikHollin is gone" test ! -e "$root/var/lib/ZorvikHollin"
nothing_left() {
  local left
  left="$(inside find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /run \
    -o -path /var/lib/dpkg -o -path /var/log -o -path /var/cache -o -path /home -o -path /var/home \
    -o -path /root \) -prune -o \( -iname '*zorvik*' -o -iname '*hollin*' \) -print)"
  [ -z "$left" ] || { echo "left: $left"; return 1; }
  left="$(inside dpkg-query -W -f='${db:Status-Abbrev}' zorvik-hollin 2>/dev/null)"
  echo "dpkg: ${left:-no record}"
  case "$left" in ""|"un "*|"pn "*) return 0 ;; *) return 1 ;; esac
}
check "nothing of the package is left" nothing_left
no_secret_left() {
  local f g
  : >"$scratch/holders"
  # The two files and the temporary files they were written through.
  for f in "${secrets[@]}"; do
    for g in "$root$f" "$root$(dirname "$f")/.$(basename "$f")".??????; do
      [ -e "$g" ] && echo "${g#"$root"}" >>"$scratch/holders"
    done
  done
  # The password, anywhere on the machine's disk and in its /run and /tmp, but in the people's own
  # support folders (their account records).
  grep -rlsF "$password" "$root" "/proc/$leader/root/run" "/proc/$leader/root/tmp" |
    sed "s|^/proc/$leader/root||; s|^$root||" | grep -v '^/\(var/\)\?home/[^/]*/\.local/share/ZorvikHollin/' \
    >>"$scratch/holders"
  sort -u "$scratch/holders"
  [ ! -s "$scratch/holders" ]
}
check "no secret is left: no rsync password file in /etc, the password nowhere on the machine" no_secret_left
check "nothing of the application starts at alice's or bob's log-in" starts_nothing alice bob
check "alice's own support folder stays" \
  test -f "$root/home/alice/.local/share/ZorvikHollin/userDetails.plist"

finish
