#!/bin/sh
# The Debian package under a real systemd: a fresh Debian 12 root (made with debootstrap once
# and cached), booted with systemd-nspawn on a network of its own, the package installed with
# apt and its declared dependencies, and the unit driven as an operator drives it.
#
# Usage (as root): tests/system/run_real_systemd.sh PATH/starter_VERSION_ARCH.deb
# The test probe service (STARTER_PROBE_LIBRARY, by default the build's beside the package's
# directory) plays a service that crashes the host; without it that step is skipped.
# Exit status 0 when every step passed, or when nspawn cannot boot a container here (said on
# standard output as "SKIPPED: ..."); 1 with "FAIL: ..." when a step failed. Every wait is
# bounded, and the container is always torn down.
set -eu

[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 starter_VERSION_ARCH.deb" >&2; exit 2; }
DEB=$(readlink -f "$1")
PROBE=${STARTER_PROBE_LIBRARY:-$(dirname "$DEB")/../tests/probe/libprobe_service.so}
CACHE=${STARTER_CI_CACHE:-/var/cache/starter-ci}
INCLUDE=systemd,systemd-sysv,dbus,man-db
ROOT_CACHE=$CACHE/bookworm-$(printf %s "$INCLUDE" | md5sum | cut -c1-8)
ARCHIVES=$CACHE/archives
WORK=""
NSPAWN_PID=""
INIT=""

say() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*"; exit 1; }
skip() { printf 'SKIPPED: %s\n' "$*"; exit 0; }

teardown() {
  status=$?
  if [ -n "$NSPAWN_PID" ] && kill -0 "$NSPAWN_PID" 2>/dev/null; then
    if [ -n "$INIT" ]; then
      if [ $status -ne 0 ]; then
        echo "-- journalctl -u starter, last lines:"
        timeout 10 nsenter -t "$INIT" -a journalctl -q -u starter -n 30 --no-pager || true
      fi
      timeout 10 nsenter -t "$INIT" -a systemctl poweroff --no-block >/dev/null 2>&1 || true
    fi
    n=0
    while kill -0 "$NSPAWN_PID" 2>/dev/null && [ $n -lt 30 ]; do sleep 1; n=$((n + 1)); done
    kill -KILL "$NSPAWN_PID" 2>/dev/null || true
    wait "$NSPAWN_PID" 2>/dev/null || true
  fi
  if [ -n "$WORK" ]; then
    if [ $status -ne 0 ] && [ -f "$WORK/console.log" ]; then
      echo "-- the container's console, last lines:"
      tail -n 30 "$WORK/console.log"
    fi
    umount "$WORK/root" 2>/dev/null || true
    rm -rf "$WORK"
  fi
  exit $status
}
trap teardown EXIT
trap 'exit 1' INT TERM HUP

[ "$(id -u)" -eq 0 ] || skip "needs root to make and boot a container"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is not installed (package systemd-container)"

# The mirror of the machine's own apt sources for bookworm, one-line or deb822 style.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
  awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while ($i !~ /\]$/) i++; if ($2 ~ /^\[/) i++;
                     if ($(i + 1) == "bookworm") { print $i; exit } }')
[ -n "$mirror" ] || mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
  awk 'BEGIN { RS = "" } /Suites:[^\n]*[ \t]bookworm([ \t\n]|$)/ {
         if (match($0, /URIs:[ \t]*[^ \t\n]+/)) { s = substr($0, RSTART, RLENGTH);
           sub(/URIs:[ \t]*/, "", s); print s; exit } }')
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

# One run at a time on a machine: they share the cached root and the package archive.
mkdir -p "$CACHE"
exec 9>"$CACHE/lock"
flock -w 1800 9 || fail "another run holds $CACHE/lock"

# The root, made once per machine: several minutes the first time.
if [ ! -x "$ROOT_CACHE/usr/lib/systemd/systemd" ]; then
  command -v debootstrap >/dev/null || fail "debootstrap is not installed"
  say "making the Debian 12 root in $ROOT_CACHE from $mirror"
  rm -rf "$ROOT_CACHE.tmp"
  timeout 1500 debootstrap --variant=minbase --include="$INCLUDE" bookworm "$ROOT_CACHE.tmp" \
    "$mirror" >"$CACHE/debootstrap.log" 2>&1 || { tail -n 20 "$CACHE/debootstrap.log"; fail "debootstrap"; }
  chroot "$ROOT_CACHE.tmp" apt-get clean
  mv "$ROOT_CACHE.tmp" "$ROOT_CACHE"
