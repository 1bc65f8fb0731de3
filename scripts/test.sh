#!/usr/bin/env bash
# Installs what is missing, checks the layout of the sources, builds and runs every test: the
# plain build, AddressSanitizer with UndefinedBehaviorSanitizer, ThreadSanitizer on the threaded
# modules, the Debian packages, and short fuzz runs.
# Everything runs inside a private network namespace (scripts/netns.sh). The builds, their
# tests and the tests' environment are the presets of the same names in CMakePresets.json.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
passed=0; failed=0

run_ctest() {  # preset
  local log; log=$(mktemp)
  local rc=0
  bash scripts/netns.sh ctest --preset "$1" 2>&1 | tee "$log" || rc=1
  local line; line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -1 || true)
  if [ -n "$line" ]; then
    local total fail
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail)); failed=$((failed + fail))
  else
    failed=$((failed + 1))
  fi
  rm -f "$log"
  return $rc
}

status=0
echo "== layout of the sources (clang-format 14, .clang-format)"
if bash scripts/format.sh --check; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); status=1
fi

echo "== plain build (g++)"
cmake --preset test >/dev/null
cmake --build --preset test
run_ctest test || status=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (clang++)"
cmake --preset asan >/dev/null
cmake --build --preset asan
run_ctest asan || status=1

echo "== ThreadSanitizer, threaded modules (g++)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
run_ctest tsan || status=1

echo "== Debian packages: release build with Debian's hardening flags, lintian, a scratch-root install"
if bash scripts/package.sh build/package && bash tests/package/check.sh build/package; then
  passed=$((passed + 1))
else
  echo "packages: FAILED"; failed=$((failed + 1)); status=1
fi

echo "== fuzz targets, short runs over the seed corpora (clang++ libFuzzer)"
if ls fuzz/*_fuzz.cpp >/dev/null 2>&1; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  for f in fuzz/*_fuzz.cpp; do
    name=$(basename "$f" _fuzz.cpp)
    scratch=$(mktemp -d)
    if bash scripts/netns.sh build/fuzz/fuzz/fuzz_$name -runs=${TV_FUZZ_RUNS:-20000} -seed=1 \
        "$scratch" "fuzz/corpus/$name" >"$scratch.log" 2>&1; then
      echo "fuzz $name: ok ($(grep -Eo 'Done [0-9]+ runs' "$scratch.log" || true))"
      passed=$((passed + 1))
    else
      echo "fuzz $name: FAILED"; tail -40 "$scratch.log"
      failed=$((failed + 1)); status=1
    fi
    rm -rf "$scratch" "$scratch.log"
  done
fi

echo "all builds: $passed passed, $failed failed"
exit $status
