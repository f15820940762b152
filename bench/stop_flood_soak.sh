#!/bin/bash
# Stop during a SIGHUP flood: for every reactor kind, RUNS times, the host with ACE's name
# service (which gives SIGHUP back its default action when it is finalised) and the time
# service, a stream of SIGHUPs from before the SIGTERM until the host has ended. Prints one line
# per kind with the runs, the deaths by SIGHUP and the other non-zero statuses; exits 1 if any
# run did not exit 0.
#   bench/stop_flood_soak.sh [STARTER [RUNS]]   (defaults: build/starter/starter 100)
set -u
STARTER=${1:-build/starter/starter}
RUNS=${2:-100}
LIB=$(ldconfig -p | sed -n 's/^[[:space:]]*libnetsvcs[-.0-9]*\.so[^=]*=> //p' | head -n 1)
[ -n "$LIB" ] || { echo "libnetsvcs not found" >&2; exit 2; }
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
failed=0
for KIND in "select" "tp 4" "priority" "dev_poll 1" "default"; do
  set -- $KIND
  case $1 in
    default) ARGS="" ;;
    *) ARGS="--reactor $1 --threads ${2:-1}" ;;
  esac
  PORT=$(( 30000 + $(od -An -N2 -tu2 /dev/urandom) % 20000 ))
  printf 'dynamic Name_Server Service_Object * %s:_make_ACE_Name_Acceptor() "-p 0"\n' \
    "$LIB" > "$DIR/flood.conf"
  printf 'dynamic Time_Service Service_Object * %s:_make_ACE_TS_Server_Acceptor() "-p %d"\n' \
    "$LIB" "$PORT" >> "$DIR/flood.conf"
  deaths=0
  other=0
  for _ in $(seq "$RUNS"); do
    # shellcheck disable=SC2086
    "$STARTER" $ARGS -f "$DIR/flood.conf" 2> "$DIR/err" &
    PID=$!
    # Flood only a host that has started: before its handlers exist SIGHUP kills any process.
    for _ in $(seq 100); do grep -q "is started" "$DIR/err" && break; sleep 0.05; done
    # The pid stays the host's until it is reaped below, so the flood never hits another process.
    ( while kill -HUP "$PID" 2> /dev/null; do :; done ) &
    FLOOD=$!
    sleep 0.05
    kill -TERM "$PID" 2> /dev/null
    wait "$PID"
    STATUS=$?
    kill "$FLOOD" 2> /dev/null
    wait "$FLOOD" 2> /dev/null
    if [ "$STATUS" != 0 ]; then
      if [ "$STATUS" = 129 ]; then deaths=$((deaths + 1)); else other=$((other + 1)); fi
      echo "  status $STATUS after: $(tail -n 2 "$DIR/err" | tr '\n' '|')"
    fi
  done
  printf '%-12s runs=%d sighup_deaths=%d other_nonzero=%d\n' "$KIND" "$RUNS" "$deaths" "$other"
  [ "$deaths" = 0 ] && [ "$other" = 0 ] || failed=1
done
exit $failed
