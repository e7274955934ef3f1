#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR, starting from the seeds its own <target>_seeds
# program writes.
#   explore mode, BUDGET = SECONDS: each target runs that long from its seeds plus the corpus
#     kept from earlier runs, which it grows; every run walks a new random path.
#   replay mode, BUDGET = "runs:N": each target executes N inputs from its seeds alone with a
#     fixed random seed, so a run is repeatable: the same build finds the same things on any
#     machine. This is the mode a CI gate uses.
# Usage: fuzz/run.sh BUILD_DIR BUDGET [target ...]   (default: every fuzz/*_fuzz.cpp)
# Exits non-zero on the first crash, hang, leak or broken invariant, printing the reproducer.
set -euo pipefail
build_dir=$1
budget=$2
shift 2
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  set -- $(ls fuzz/*_fuzz.cpp | xargs -n1 basename | sed 's/\.cpp$//')
fi

summary=()
for target in "$@"; do
  seeds=$build_dir/seeds/$target
  if [[ $budget == runs:* ]]; then
    corpus=$build_dir/replay-corpus/$target
    rm -rf "$corpus"
    limits=(-runs="${budget#runs:}" -seed=1)
  else
    corpus=$build_dir/corpus/$target
    limits=(-max_total_time="$budget")
  fi
  artifacts=$build_dir/artifacts/$target
  log=$build_dir/logs/$target.log
  rm -rf "$seeds"
  mkdir -p "$seeds" "$corpus" "$artifacts" "$(dirname "$log")"
  "$build_dir/${target}_seeds" "$seeds"
  echo "fuzzing $target (${budget})"
  # -timeout: one input taking longer is a hang; -rss_limit_mb bounds memory per run.
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build_dir/$target" "${limits[@]}" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FUZZ FAILURE in $target; reproducer(s):"
    ls -l "$artifacts"
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | awk '{print $2}')
  summary+=("$(printf '%-40s %10s execs  cov %s' "$target" "${runs:-?}" "${cov:-?}")")
done
printf '%s\n' "${summary[@]}"
