#!/usr/bin/env bash
# Native build and runs of the byte-level template logic (clang, ASan, UBSan).
#   run.sh build   <build dir>                       configure and build
#   run.sh unit    <build dir>                       the unit tests
#   run.sh fuzz    <build dir> <corpus> [runs]       every fuzz target, 1,000,000 inputs each by default
#   run.sh compare <build dir> <corpus> <digest>     native replay against the Windows replay's digest
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cmd="${1:?command}"
build="${2:?build dir}"
targets=(value_rule line_pieces settings_reader repository_rewrite)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

case "$cmd" in
build)
  # Compilers chosen here: the Windows build tree's toolchain must not leak in.
  env -u CC -u CXX cmake -S "$here/native" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  if ! cmake --build "$build" -j2 >"$build/build.log" 2>&1; then
    grep -E "error|warning" "$build/build.log" || tail -30 "$build/build.log"
    exit 1
  fi
  for t in template_bytes_tests template_replay_native "${targets[@]/#/fuzz_}"; do
    [ -x "$build/$t" ] || { echo "run.sh: $t was not built"; exit 1; }
  done
  ;;
unit)
  # A reader that loops for ever fails here in a minute, saying so.
  rc=0
  timeout 60 "$build/template_bytes_tests" --gtest_brief=1 || rc=$?
  [ "$rc" -ne 124 ] || echo "run.sh: the native unit tests did not finish within 60 s"
  exit "$rc"
  ;;
fuzz)
  corpus="${3:?corpus}"
  runs="${4:-1000000}"
  work="$build/fuzz-work"
  mkdir -p "$work"
  # Bytes per input: a piece is at most 511 bytes, and inputs somewhat longer
  # still cut a line into pieces; longer ones only cost time.
  declare -A max_len=([value_rule]=512 [line_pieces]=600 [settings_reader]=600 [repository_rewrite]=600)
  run_target() {
    local t="$1" log="$work/$1.log" start rc=0
    # New inputs go to a scratch folder; the committed seeds are only read.
    rm -rf "${work:?}/$t"
    mkdir -p "$work/$t"
    start=$(date +%s%N)
    # An input that takes more than 10 s (a loop without end) is a finding of its own.
    "$build/fuzz_$t" -runs="$runs" -max_len="${max_len[$t]}" -seed="${FUZZ_SEED:-0}" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$work/$t/" "$work/$t" "$corpus/$t" >"$log" 2>&1 || rc=$?
    echo "$rc $(( $(date +%s%N) - start ))" >"$work/$t.result"
  }
  # Two lanes, one per core, each about half the work: the rewrite target
  # costs about as much as the three others.
  total_start=$(date +%s%N)
  rm -f "$work"/*.result
  (run_target repository_rewrite) &
  (run_target value_rule; run_target line_pieces; run_target settings_reader) &
  wait
  total_ns=$(( $(date +%s%N) - total_start ))
  failed=0
  for t in "${targets[@]}"; do
    log="$work/$t.log"
    read -r rc ns <"$work/$t.result" || { rc=99; ns=0; }
    done_runs=$(grep -oE '^Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || echo 0)
    crashes=$(ls "$work/$t" | grep -cE '^(crash|leak|timeout|oom|slow-unit)-' || true)
    reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|property broken' "$log" || true)
    seed=$(grep -oE 'Seed: [0-9]+' "$log" | head -1 | grep -oE '[0-9]+' || echo "?")
    rate=$(grep -oE 'average_exec_per_sec: +[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    awk -v t="$t" -v n="$done_runs" -v c="$crashes" -v r="$reports" -v ns="$ns" -v rate="$rate" -v seed="$seed" \
      'BEGIN { printf "fuzz %-20s %8d inputs  %d crashes  %d sanitizer reports  %6.1f s  %6d/s  (seed %s: FUZZ_SEED=%s repeats it)\n", t, n, c, r, ns / 1e9, rate, seed, seed }'
    if [ "$rc" -ne 0 ] || [ "$crashes" -ne 0 ] || [ "$reports" -ne 0 ] || [ "$done_runs" -lt "$runs" ]; then
      failed=1
      tail -40 "$log"
    fi
  done
  awk -v ns="$total_ns" 'BEGIN { printf "fuzz total %.1f s (two lanes)\n", ns / 1e9 }'
  exit $failed
  ;;
compare)
  corpus="${3:?corpus}"
  windows="${4:?windows digest}"
  [ -s "$windows" ] || { echo "run.sh: no Windows digest at $windows"; exit 1; }
  "$build/template_replay_native" "$corpus" "$build/replay_native.txt" >/dev/null
  if ! diff -u --label windows --label native "$windows" "$build/replay_native.txt"; then
    echo "replay: the Windows and native builds read the corpus differently"
    exit 1
  fi
  echo "replay: $(wc -l <"$windows") corpus files read alike by the Windows and native builds"
  ;;
*)
  echo "run.sh: unknown command $cmd"
  exit 2
  ;;
esac
