#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C++ suite, the C++ suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the Python suite against the installed package,
# once with the NumPy already installed and once in a virtual environment with the oldest NumPy
# the package supports; between the two, fuzz calls against the extension module built with both
# sanitizers. Exits non-zero on the first failure.
#
#   PYTHON     the interpreter to test with (python3)
#   OLD_NUMPY  the NumPy of the second environment (1.26.*); empty to skip that run
#   JOBS       parallel build and test jobs (all cores)
#   FUZZ_ASAN_CALLS  fuzz calls against the sanitizer build of the module (10000)
#   CORVANE_FUZZ_SEED  the rotating seed of the fuzz tests and of those calls (the date)
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
PYTHON=${PYTHON:-python3}
OLD_NUMPY=${OLD_NUMPY-1.26.*}
FUZZ_ASAN_CALLS=${FUZZ_ASAN_CALLS:-10000}
FUZZ_SEED=${CORVANE_FUZZ_SEED:-$(date +%Y%m%d)}
export CORVANE_FUZZ_SEED=$FUZZ_SEED
# The package with what its tests need: the test extra, and Dask for lazily loaded matrices.
EXTRAS="[test,dask]"
PIP=(-m pip install -q --disable-pip-version-check)
SECONDS=0

stage() {
  echo "== [${SECONDS}s] $*"
}

stage "installing build requirements"
"$PYTHON" "${PIP[@]}" packaging "tomli; python_version < '3.11'"
# A NumPy the package supports stays as it is; a missing or unsupported one is installed.
constraints=build/constraints.txt
mkdir -p build
"$PYTHON" tools/numpy_constraint.py >"$constraints"
"$PYTHON" "${PIP[@]}" -c "$constraints" "scikit-build-core>=0.10" ninja cmake
if [ ! -s "$constraints" ]; then
  "$PYTHON" "${PIP[@]}" "numpy>=2.0"
fi
echo "NumPy $("$PYTHON" -c 'import numpy; print(numpy.__version__)')"

if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ]; then
    stage "installing GoogleTest"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install libgtest-dev (for example 'sudo apt-get install libgtest-dev')" >&2
    exit 1
  fi
fi

run_cpp_suite() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$JOBS"
  ctest --preset "$preset" -j"$JOBS"
}

stage "C++ tests"
run_cpp_suite dev

stage "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
run_cpp_suite asan

stage "building the wheel"
# The extension is compiled once, against NumPy 2 headers, and the same wheel serves both NumPy
# versions. With an older NumPy installed, pip builds in an isolated environment that has NumPy 2.
isolation=(--no-build-isolation)
if ! "$PYTHON" -c 'import numpy, sys; sys.exit(int(numpy.__version__.split(".")[0]) < 2)'; then
  isolation=()
fi
rm -rf build/wheelhouse
"$PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps "${isolation[@]}" \
  -w build/wheelhouse .
wheel=$(ls build/wheelhouse/corvane-*.whl)

stage "Python tests"
"$PYTHON" "${PIP[@]}" --force-reinstall --no-deps "$wheel"
"$PYTHON" "${PIP[@]}" -c "$constraints" "$wheel$EXTRAS"
"$PYTHON" -m pytest -q tests/python

stage "fuzz calls against the extension module under AddressSanitizer and UndefinedBehaviorSanitizer"
# The module of the sanitizer build comes first on the path, the package from the source tree;
# the interpreter is not instrumented, so the sanitizer runtimes are preloaded and leak checks,
# which report the interpreter's own allocations, stay off. Any report fails the step.
cmake -S . -B build/asan-py -G Ninja -DCORVANE_BUILD_PYTHON=ON -DCORVANE_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/asan-py -j"$JOBS" --target _corvane_if
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=build/asan-py:python \
  "$PYTHON" tools/fuzz_campaign.py --calls "$FUZZ_ASAN_CALLS" --seed "$FUZZ_SEED" --thread-limit 64

if [ -n "$OLD_NUMPY" ]; then
  stage "Python tests with NumPy $OLD_NUMPY"
  venv=build/venv-numpy-old
  [ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
  echo "numpy==$OLD_NUMPY" >build/constraints-old.txt
  "$venv/bin/python" "${PIP[@]}" --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" "${PIP[@]}" -c build/constraints-old.txt "$wheel$EXTRAS"
  "$venv/bin/python" -c 'import numpy; print("NumPy", numpy.__version__)'
  "$venv/bin/python" -m pytest -q tests/python
fi
stage "all tests passed"
