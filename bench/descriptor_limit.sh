#!/bin/bash
# At the descriptor limit: hosts the echo template under `ulimit -n 256`, connects 400 clients
# (they hold their connections 40 s), then prints the host's CPU time over 10 s (from
# /proc/PID/stat), the "cannot accept" records and how long `starterctl status` took.
# usage: bench/descriptor_limit.sh BUILD_DIR [PORT [host options...]]
#   bench/descriptor_limit.sh build 20931 --reactor tp --threads 4
set -u
B=$(realpath "$1"); PORT=${2:-20931}; shift; [ $# -gt 0 ] && shift
D=$(mktemp -d)
trap 'rm -rf "$D"' EXIT
echo "dynamic Echo Service_Object * $B/examples/echo_service/libecho_service.so:_make_Echo_Service() \"-p $PORT -r 0\"" >"$D/echo.conf"
(ulimit -n 256; exec "$B/starter/starter" "$@" --control "$D/ctl" -f "$D/echo.conf" 2>"$D/err") &
PID=$!
sleep 1
python3 - "$PORT" <<'PY' &
import resource, socket, sys, threading, time
resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
held = []
def one():
    c = socket.socket(); c.settimeout(30)
    try: c.connect(("127.0.0.1", int(sys.argv[1])))
    except OSError: pass
    held.append(c)
for t in [threading.Thread(target=one) for _ in range(400)]: t.start()
time.sleep(40)
PY
CLIENTS=$!
sleep 14
ticks() { awk '{print $14 + $15}' "/proc/$PID/stat"; }
t0=$(ticks); sleep 10; t1=$(ticks)
echo "descriptors: $(ls "/proc/$PID/fd" | wc -l); CPU: $((t1 - t0)) ticks in 10 s ($(getconf CLK_TCK) a second)"
s=$(date +%s); "$B/starter/starterctl" --control "$D/ctl" status >/dev/null 2>&1
echo "starterctl status: exit $?, after $(( $(date +%s) - s )) s"
kill -TERM $PID; wait $PID; echo "host: exit $?"
kill $CLIENTS 2>/dev/null; wait $CLIENTS 2>/dev/null
echo "records:"; grep "cannot accept" "$D/err" | sed 's/^/  /'