fi
mkdir -p "$ARCHIVES/partial"

# This run's root: the cached one under a writable layer, or a copy of it.
WORK=$(mktemp -d /var/tmp/starter-systemd.XXXXXX)
mkdir -p "$WORK/upper" "$WORK/work" "$WORK/root"
mount -t overlay overlay -o "lowerdir=$ROOT_CACHE,upperdir=$WORK/upper,workdir=$WORK/work" \
  "$WORK/root" 2>/dev/null || cp -a "$ROOT_CACHE/." "$WORK/root/"
cp "$DEB" "$WORK/root/srv/starter.deb"
chmod 644 "$WORK/root/srv/starter.deb"
[ ! -f "$PROBE" ] || install -m 644 "$PROBE" "$WORK/root/srv/libprobe_service.so"
BIND="--bind=$ARCHIVES:/var/cache/apt/archives"

# The package's dependencies are fetched on the machine's network; the booted container has
# only its own loopback, so the ports it opens meet nobody else's.
say "fetching the dependencies of $(basename "$DEB")"
fetch() {
  timeout 300 systemd-nspawn -q --register=no --keep-unit -D "$WORK/root" "$BIND" \
    env DEBIAN_FRONTEND=noninteractive "$@" </dev/null >"$WORK/fetch.log" 2>&1
}
fetch apt-get install -y -q --download-only /srv/starter.deb ||
  { fetch apt-get update -q && fetch apt-get install -y -q --download-only /srv/starter.deb; } ||
  { cat "$WORK/fetch.log"; fail "apt-get could not fetch the dependencies"; }

say "booting the container"
systemd-nspawn -q --keep-unit --register=no --private-network -b -D "$WORK/root" "$BIND" \
  --console=read-only </dev/null >"$WORK/console.log" 2>&1 &
