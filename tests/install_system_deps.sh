#!/usr/bin/env bash
# Installs the Debian packages the tests need when they are missing; used by
# tests/run.sh and tests/run_sanitizers.sh:
#   - a C++ compiler, CMake and the Python headers (to build the engine);
#   - the venv module (tests/run.sh makes a virtual environment);
#   - GoogleTest (the C++ suites) and valgrind (the leak check);
#   - Chromium and its driver (the web page's browser test).
# Whatever is already there is left alone: only missing packages are named,
# without their recommended packages, and apt is told not to upgrade any that
# are installed. Installing needs root (sudo is used when not root).
set -euo pipefail

need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v make >/dev/null 2>&1 || need_apt+=(make)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
if command -v python3 >/dev/null 2>&1; then
  # Debian ships the venv module's pip bootstrap and the headers apart.
  python3 -m ensurepip --version >/dev/null 2>&1 || need_apt+=(python3-venv)
  python3 -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    >/dev/null 2>&1 || need_apt+=(python3-dev)
else
  need_apt+=(python3 python3-venv python3-dev)
fi
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
# The web page's end-to-end test drives a headless browser.
command -v chromium >/dev/null 2>&1 || need_apt+=(chromium)
command -v chromedriver >/dev/null 2>&1 || need_apt+=(chromium-driver)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${need_apt[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends --no-upgrade "${need_apt[@]}" </dev/null
fi
