#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for a bounded time on a copy of its
# seed corpus in build/fuzz, then prints its executions per second and total executions.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 60). Fails if any target crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [seconds-per-target]" >&2; exit 2; }

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=(read_frame parse_message parse_bridge_file)
declare -A dictionary=([parse_message]=fuzz/json.dict [parse_bridge_file]=fuzz/json.dict)
failed=()
summary=()

stat_of() {  # the value of libFuzzer's final "stat::NAME:" line in a log
  sed -n "s/^stat::$1: *//p" "$2" | tail -n 1
}

for target in "${targets[@]}"; do
  work="build/fuzz/runs/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$work/artifacts/")
  [[ -n "${dictionary[$target]:-}" ]] && options+=(-dict="${dictionary[$target]}")
  echo "== fuzz_$target: $seconds s"
  status=0
  # A hung input is libFuzzer's own timeout (10 s); the outer bound only guards libFuzzer itself.
  timeout --kill-after=30 $((seconds + 120)) \
    "build/fuzz/bin/fuzz_$target" "${options[@]}" "$work/corpus" >"$work/log" 2>&1 || status=$?
  runs="$(stat_of number_of_executed_units "$work/log")"
  rate="$(stat_of average_exec_per_sec "$work/log")"
  summary+=("$(printf '%-22s %8s exec/s %11s executions' \
    "fuzz_$target" "${rate:-?}" "${runs:-?}")")
  if ((status != 0)); then
    failed+=("fuzz_$target")
    echo "fuzz_$target failed with status $status; log $work/log, inputs in $work/artifacts:" >&2
    tail -n 40 "$work/log" >&2
  fi
done

echo "== fuzz summary ($seconds s per target)"
printf '%s\n' "${summary[@]}"
echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if ((${#failed[@]})); then
  echo "crashed: ${failed[*]}" >&2
  exit 1
fi