NSPAWN_PID=$!
n=0
while [ -z "$INIT" ] && [ $n -lt 300 ]; do
  kill -0 "$NSPAWN_PID" 2>/dev/null || { tail -n 20 "$WORK/console.log"; skip "systemd-nspawn cannot boot a container here"; }
  for c in $(cat /proc/"$NSPAWN_PID"/task/*/children 2>/dev/null); do
    [ "$(cat /proc/"$c"/comm 2>/dev/null)" = systemd ] && INIT=$c
  done
  [ -n "$INIT" ] || { sleep 0.1; n=$((n + 1)); }
done
[ -n "$INIT" ] || { tail -n 20 "$WORK/console.log"; skip "no systemd came up in the container in 30 s"; }

# C COMMAND...: runs COMMAND in the container, bounded, with a plain environment.
C() {
  timeout 120 nsenter -t "$INIT" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# Until its manager listens, systemctl cannot connect: try again, boundedly.
n=0
while state=$(C systemctl is-system-running --wait 2>&1); [ $n -lt 60 ]; do
  case "$state" in *"connect to bus"*) sleep 0.5; n=$((n + 1)) ;; *) break ;; esac
done
case "$state" in
  running | degraded) say "the container's systemd is $state" ;;
  *) skip "the container's systemd did not come up: '$state'" ;;
esac

# show PROPERTY: the unit's property, as systemctl shows it.
show() { C systemctl show -p "$1" --value starter.service; }
# answers PORT: a TCP connection to the container's loopback PORT is accepted.
answers() { C bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }
# wait_for WHAT TEST...: up to 30 s for TEST to pass.
wait_for() {
  what=$1
  shift
  n=0
  until "$@"; do
    [ $n -lt 150 ] || fail "$what: not within 30 s"
    sleep 0.2
    n=$((n + 1))
  done
}
expect_status() {
  text=$(show StatusText)
  echo "   StatusText=$text"
  case "$text" in *"$1"*) ;; *) fail "StatusText is not '$1'" ;; esac
}
active() { [ "$(show ActiveState)" = active ]; }

say "apt-get install /srv/starter.deb"
C env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /srv/starter.deb \
  >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "apt-get install"; }
grep -E "^(Setting up|Unpacking) " "$WORK/install.log" | sed 's/^/   /'
user=$(C id starter) || fail "no user starter"
echo "   $user"
echo "   after the install: $(C systemctl is-enabled starter), $(show ActiveState)"
C man -P cat starter 2>/dev/null | grep -q -- "--reload-wait" || fail "man starter"
echo "   man starter: $(C man -P cat starter 2>/dev/null | grep -c .) lines"

say "systemctl stop starter, systemctl start starter (fresh install: nothing configured)"
C systemctl stop starter || fail "systemctl stop on a fresh install"
C systemctl start starter || fail "systemctl start on a fresh install"
active || fail "not active"
expect_status "0 services open"
pid=$(show MainPID)
echo "   MainPID=$pid runs as $(C stat -c %U "/proc/$pid") with CapEff=$(C grep CapEff "/proc/$pid/status" | cut -f2)"
[ "$(C stat -c %U "/proc/$pid")" = starter ] || fail "the host does not run as starter"
echo "   $(C systemd-analyze security starter.service | tail -n 1)"

say "the time and name services dropped in, systemctl reload starter"
C cp /usr/share/doc/starter/examples/conf.d/10-time.conf \
  /usr/share/doc/starter/examples/conf.d/20-name.conf /etc/starter/conf.d/
C systemctl reload starter || fail "systemctl reload on a good configuration"
answers 20222 || fail "the time service does not answer on 20222"
answers 20006 || fail "the name service does not answer on 20006"
echo "   ports 20222 and 20006 answer"
expect_status "2 services open"

say "starterctl status, as root"
C starterctl status >"$WORK/status.log" 2>&1 || { cat "$WORK/status.log"; fail "starterctl status"; }
sed 's/^/   /' "$WORK/status.log"
grep -q "Time_Service .* active .*/etc/starter/conf.d/10-time.conf:" "$WORK/status.log" ||
  fail "starterctl status does not show the time service with its directive"
C man -P cat starterctl 2>/dev/null | grep -q "restart" || fail "man starterctl"

say "a configuration with an error, systemctl reload starter"
C sh -c 'echo "dynamic Broken Service_Object * libnetsvcs-no-such.so:_make_Broken() \"\"" \
  >/etc/starter/conf.d/20-broken.conf'
if C systemctl reload starter >"$WORK/reload.log" 2>&1; then fail "the reload of a broken configuration succeeded"; fi
sed 's/^/   /' "$WORK/reload.log"
active || fail "not active after a refused reload"
answers 20222 || fail "the time service stopped answering after a refused reload"
echo "   port 20222 still answers"
expect_status "Reload refused: 1 error"

say "journalctl -u starter -p err, and the same records at their priorities"
C journalctl -q -u starter -p err -o cat --no-pager | sed 's/^/   /'
errs=$(C journalctl -q -u starter -p err..err -o cat --no-pager)
case "$errs" in *"20-broken.conf:1:"*"Reload refused"*) ;; *) fail "the errors are not at error priority" ;; esac
[ "$(printf '%s\n' "$errs" | grep -c "20-broken.conf:1:")" -eq 1 ] || fail "a refused reload's problem is not once at error priority"
infos=$(C journalctl -q -u starter -p info..info -o cat --no-pager)
case "$infos" in *"is started"*"Reloaded: 2 services open"*) ;; *) fail "the banner and reload are not at info" ;; esac
case "$infos" in *"Reload refused"*) fail "an error record at info priority" ;; esac
C journalctl -q -u starter -o verbose --no-pager | grep -c "PRIORITY=3" | sed 's/^/   records with PRIORITY=3: /'
C rm /etc/starter/conf.d/20-broken.conf
C systemctl reload starter || fail "systemctl reload after the fix"

say "a service that faults 200 ms after it opens, beside the time service"
# The name service stays configured beside it: its memory pool handles SIGSEGV itself, and the
# host's crash record (what the quarantine counts) must come out all the same.
if C test -f /srv/libprobe_service.so; then
  restarts=$(show NRestarts)
  C sh -c 'echo "dynamic Crasher Service_Object * /srv/libprobe_service.so:_make_Probe_Service() \"-o /tmp/crasher.rec -n Crasher -t 200 -C null\"" \
    >/etc/starter/conf.d/40-crash.conf'
  # The host may die before the reload's answer: the restarts are what is watched.
  C systemctl reload starter >/dev/null 2>&1 || true
  quarantined() { active && C starterctl status 2>/dev/null | grep -q "^Crasher .* quarantined"; }
  quarantined || sleep 5
  quarantined || { C starterctl status; C journalctl -q -u starter -n 15 -o cat --no-pager; }
  wait_for "Crasher quarantined" quarantined
  n=$(($(show NRestarts) - restarts))
  echo "   after $n restarts: $(show ActiveState)"
  [ $n -le 3 ] || fail "$n restarts before the quarantine"
  answers 20222 || fail "the time service does not answer beside the quarantined service"
  C starterctl status | grep -A1 "^Crasher" | sed 's/^/   /'
  expect_status "quarantined: Crasher"
  C journalctl -q -u starter -p err..err -o cat --no-pager | grep -m1 "service Crasher is quarantined" |
    sed 's/^/   /' || fail "no quarantine record at error priority"
  # systemd's start limit counts 5 starts within 10 s.
  sleep 10
  restarts=$(show NRestarts)
  C starterctl release Crasher | sed 's/^/   /'
  C systemctl reload starter >/dev/null 2>&1 || true
  crashed() { [ "$(show NRestarts)" -gt "$restarts" ]; }
  wait_for "the released service crashing the host again" crashed
  wait_for "Crasher quarantined again" quarantined
  echo "   released and reloaded: it crashed the host again; NRestarts $restarts -> $(show NRestarts), quarantined again, $(show ActiveState)"
  C rm /etc/starter/conf.d/40-crash.conf
  C systemctl reload starter || fail "systemctl reload without the crashing service"
