#!/usr/bin/env bash
# The full reliability run behind ./dev check (inside the root, after ./dev
# has built the plain, debug and sanitized variants):
#
#   1. reference leaks: the whole suite on the debug interpreter, each test
#      hunted over warm-up and counted rounds; then the fuzzer's fixed cases
#      and the failed imports, hunted the same way;
#   2. memory errors: the whole suite on the ASan/UBSan build with the real
#      raylib, then the long fuzz and the long torture on it; valgrind
#      memcheck over the torture on the plain build;
#   3. fuzzed calls and 4. lifetime torture at full length (on the ASan
#      build, so that a silent overrun is a finding too);
#   5. resident memory and open file descriptors over 100 000
#      load/release cycles of each class and of the hostile files;
#   6. coverage-guided fuzzing of raylib's decoders behind lumabo's checks:
#      a libFuzzer harness per file type (tests/fuzz), raylib's raudio.c
#      built in under ASan/UBSan, each run for FUZZ_SECONDS; an input that
#      crashes, hangs or leaks, other than raylib's known faults, is a
#      finding, kept under build/check/fuzz/ and named in findings.txt.
#
# Each step's output goes to build/check/<step>.log; the figures are
# collected in build/check/summary.txt. The exit status is that of the
# worst step.
#
# Sizes can be given as arguments (./dev check NAME=VALUE ...): FUZZ_EXAMPLES
# (per entry point), TORTURE_SEQUENCES, VALGRIND_SEQUENCES, RSS_CYCLES,
# REFLEAK_ROUNDS (warm-ups:counted), FUZZ_SECONDS (per libFuzzer harness).
set -uo pipefail

for arg; do
  case $arg in
    FUZZ_EXAMPLES=* | TORTURE_SEQUENCES=* | VALGRIND_SEQUENCES=* | RSS_CYCLES=* | REFLEAK_ROUNDS=* \
      | FUZZ_SECONDS=*)
      export "${arg?}" ;;
    *) echo "check.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done

repo=$(pwd)
out=$repo/build/check
rm -rf "$out"
mkdir -p "$out/asan"
summary=$out/summary.txt
: >"$summary"

fuzz_examples=${FUZZ_EXAMPLES:-1000}
torture_sequences=${TORTURE_SEQUENCES:-10000}
valgrind_sequences=${VALGRIND_SEQUENCES:-300}
rss_cycles=${RSS_CYCLES:-100000}
refleak_rounds=${REFLEAK_ROUNDS:-3:3}
fuzz_seconds=${FUZZ_SECONDS:-180}

recorder=$repo/build/tests-native/librecorder.so
libasan=$(gcc -print-file-name=libasan.so)
status=0

# step NAME CMD...: runs CMD, keeps its output, and copies its figure lines
# (those starting with refleak:, fuzz:, torture:, imports:, or pytest's
# closing line) into the summary.
step() {
  local name=$1
  shift
  printf '\n\033[1m== %s\033[0m\n' "$name"
  local started=$SECONDS
  "$@" >"$out/$name.log" 2>&1
  local rc=$?
  tail -n 25 "$out/$name.log"
  {
    echo "[$name] exit $rc, $((SECONDS - started)) s"
    grep -E '^(refleak|fuzz|torture|imports|valgrind): |^[=]* ?[0-9]+ (passed|failed)|ERROR SUMMARY' "$out/$name.log" \
      | sed 's/^=* *//; s/ *=*$//; s/^[0-9]*== //' | grep -v 'refleak: LEAK' | sort -u
    grep -E 'refleak: LEAK' "$out/$name.log" | head -20
  } >>"$summary"
  ((rc == 0)) || status=1
}


# -- 1. reference leaks (debug interpreter) -------------------------------------
dbg_env=(env LD_PRELOAD="$recorder" PYTHONPATH="$repo/tests"
         LUMABO_TESTS_NATIVE="$repo/build/tests-native-dbg")
dbg=$repo/build/venv-dbg/bin/python

# The reliability tests only start the runs below in child processes.
step refleak-suite "${dbg_env[@]}" "$dbg" -m pytest -p no:cacheprovider -p reliability.refleak \
  --refleak="$refleak_rounds" --refleak-report="$out/refleak-deltas.jsonl" -q \
  --ignore=tests/reliability tests
step refleak-corpus "${dbg_env[@]}" PYTHONPATH="$repo/tests:$repo/build/tests-native-dbg" \
  "$dbg" -m reliability.refleak --corpus --rounds 3:5
for module in music sound cursor; do
  step "refleak-imports-$module" "${dbg_env[@]}" PYTHONPATH="$repo/tests:$repo/build/tests-native-dbg" \
    "$dbg" -m reliability.imports "$module" --hunt 3:5
done

# -- 2-4. memory errors, fuzzed calls, lifetime torture (ASan/UBSan build) ----
# detect_leaks=0: the interpreter itself keeps memory at exit. Reports go to
# files; any file there is a finding.
asan_env=(env LD_PRELOAD="$libasan:$recorder" PYTHONPATH="$repo/tests:$repo/build/tests-native-asan"
          LUMABO_TESTS_NATIVE="$repo/build/tests-native-asan"
          ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$out/asan/asan"
          UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$out/asan/ubsan")
asan=$repo/build/venv-asan/bin/python

step asan-suite "${asan_env[@]}" "$asan" -m pytest -p no:cacheprovider -q tests
step asan-fuzz "${asan_env[@]}" "$asan" -X faulthandler -m reliability.fuzz --examples "$fuzz_examples" --seed 1
step asan-torture "${asan_env[@]}" "$asan" -X faulthandler -m reliability.torture \
  --sequences "$torture_sequences" --seed 1
if compgen -G "$out/asan/*" >/dev/null; then
  echo "[asan] reports in $out/asan:" >>"$summary"
  ls "$out/asan" >>"$summary"
  status=1
else
  echo "[asan] no AddressSanitizer or UBSan report" >>"$summary"
fi

# valgrind on the plain build; Python's own allocator would hide
# lumabo's blocks in its arenas. Memory errors and blocks definitely lost
# count; valgrind.supp names the two leaks inside raylib itself.
step valgrind-torture env LD_PRELOAD="$recorder" PYTHONPATH="$repo/tests:$repo/build/tests-native" \
  PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --suppressions="$repo/tests/reliability/valgrind.supp" --num-callers=30 \
  "$repo/build/venv/bin/python" -m reliability.torture --sequences "$valgrind_sequences" --seed 2

# -- 5. resident memory and file descriptors -----------------------------------
step rss env LD_PRELOAD="$recorder" PYTHONPATH="$repo/tests:$repo/build/tests-native" \
  "$repo/build/venv/bin/python" -m reliability.torture --sequences 0 --cycles "$rss_cycles"

# -- 6. coverage-guided fuzzing of the decoders (libFuzzer) --------------------
# The harnesses bring their own sanitizer runtime: no preload. Six harnesses
# of FUZZ_SECONDS each, one after the other on one core.
step libfuzzer "$repo/build/venv/bin/python" tests/fuzz/run.py --seconds "$fuzz_seconds" --out "$out/fuzz"

printf '\n\033[1m== summary (%s)\033[0m\n' "$summary"
cat "$summary"
exit $status
