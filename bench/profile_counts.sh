#!/bin/bash
# Counts that do not depend on the machine's load, the host beside ace_netsvcs (and a baseline
# build of the host) on the same configurations: instructions (callgrind) of the start-up (spawn
# to the last port accepting and one connection) and of the stop (SIGINT to exit), system calls
# (strace -c -f) and page faults of a whole run, and the resident kilobytes of the executable's
# own mappings 1.3 s after start-up.
#
#   bench/profile_counts.sh [--host PATH] [--peer PATH] [--baseline PATH] [--conf-files N]
#                           [--services N] [--only one|many|conf]
#
# Needs valgrind, strace and GNU time. valgrind keeps the last real-time signal for itself,
# where the host's stop deadline lives: a preloaded shim moves it one down, for every side alike.
set -eu

host=build/starter/starter
peer=/usr/bin/ace_netsvcs
baseline=
conf_files=10000
services=1000
only=
while [ $# -gt 0 ]; do
  case "$1" in
    --host) host=$2; shift 2 ;;
    --peer) peer=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    --conf-files) conf_files=$2; shift 2 ;;
    --services) services=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: $0 [--host PATH] [--peer PATH] [--baseline PATH] [--conf-files N]" \
            "[--services N] [--only one|many|conf]" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d /tmp/profile_counts.XXXXXX)
trap 'rm -rf "$work"' EXIT
printf 'int __libc_current_sigrtmax(void) { return 63; }\n' > "$work/rtmax.c"
cc -shared -fPIC -O2 -o "$work/rtmax.so" "$work/rtmax.c"

base_port=$((20000 + RANDOM % 20000))
line() {  # line PORT INDEX: one time service
  local suffix=""
  [ "$2" -gt 0 ] && suffix="_$2"
  echo "dynamic Time_Service$suffix Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p $1\""
}
line "$base_port" 0 > "$work/one.conf"
for i in $(seq 0 $((services - 1))); do line $((base_port + 1 + i)) "$i"; done > "$work/many.conf"
last_many=$((base_port + services))
mkdir "$work/conf.d"
for i in $(seq -f %05g 0 $((conf_files - 1))); do
  echo "# nothing to load here" > "$work/conf.d/c$i.conf"
done
line $((last_many + 1)) 0 > "$work/conf.d/zz-services.conf"

wait_port() {  # wait_port PORT PID: until PORT accepts a connection, or PID ends
  for _ in $(seq 1 6000); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# Arguments of side $1 (host|peer) for configuration $2 (one|many|conf).
args_of() {
  case "$2" in
    one) echo "-f $work/one.conf" ;;
    many) echo "-f $work/many.conf" ;;
    conf)
      if [ "$1" = peer ]; then
        find "$work/conf.d" -name '*.conf' | LC_ALL=C sort | sed 's/^/-f /' | tr '\n' ' '
      else
        echo "-f $work/conf.d"
      fi ;;
  esac
}

port_of() {
  case "$1" in one) echo "$base_port" ;; many) echo "$last_many" ;; conf) echo $((last_many + 1)) ;; esac
}

# Start-up and stop instructions: a dump once the last port accepts, then SIGINT.
instructions() {  # instructions BINARY KIND CONF
  local out="$work/cg" pid
  rm -f "$out" "$out".*
  # shellcheck disable=SC2046
  LIBSYSTEMD_FILENAME=0 LD_PRELOAD="$work/rtmax.so" valgrind --tool=callgrind \
    --callgrind-out-file="$out" "$1" $(args_of "$2" "$3") >/dev/null 2>&1 &
  pid=$!
  wait_port "$(port_of "$3")" $pid || { echo "- -"; return; }
  # The probe's connection is served (and logged) before the dump, not counted in the stop.
  sleep 2
  callgrind_control -d $pid >/dev/null 2>&1
  sleep 0.5
  kill -INT $pid
  wait $pid || true
  echo "$(awk '/^(summary|totals):/ {print $2; exit}' "$out.1") $(awk '/^(summary|totals):/ {print $2; exit}' "$out")"
}

# System calls, page faults and the executable's resident kilobytes of one run.
calls() {  # calls BINARY KIND CONF
  local pid exe rss
  # shellcheck disable=SC2046
  LIBSYSTEMD_FILENAME=0 strace -f -c -o "$work/st" "$1" $(args_of "$2" "$3") >/dev/null 2>&1 &
  pid=$!
  wait_port "$(port_of "$3")" $pid || true
  sleep 1.3  # the host lets go of its start-up's pages a second after its loop runs
  pkill -INT -P $pid || true
  wait $pid || true
  # shellcheck disable=SC2046
  LIBSYSTEMD_FILENAME=0 /usr/bin/time -f "%R" -o "$work/time" "$1" $(args_of "$2" "$3") \
    >/dev/null 2>&1 &
  pid=$!
  wait_port "$(port_of "$3")" $pid || true
  sleep 1.3  # the host lets go of its start-up's pages a second after its loop runs
  local child
  child=$(pgrep -P $pid | head -1)
  exe=$(readlink "/proc/$child/exe")
  rss=$(awk -v exe="$exe" '/^[0-9a-f]+-[0-9a-f]+ / {cur=$6} /^Rss:/ {if (cur == exe) t += $2}
                           END {print t}' "/proc/$child/smaps")
  kill -INT "$child"
  wait $pid || true
  echo "$(awk '$NF == "total" {print $(NF-2)}' "$work/st") $(cat "$work/time") $rss"
}

printf '%-5s %-9s %14s %12s %9s %8s %11s\n' config side start-up_Ir stop_Ir syscalls faults exe_rss_kB
for conf in one many conf; do
  [ -n "$only" ] && [ "$only" != "$conf" ] && continue
  for side in host peer baseline; do
    bin=$host kind=host
    [ "$side" = peer ] && bin=$peer kind=peer
    if [ "$side" = baseline ]; then
      [ -n "$baseline" ] || continue
      bin=$baseline
    fi
    read -r s t <<<"$(instructions "$bin" $kind $conf)"
    read -r c f r <<<"$(calls "$bin" $kind $conf)"
    printf '%-5s %-9s %14s %12s %9s %8s %11s\n' $conf $side "$s" "$t" "$c" "$f" "$r"
  done
done