else
  echo "   skipped: no probe library ($PROBE)"
fi

say "a port below 1024 (drop-in) and host options from /etc/default/starter"
C grep -q '^STARTER_OPTIONS=""$' /etc/default/starter || fail "/etc/default/starter sets no empty STARTER_OPTIONS"
C mkdir -p /etc/systemd/system/starter.service.d
C sh -c 'cat >/etc/systemd/system/starter.service.d/low-port.conf' <<'EOF'
[Service]
AmbientCapabilities=CAP_NET_BIND_SERVICE
CapabilityBoundingSet=CAP_NET_BIND_SERVICE
# Short, so that the watchdog step below takes seconds.
WatchdogSec=3s
TimeoutAbortSec=5s
EOF
C sh -c 'sed "s/-p 20222/-p 37/; s/Time_Service/Low_Time_Service/" /etc/starter/conf.d/10-time.conf \
  >/etc/starter/conf.d/30-low.conf'
C sed -i 's/^STARTER_OPTIONS=""$/STARTER_OPTIONS="--capability net_bind_service --reload changed"/' \
  /etc/default/starter
C systemctl daemon-reload
C systemctl restart starter || fail "restart with the low-port drop-in"
answers 37 || fail "no service on port 37"
C starterctl --json status >"$WORK/status.json" 2>&1 || { cat "$WORK/status.json"; fail "starterctl --json status"; }
grep -q '"reload_mode": "changed"' "$WORK/status.json" ||
  { grep reload_mode "$WORK/status.json"; fail "STARTER_OPTIONS=--reload changed is not the running reload mode"; }
echo "   starterctl --json status: $(grep -o '"reload_mode": "[a-z]*"' "$WORK/status.json")"
C systemctl reload starter || fail "systemctl reload with --reload changed"
C journalctl -q -u starter -o cat --no-pager | grep -q "Reloaded: 0 opened, 0 re-opened, 0 removed" ||
  fail "the reload was not one of what changed"
pid=$(show MainPID)
caps=$(C grep -E "^Cap(Eff|Amb)" "/proc/$pid/status" | tr '\t\n' '= ')
echo "   port 37 answers; $caps"
case "$caps" in *"CapEff:=0000000000000400"*"CapAmb:=0000000000000000"*) ;; *) fail "capabilities: $caps" ;; esac

say "the watchdog: the host stopped with SIGSTOP"
restarts=$(show NRestarts)
C systemctl kill --kill-who=main -s SIGSTOP starter
restarted() { [ "$(show NRestarts)" -gt "$restarts" ]; }
wait_for "a restart by the watchdog" restarted
wait_for "active again" active
echo "   NRestarts $restarts -> $(show NRestarts), MainPID $pid -> $(show MainPID)"
C journalctl -q -u starter -o cat --no-pager | grep -m1 -i "watchdog timeout" | sed 's/^/   /' ||
  fail "no watchdog timeout in the journal"
answers 20222 || fail "the restarted host does not answer on 20222"

say "one version, and the journal's records once each"
dpkg_version=$(C dpkg-query -W -f '${Version}' starter)
ctl_version=$(C starterctl --version) || fail "starterctl --version"
host_version=$(C starter --version) || fail "starter --version"
status_line=$(C starterctl status | head -n 1)
echo "   dpkg: $dpkg_version; starterctl: $ctl_version; starter: $host_version; status: $status_line"
for v in "$ctl_version" "$host_version" "$status_line"; do
  case "$v" in *" $dpkg_version "*) ;; *) fail "'$v' does not say the package's version $dpkg_version" ;; esac
