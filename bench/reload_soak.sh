#!/bin/bash
# Reload soak: for every reactor kind, the host with ACE's netsvcs time and logging services and
# a client connected to each, COUNT SIGHUPs INTERVAL seconds apart, then SIGTERM. Prints one
# line per kind with the exit status and the milliseconds the stop took; exits 1 if any kind did
# not exit 0 within 5 s of SIGTERM.
#   bench/reload_soak.sh [STARTER [COUNT [INTERVAL]]]   (defaults: build/starter/starter 200 0.02)
set -u
STARTER=${1:-build/starter/starter}
COUNT=${2:-200}
INTERVAL=${3:-0.02}
LIB=$(ldconfig -p | sed -n 's/^[[:space:]]*libnetsvcs[-.0-9]*\.so[^=]*=> //p' | head -n 1)
[ -n "$LIB" ] || { echo "libnetsvcs not found" >&2; exit 2; }
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
failed=0
for KIND in "select" "tp 2" "tp 4" "tp 8" "priority" "dev_poll 1" "dev_poll 4" "default"; do
  set -- $KIND
  case $1 in
    default) ARGS="" ;;
    *) ARGS="--reactor $1 --threads ${2:-1}" ;;
  esac
  PORT=$(( 30000 + $(od -An -N2 -tu2 /dev/urandom) % 20000 ))
  printf 'dynamic Time_Service Service_Object * %s:_make_ACE_TS_Server_Acceptor() "-p %d"\n' \
    "$LIB" "$PORT" > "$DIR/soak.conf"
  printf 'dynamic Logger Service_Object * %s:_make_ACE_Server_Logging_Acceptor() "-p %d"\n' \
    "$LIB" "$((PORT + 1))" >> "$DIR/soak.conf"
  # shellcheck disable=SC2086
  "$STARTER" $ARGS -f "$DIR/soak.conf" 2> "$DIR/err" &
  PID=$!
  sleep 0.5
  # Clients stay connected through the reloads.
  (exec 3<>/dev/tcp/127.0.0.1/$PORT 4<>/dev/tcp/127.0.0.1/$((PORT + 1)); sleep 600) 2>/dev/null &
  CLIENTS=$!
  i=0
  while [ $i -lt "$COUNT" ] && kill -HUP $PID 2>/dev/null; do
    i=$((i + 1))
    sleep "$INTERVAL"
  done
  START=$(date +%s%N)
  kill -TERM $PID 2>/dev/null
  t=0
  while kill -0 $PID 2>/dev/null && [ $t -lt 1000 ]; do sleep 0.005; t=$((t + 1)); done
  kill -0 $PID 2>/dev/null && kill -KILL $PID
  wait $PID
  RC=$?
  TOOK=$(( ($(date +%s%N) - START) / 1000000 ))
  kill $CLIENTS 2>/dev/null
  echo "$KIND: $i reloads, exit $RC, stop took ${TOOK} ms"
  if [ "$RC" -ne 0 ] || [ "$TOOK" -gt 5000 ]; then
    failed=1
    tail -n 5 "$DIR/err"
  fi
done
exit $failed
