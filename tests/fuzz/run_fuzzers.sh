#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on a copy of its corpus, so the
# repository's corpus is never written to; fails when any target finds a
# crash or a broken property, keeping the input under BUILD/fuzz-artifacts.
# Usage: tests/fuzz/run_fuzzers.sh BUILD [SECONDS_PER_TARGET]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

status=0
for target in stream_header settings forward_queue; do
  mkdir "$work/$target"
  cp "$here/corpus/$target/"* "$work/$target/"
  echo "==> $target: ${seconds}s on $(ls "$work/$target" | wc -l) corpus files"
  if "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -dict="$here/$target.dict" -artifact_prefix="$build/fuzz-artifacts/$target-" \
      -print_final_stats=1 "$work/$target" 2>"$work/$target.log"; then
    grep -E '^#[0-9]+[[:space:]]+DONE|stat::(number_of_executed_units|average_exec_per_sec)' "$work/$target.log"
  else
    tail -n 40 "$work/$target.log"
    echo "==> $target FAILED: the input is in $build/fuzz-artifacts/"
    status=1
  fi
done
exit $status