done
C journalctl -q -u starter -o cat --no-pager >"$WORK/journal.log"
starts=$(grep -c "is started" "$WORK/journal.log")
notifies=$(grep -c "Notify systemd every" "$WORK/journal.log")
echo "   $starts starts, $notifies \"Notify systemd every\" records"
[ "$starts" -gt 1 ] && [ "$notifies" -eq "$starts" ] || fail "\"Notify systemd every\" is not once per start"

# repack N: the package under test as version VERSION+upN, in the container as /srv/upN.deb.
repack() {
  rm -rf "$WORK/repack"
  dpkg-deb -R "$DEB" "$WORK/repack"
  sed -i "s/^Version: .*/&+up$1/" "$WORK/repack/DEBIAN/control"
  dpkg-deb -b "$WORK/repack" "$WORK/root/srv/up$1.deb" >/dev/null
  chmod 644 "$WORK/root/srv/up$1.deb"
}
upgrade() { C env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/srv/up$1.deb"; }

say "a client every 5 ms across 3 x systemctl restart starter and an upgrade: nothing refused"
C sh -c 'cat >/srv/client.sh' <<'CLIENT'
#!/bin/bash
# Connects to the time service until /run/client.stop appears; counts accepted and refused.
ok=0 refused=0
while [ ! -e /run/client.stop ]; do
  if { exec 3<>/dev/tcp/127.0.0.1/20222; } 2>/dev/null; then ok=$((ok + 1)); exec 3>&-
  else refused=$((refused + 1)); fi
  sleep 0.005
done
echo "$ok $refused" >/run/client.out
CLIENT
C rm -f /run/client.stop /run/client.out
C sh -c 'setsid bash /srv/client.sh </dev/null >/dev/null 2>&1 &'
for i in 1 2 3; do
  sleep 1
  C systemctl restart starter || fail "systemctl restart $i"
done
echo "   stored descriptors: $(show NFileDescriptorStore)"
repack 1
sleep 1
upgrade 1 >"$WORK/upgrade.log" 2>&1 || { cat "$WORK/upgrade.log"; fail "the upgrade"; }
sleep 1
C touch /run/client.stop
wait_for "the client's count" C test -s /run/client.out
counts=$(C cat /run/client.out)
ok=${counts% *}
refused=${counts#* }
echo "   connections: $ok accepted, $refused refused; now $(C dpkg-query -W -f '${Version}' starter)"
[ "$ok" -gt 0 ] && [ "$refused" -eq 0 ] || fail "$refused connections refused"

say "an upgrade over a configuration with an error: the running host goes on"
pid=$(show MainPID)
C sh -c 'echo "dynamic Broken Service_Object * libnetsvcs-no-such.so:_make_Broken() \"\"" \
  >/etc/starter/conf.d/20-broken.conf'
repack 2
upgrade 2 >"$WORK/upgrade.log" 2>&1 || { cat "$WORK/upgrade.log"; fail "the upgrade over an error"; }
grep -A1 "20-broken.conf:1:" "$WORK/upgrade.log" | sed 's/^/   /'
grep -q "was not restarted" "$WORK/upgrade.log" || { cat "$WORK/upgrade.log"; fail "the upgrade did not say why"; }
[ "$(show MainPID)" = "$pid" ] || fail "the host was restarted over a broken configuration"
active || fail "not active after the upgrade over an error"
answers 20222 || fail "the time service stopped answering after the upgrade over an error"
echo "   MainPID $pid still serves on 20222"
C rm /etc/starter/conf.d/20-broken.conf
C systemctl restart starter || fail "systemctl restart after the fix"

say "systemctl stop starter"
C systemctl stop starter || fail "systemctl stop"
result=$(show Result)
echo "   Result=$result ActiveState=$(show ActiveState)"
[ "$result" = success ] || fail "Result=$result"

say "apt-get purge starter"
C env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q starter >"$WORK/purge.log" 2>&1 ||
  { cat "$WORK/purge.log"; fail "apt-get purge"; }
C test ! -e /usr/lib/systemd/system/starter.service || fail "the unit is still there"
C test ! -e /etc/starter/conf.d/00-example.conf || fail "the conffile is still there"
C test ! -e /etc/default/starter || fail "/etc/default/starter is still there"
echo "   unit: $(C systemctl show -p LoadState --value starter)"
say "passed"
