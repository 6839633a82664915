#!/usr/bin/env bash
# Memory and undefined-behaviour checks, in their own build directory:
#  1. the C++ suites (move rules, cross-checks against the plain reference,
#     faults) built with AddressSanitizer and UndefinedBehaviorSanitizer and
#     run under CTest; any report fails its test;
#  2. the _flipcore module and the solver's binding, built with debug information, driven through a
#     few hundred calls of every kind (tests/leak_check.py): once on the
#     interpreter's own allocator, failing when its count of allocated blocks
#     grows with the calls (Python objects never released), and once under
#     valgrind, failing on any block definitely or indirectly lost and on any
#     memory error whose stack passes through the module.
# Takes about 5 minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/sanitize

bash tests/install_system_deps.sh
python3 -c 'import pybind11' 2>/dev/null || python3 -m pip install --quiet 'pybind11>=3,<4'

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFLIPCORE_BUILD_TESTS=ON -DFLIPCORE_SANITIZE=ON \
  -DFLIPCORE_BUILD_MODULE=ON -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)"
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
unset ASAN_OPTIONS UBSAN_OPTIONS

PYTHONPATH="$build" python3 -P tests/leak_check.py

# valgrind must run the interpreter itself, not a launcher script (pyenv's
# shims are shell scripts), and the interpreter must use plain malloc so that
# every Python object is a block valgrind tracks.
python_bin="$(python3 -c 'import sys; print(sys.executable)')"
log="$build/valgrind.log"
PYTHONMALLOC=malloc PYTHONPATH="$build" valgrind --leak-check=full \
  --show-leak-kinds=definite,indirect --num-callers=40 --log-file="$log" \
  "$python_bin" -P tests/leak_check.py
python3 - "$log" <<'EOF'
import re
import sys

text = open(sys.argv[1]).read()
# Records are separated by valgrind's empty "==pid== " lines.
records = re.split(r"\n==\d+== \n", text)
lost = {kind: int(re.search(rf"{kind} lost: ([\d,]+) bytes", text).group(1).replace(",", ""))
        for kind in ("definitely", "indirectly")}
# A stack through the engine names its namespace; one through the solver's
# binding may name only its shared object.
ours = [r for r in records
        if ("flipcore" in r.lower() or "_solver." in r) and "Command:" not in r]
for r in ours:
    print(r)
print(f"valgrind: definitely lost {lost['definitely']} bytes, indirectly lost {lost['indirectly']} bytes, "
      f"{len(ours)} reports through the module")
sys.exit(1 if ours or any(lost.values()) else 0)
EOF
