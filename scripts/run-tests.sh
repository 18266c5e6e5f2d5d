#!/usr/bin/env bash
# Runs every test of the project: the C++ unit tests (plain, and under AddressSanitizer and
# UndefinedBehaviorSanitizer), a bounded fuzz run of the record decoder, and the Python tests
# under CPython 3.14 (in a Debian unstable root), the newest CPython on this machine and the
# default python3. Installs what it needs; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

WERROR=OFF
[ "${CI:-}" = true ] && WERROR=ON
JOBS=2
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

ensure_debian_packages "${DEBIAN_BUILD_PACKAGES[@]}" "${DEBIAN_TEST_PACKAGES[@]}"

log "C++ unit tests"
cmake -S . -B build/cpp -G Ninja -DVESKER_BUILD_PYTHON_MODULE=OFF -DVESKER_BUILD_TESTS=ON \
  -DVESKER_BUILD_BENCHMARKS=ON -DVESKER_WERROR=$WERROR >/dev/null
cmake --build build/cpp -j $JOBS
ctest --test-dir build/cpp --output-on-failure -j $JOBS

log "C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitized -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKER_BUILD_PYTHON_MODULE=OFF \
  -DVESKER_BUILD_TESTS=ON -DVESKER_SANITIZERS=address,undefined -DVESKER_WERROR=$WERROR >/dev/null
cmake --build build/sanitized -j $JOBS
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitized --output-on-failure -j $JOBS

log "fuzzing the record decoder for ${FUZZ_SECONDS}s"
# clang 16 implements what libstdc++ 12 needs for std::expected but still announces the older
# concepts level, which hides std::expected; the override only restores the right value.
CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVESKER_BUILD_PYTHON_MODULE=OFF -DVESKER_BUILD_FUZZERS=ON -DVESKER_SANITIZERS=address,undefined \
  "-DCMAKE_CXX_FLAGS=-Wno-macro-redefined -D__cpp_concepts=202002L" >/dev/null
cmake --build build/fuzz -j $JOBS --target record_decoder_fuzzer
python3 tests/fuzz/make_record_seed_corpus.py tests/data/json-record-vectors.jsonl build/fuzz/record-corpus
mkdir -p build/fuzz/record-work build/fuzz/record-findings
build/fuzz/tests/fuzz/record_decoder_fuzzer -max_total_time="$FUZZ_SECONDS" -max_len=65536 \
  -artifact_prefix=build/fuzz/record-findings/ build/fuzz/record-work build/fuzz/record-corpus 2>&1 | tail -n 3

declare -A tested=()
for python in "$(newest_python)" python3; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  [ -n "${tested[$version]:-}" ] && continue
  tested[$version]=1
  log "Python tests under $("$python" --version)"
  ensure_venv "$python" "py$version" "${PYTHON_TEST_PACKAGES[@]}"
  "$VENV_PYTHON" -m pytest -q tests/python
done

if [ "${CI:-}" = true ] || [ "$(id -u)" -eq 0 ]; then
  scripts/test-in-sid-root.sh
  scripts/test-wheel.sh
else
  log "skipped the CPython 3.14 tests and the wheel test: their Debian roots need root"
fi
log "all tests passed"
