#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C++ suite, the C++ suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the Python suite against the installed module.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
PYTHON=${PYTHON:-python3}

echo "== installing test requirements"
"$PYTHON" -m pip install -q --disable-pip-version-check "numpy>=2.0" pytest "scikit-build-core>=0.10" ninja cmake

if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "== installing GoogleTest"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install libgtest-dev (for example 'sudo apt-get install libgtest-dev')" >&2
    exit 1
  fi
fi

run_cpp_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_PYTHON=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS"
}

echo "== C++ tests"
run_cpp_suite build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_cpp_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON

echo "== Python tests"
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$PYTHON" -m pytest -q tests/python
