#!/usr/bin/env bash
# Prepares a machine to build and test corvane-ws: the Debian packages it needs, a CPython 3.12
# virtual environment in .venv and the Python packages of requirements-dev.txt. Quick when
# everything is already in place.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(g++ make cmake ninja-build ccache pkg-config ca-certificates libssl-dev
              libboost-dev libwebsocketpp-dev nlohmann-json3-dev libgtest-dev locales)

install_debian_packages() {
    local missing=()
    for pkg in "${DEB_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    ((${#missing[@]} == 0)) && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing Debian packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

is_python312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; }

find_python312() {
    local candidate
    for candidate in "$(command -v python3.12 || true)" \
                     $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
        if [ -n "$candidate" ] && is_python312 "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    echo "CPython 3.12 not found: put python3.12 on PATH or install it with pyenv" >&2
    return 1
}

make_venv() {
    if [ -x .venv/bin/python ] && is_python312 .venv/bin/python; then return 0; fi
    rm -rf .venv
    "$(find_python312)" -m venv .venv
}

install_python_packages() {
    local stamp=.venv/.requirements.sha256 want
    want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
    [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && return 0
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements-dev.txt
    echo "$want" >"$stamp"
}

install_debian_packages
make_venv
install_python_packages
