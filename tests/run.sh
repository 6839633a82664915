#!/usr/bin/env bash
# Installs what the tests need, builds the package and the C++ tests, and runs
# every test: the C++ suites under CTest, then the Python suites under pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq libgtest-dev
fi

python3 -m pip install --quiet '.[test]'

cmake -S . -B build/tests -DFLIPCORE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure

python3 -m pytest
