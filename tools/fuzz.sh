#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: Clang 14, ASan + UBSan) and
# runs each one for a bounded time on a scratch copy of its seed corpus, so the
# committed corpus never grows. Prints the executions of every target and fails
# when any target crashes, leaks, times out or runs out of memory.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [NAME...]
#
# SECONDS_PER_TARGET defaults to 20; NAMEs (e.g. `guid` for fuzz/guid_fuzzer.cpp)
# restrict the run to those targets. A target's dictionary of tokens, if it has
# one, is fuzz/<name>.dict. Reproducers of failures are kept in
# build/fuzz/crashes/ (outside version control) with the target's log beside them.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
  echo "usage: $0 [SECONDS_PER_TARGET] [NAME...]" >&2
  exit 2
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"${FUZZ_BUILD_JOBS:-2}"

bin=build/fuzz/fuzz
crashes=build/fuzz/crashes
mkdir -p "$crashes"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The targets are the sources, not whatever binaries an older build left.
names=("$@")
if ((${#names[@]} == 0)); then
  for source in fuzz/*_fuzzer.cpp; do
    [[ -e $source ]] || continue
    stem=${source##*/}
    names+=("${stem%_fuzzer.cpp}")
  done
fi
targets=()
for name in "${names[@]}"; do targets+=("$bin/fuzz_$name"); done
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets (fuzz/*_fuzzer.cpp) to run"
  exit 0
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
printf '%-24s %12s %10s  %s\n' target executions corpus result
for exe in "${targets[@]}"; do
  name=${exe##*/fuzz_}
  if [[ ! -x $exe ]]; then
    echo "$name: no such fuzz target ($exe)" >&2
    failed+=("$name")
    continue
  fi
  corpus=$work/$name
  mkdir -p "$corpus"
  if [[ -d fuzz/corpus/$name ]]; then
    cp -R "fuzz/corpus/$name/." "$corpus/"
  fi
  dictionary=()
  if [[ -f fuzz/$name.dict ]]; then
    dictionary=(-dict="fuzz/$name.dict")
  fi
  log=$work/$name.log
  status=0
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 "${dictionary[@]}" \
    -artifact_prefix="$crashes/$name-" "$corpus" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  units=$(find "$corpus" -type f | wc -l)
  if ((status == 0)); then
    result=ok
  else
    result="FAILED (exit $status)"
    failed+=("$name")
    cp "$log" "$crashes/$name.log"
  fi
  printf '%-24s %12s %10s  %s\n' "$name" "${executions:-?}" "$units" "$result"
  if ((status != 0)); then
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|artifact_prefix|Test unit written)' "$log" | head -n 20 | sed 's/^/    /'
    echo "    log: $crashes/$name.log"
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} target(s), ${seconds} s each, no faults"
