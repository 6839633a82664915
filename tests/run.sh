#!/usr/bin/env bash
# Installs what the tests need, builds the package, and runs every test:
#  1. the C++ suites (move rules, cross-checks of the engine against the plain
#     reference, faults) and a quick benchmark run that must find the engine's
#     answers identical to the reference's, under CTest;
#  2. the same C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer,
#     and a leak check of the module under valgrind (tests/run_sanitizers.sh);
#  3. the solver's thread tests (many solves with two threads sharing a table)
#     under ThreadSanitizer, in a build of their own: any data race fails;
#  4. the Python suites under pytest.
# Python packages go into the virtual environment that is active, or else into
# .venv at the repository's root (made here when missing), never into the
# interpreter that happens to come first on the PATH. The versions of the test
# and build tools come from tests/constraints.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tests/install_system_deps.sh

if [ -z "${VIRTUAL_ENV:-}" ]; then
  [ -x .venv/bin/python ] || python3 -m venv .venv
  # shellcheck disable=SC1091
  . .venv/bin/activate
fi
echo "Installing into the virtual environment $VIRTUAL_ENV" >&2
# The constraints hold in the isolated build environment too.
export PIP_CONSTRAINT="$PWD/tests/constraints.txt"
# Every optional extra too: their features are tested like the rest.
python -m pip install --quiet '.[test,batch,cluster,plot,web,webtest,docs,train]'

cmake -S . -B build/tests -DFLIPCORE_BUILD_TESTS=ON -DFLIPCORE_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure

bash tests/run_sanitizers.sh

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLIPCORE_BUILD_TESTS=ON -DFLIPCORE_TSAN=ON
cmake --build build/tsan --target test_solve_threads -j "$(nproc)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/tests/cpp/test_solve_threads

python -m pytest
