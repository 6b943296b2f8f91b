#!/usr/bin/env bash
# Installs what quendral needs on a fresh Debian machine and prepares the project's .venv.
# Safe to run again: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf 'setup: %s\n' "$*" >&2; }

# ---------------------------------------------------------------- Debian packages
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
for pkg in g++ cmake ninja-build pkg-config libgmp-dev libicu-dev libmimalloc2.0 libgtest-dev libbenchmark-dev; do
  case $pkg in
    cmake) command -v cmake >/dev/null || need+=(cmake) ;;
    ninja-build) command -v ninja >/dev/null || need+=(ninja-build) ;;
    g++) command -v g++ >/dev/null || need+=(g++) ;;
    *) have_pkg "$pkg" || need+=("$pkg") ;;
  esac
done
boost_version=$(sed -n 's/^#define BOOST_VERSION \([0-9]*\).*/\1/p' /usr/include/boost/version.hpp 2>/dev/null || true)
if [ -z "$boost_version" ] || [ "$boost_version" -lt 108100 ]; then
  # Debian 12 ships Boost 1.81 as a versioned package; later releases make it the default.
  debian_major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 0)
  if [ "${debian_major:-0}" = 12 ] 2>/dev/null; then need+=(libboost1.81-dev); else need+=(libboost-dev); fi
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    log "missing Debian packages: ${need[*]} (run as root, or install them)"; exit 1
  fi
  log "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq </dev/null >/dev/null
  apt-get install -y -qq "${need[@]}" </dev/null >/dev/null
fi

# ---------------------------------------------------------------- CPython >= 3.13 with headers
python_ok() {
  "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.version_info >= (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}
find_python() {
  local c
  for c in python3.14 python3.13; do
    if command -v "$c" >/dev/null && python_ok "$c"; then command -v "$c"; return; fi
  done
  local root=${PYENV_ROOT:-$HOME/.pyenv}
  for c in $(ls -d "$root"/versions/3.14*/bin/python3.14 "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV); do
    if python_ok "$c"; then echo "$c"; return; fi
  done
  return 1
}

if [ ! -x .venv/bin/python ] || ! python_ok .venv/bin/python; then
  if ! py=$(find_python); then
    log "no CPython >= 3.13 with its headers (Python.h) found: looked for python3.14 and python3.13 on PATH"
    log "and under ${PYENV_ROOT:-$HOME/.pyenv}/versions; install CPython 3.13 or newer with its development headers"
    exit 1
  fi
  log "creating .venv with $py"
  rm -rf .venv
  "$py" -m venv .venv
fi

stamp=.venv/.requirements-installed
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  log "installing Python packages into .venv"
  .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt </dev/null
  cp requirements-dev.txt "$stamp"
fi
