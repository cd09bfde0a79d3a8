#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when one is missing, and
# configures + builds one build tree. Sourced by run.sh and test.sh.
#   kiv_setup_packages
#   kiv_build DIR [cmake args...]

KIV_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libjson-c-dev libxxhash-dev libbenchmark-dev clang libclang-rt-14-dev)

kiv_setup_packages() {
    local missing=()
    for pkg in "${KIV_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        if [ "$(id -u)" -ne 0 ]; then
            echo "error: packages missing and not running as root: ${missing[*]}" >&2
            return 1
        fi
        timeout 900 apt-get update -qq || return 1
        DEBIAN_FRONTEND=noninteractive timeout 900 apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
    fi
}

kiv_build() {
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null || return 1
    fi
    # A hang guard: a fresh build on a busy machine takes well over 10 minutes.
    timeout 1800 cmake --build "$dir" -j"$(nproc)" || return 1
}
