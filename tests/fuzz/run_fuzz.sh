#!/bin/sh
# Runs every fuzz target for SECONDS each from a copy of its seed corpus, and prints the number
# of executions. A failing input is printed in base64 with the run that shows the report, and
# the script exits 1. Usage: run_fuzz.sh BUILD_DIR [SECONDS]
set -u
build=$1
seconds=${2:-45}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for t in natoi sprintf svc_args conf_grammar control_request; do
  mkdir -p "$work/$t/corpus" "$work/$t/out"
  cp "$here/corpus/$t/"* "$work/$t/corpus/"
  if (cd "$work/$t/out" && "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" \
        -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 "$work/$t/corpus" >"$work/$t/log" 2>&1); then
    echo "fuzz_$t: $(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t/log") executions in ${seconds} s"
    continue
  fi
  status=1
  echo "fuzz_$t FAILED; its output ends:"
  tail -n 60 "$work/$t/log"
  for f in "$work/$t/out"/*; do
    [ -f "$f" ] || continue
    echo "reproducer $(basename "$f") (base64):"
    base64 "$f"
    echo "the report, shown by running it again:"
    (cd "$work/$t/out" && FUZZ_SHOW_CHECK=1 "$build/tests/fuzz/fuzz_$t" "$f" 2>&1 | tail -n 60)
  done
done
exit $status
