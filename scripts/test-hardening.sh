#!/usr/bin/env bash
# Hardening checks, each bounded: the fuzz targets for a smoke run, the fault, kill,
# concurrency and security suite against an optimised build, the unit, end-to-end and
# hardening tests under ASan + UBSan with leak detection, and a slice of the
# end-to-end and hardening cases under valgrind. Exits non-zero on any failure.
#
# VELMORAN_FUZZ_SECONDS (default 60) sets each fuzz target's run time;
# VELMORAN_MEMCHECK_SHARDS (default 2) how finely the valgrind slice is cut (1 = all).
set -euo pipefail
cd "$(dirname "$0")/.."

stage() { echo "== [$((SECONDS / 60))m$((SECONDS % 60))s] $*"; }

fuzz_seconds=${VELMORAN_FUZZ_SECONDS:-60}
memcheck_shards=${VELMORAN_MEMCHECK_SHARDS:-2}
jobs=$(nproc)

scripts/install-deps.sh cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev \
  googletest valgrind e2fsprogs util-linux

# ---- builds ------------------------------------------------------------------------
stage "build: optimised tool and hardening suite (build/hardening)"
cmake -S . -B build/hardening -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/hardening --target velmoran velmoran_hardening_tests

stage "build: fuzz targets (build/fuzz)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

stage "build: ASan + UBSan (build/asan)"
cmake --preset asan >/dev/null
cmake --build --preset asan

# ---- fuzzing -----------------------------------------------------------------------
stage "fuzz: ${fuzz_seconds} s per target on the seed corpus"
work=build/fuzz/run
rm -rf "$work"
pids=()
for target in cmdline cipher; do
  mkdir -p "$work/$target/corpus" "$work/$target/crashes"
  # A copy of the seeds grows during the run; the checked-in corpus stays as it is.
  cp fuzz/corpus/$target/* "$work/$target/corpus/"
  build/fuzz/fuzz/velmoran_fuzz_$target -max_total_time="$fuzz_seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target/crashes/" \
    "$work/$target/corpus" >"$work/$target/log" 2>&1 &
  pids+=($!)
done
fuzz_failed=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || fuzz_failed=1
done
for target in cmdline cipher; do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/log")
  crashes=$(find "$work/$target/crashes" -type f | wc -l)
  echo "fuzz $target: ${runs:-0} executions, $crashes crashes"
  if [ "$crashes" -ne 0 ] || [ -z "$runs" ]; then
    fuzz_failed=1
    tail -40 "$work/$target/log"
  fi
done
[ "$fuzz_failed" -eq 0 ] || { echo "fuzzing found a fault"; exit 1; }

# ---- the hardening suite against the optimised tool --------------------------------
stage "hardening suite: faults, kills, concurrent runs, temporary files"
build/hardening/tests/hardening/velmoran_hardening_tests --gtest_brief=1 \
  --gtest_output=xml:build/hardening/hardening.xml
grep -oE '<testcase name="[^"]+"|<property name="[a-zA-Z]+" value="[^"]*"' \
  build/hardening/hardening.xml | awk '
  /testcase/ { split($0, a, "\""); name = a[2] }
  /property/ { split($0, a, "\""); figures[name] = figures[name] " " a[2] "=" a[4] }
  END { for (n in figures) print "  " n ":" figures[n] }' | sort

# ---- sanitizers --------------------------------------------------------------------
stage "ASan + UBSan + LeakSanitizer: unit, end-to-end and hardening tests"
if ! ctest --preset asan -j"$jobs" >build/asan/ctest.log 2>&1; then
  # head closes the pipe early; that must not end the script before the summary.
  grep -E -A30 '\(Failed\)|\*\*\*(Failed|Timeout|Exception)' build/asan/ctest.log | head -150 || true
  tail -n 20 build/asan/ctest.log
  exit 1
fi
grep -E 'tests passed|Total Test time' build/asan/ctest.log

# ---- valgrind ----------------------------------------------------------------------
stage "valgrind: a slice (1/$memcheck_shards) of the end-to-end and hardening cases"
wrapper=build/hardening/velmoran-memcheck
cat >"$wrapper" <<WRAPPER
#!/bin/sh
# The tool under valgrind: any invalid access or leaked block fails the run with 86,
# an exit code the tool itself never gives. valgrind must outlive a file-size limit
# that the tool meets: the ignored signal passes to it, and it opens no files itself.
trap '' XFSZ
exec valgrind -q --vgdb=no --error-exitcode=86 --leak-check=full --show-leak-kinds=all \\
  --errors-for-leak-kinds=all --track-origins=yes "$PWD/build/hardening/velmoran" "\$@"
WRAPPER
chmod +x "$wrapper"
# Cases left out: an address-space limit stops valgrind itself, a program path of the
# case's own cannot pass through the wrapper, kills would hit valgrind, and the fault
# sweep's preloaded shim would count valgrind's own calls (and its thousand runs would
# take far too long under it); the same cases started from another folder add nothing
# valgrind would see. The sanitized end-to-end runner serves as well as any: it
# only launches the tool.
memcheck_env=(GTEST_TOTAL_SHARDS="$memcheck_shards" GTEST_SHARD_INDEX=0
              VELMORAN_E2E_TOOL="$PWD/$wrapper" VELMORAN_HARDENING_TOOL="$PWD/$wrapper")
if [ -x build/asan/tests/e2e/velmoran_e2e ]; then
  env "${memcheck_env[@]}" build/asan/tests/e2e/velmoran_e2e --gtest_brief=1 \
    --gtest_filter='-*memory*:*program_path*:*_from_above_*' &
  e2e_pid=$!
else
  echo "no end-to-end suite in this tree yet"
  e2e_pid=
fi
memcheck_failed=0
env "${memcheck_env[@]}" build/hardening/tests/hardening/velmoran_hardening_tests --gtest_brief=1 \
  --gtest_filter='-*KillTest.*:ConcurrentRuns.*:*FaultSweep.*' || memcheck_failed=1
if [ -n "$e2e_pid" ]; then
  wait "$e2e_pid" || memcheck_failed=1
fi
[ "$memcheck_failed" -eq 0 ] || { echo "valgrind found a fault"; exit 1; }

stage "hardening checks passed"
