#!/usr/bin/env bash
# Installs the Debian packages the tests need (GoogleTest, valgrind, Chromium
# and its driver) when they are missing; used by tests/run.sh and
# tests/run_sanitizers.sh.
set -euo pipefail

need_apt=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
# The web page's end-to-end test drives a headless browser.
command -v chromium >/dev/null 2>&1 || need_apt+=(chromium)
command -v chromedriver >/dev/null 2>&1 || need_apt+=(chromium-driver)
if [ ${#need_apt[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${need_apt[@]}"
fi
