#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one for a fixed time over
# seeds cut from the fixture images, plus every input that ever crashed it
# (tests/fuzz_regressions/<target>/). Fails when any target crashes, leaks, hangs past
# the timeout or passes the memory limit; the input that did it is left in
# BUILD/crashes/<target>/ — copy it into tests/fuzz_regressions/<target>/ with the fix.
#
# Environment:
#   VELK_FUZZ_SECONDS    seconds per target (default 20)
#   VELK_FUZZ_TARGETS    space-separated subset of targets (default: all)
#   VELK_FUZZ_BUILD_DIR  build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_packages build fuzz

build=${VELK_FUZZ_BUILD_DIR:-build-fuzz}
seconds=${VELK_FUZZ_SECONDS:-20}
started=$(date +%s)

# "Fuzz" is a build type of its own so that no Debug/Release flags mix with the fuzz flags.
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Fuzz \
  -DVELK_BUILD_FUZZ=ON -DVELK_BUILD_TESTS=OFF -DVELK_BUILD_GUI=OFF -DVELK_SANITIZE=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target velk_fuzz
built=$(date +%s)

# The test build has the fixture images unpacked already (CI runs it first).
images="$build/fixtures"
[ -d "${VELK_TEST_BUILD_DIR:-build-test}/fixtures" ] && images="${VELK_TEST_BUILD_DIR:-build-test}/fixtures"
bash tools/fuzz_corpus.sh "$build/corpus/seeds" "$images"

if [ -n "${VELK_FUZZ_TARGETS:-}" ]; then
  targets=$VELK_FUZZ_TARGETS
else
  targets=$(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
summary=""
for target in $targets; do
  name=${target%_fuzz}
  work="$build/corpus/work/$name"
  crashes="$build/crashes/$name"
  log="$build/logs/$name.log"
  mkdir -p "$work" "$crashes" "$build/logs" "$build/corpus/seeds/$name"
  dirs=("$work" "$build/corpus/seeds/$name")
  [ -d "tests/fuzz_regressions/$name" ] && dirs+=("tests/fuzz_regressions/$name")
  echo "fuzz: $name for ${seconds}s" >&2
  if "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "${dirs[@]}" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$name")
    grep -E "ERROR|SUMMARY|Test unit written|==[0-9]+==" "$log" | head -20 >&2 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=$(printf '%-18s %-7s %10s runs\n' "$name" "$status" "${runs:-?}")$'\n'
done

finished=$(date +%s)
echo "fuzz targets (${seconds}s each; build $((built - started))s, total $((finished - started))s):"
printf '%s' "$summary"
total=$(echo $targets | wc -w)
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: ${#failed[@]} of $total targets failed: ${failed[*]}"
  echo "crashing inputs are in $build/crashes/<target>/ (logs in $build/logs/)" >&2
  exit 1
fi
echo "fuzz: all $total targets ran clean"
