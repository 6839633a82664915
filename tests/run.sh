#!/usr/bin/env bash
# Installs what the tests need, builds the package, and runs every test:
#  1. the C++ suites (move rules, cross-checks of the engine against the plain
#     reference, faults) and a quick benchmark run that must find the engine's
#     answers identical to the reference's, under CTest;
#  2. the same C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer,
#     and a leak check of the module under valgrind (tests/run_sanitizers.sh);
#  3. the Python suites under pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tests/install_system_deps.sh

# Every optional extra too: their features are tested like the rest.
python3 -m pip install --quiet '.[test,batch,cluster,plot,web,webtest,docs]'

cmake -S . -B build/tests -DFLIPCORE_BUILD_TESTS=ON -DFLIPCORE_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure

bash tests/run_sanitizers.sh

python3 -m pytest
