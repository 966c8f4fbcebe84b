#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; does
# nothing when they are all present.
#   scripts/install-system-packages.sh [--arch x86_64|aarch64]   (x86_64, the host's, by default)
# --arch aarch64 adds what cross-compiling the extension for 64-bit ARM needs:
# the cross compiler and the arm64 libraries and headers beside the host's.
# libpq-dev is not among them: Debian 12's cannot be installed for two
# architectures at once, so scripts/build-wheel.sh unpacks the arm64 one itself.
set -euo pipefail

packages=(
    g++ make pkg-config curl ca-certificates
    libcurl4-openssl-dev libpq-dev libssl-dev libcjson-dev
    postgresql pgbouncer
    faketime
)
usage="usage: $0 [--arch x86_64|aarch64]"
. "$(dirname "$0")/arch-option.sh" "$@"
shift "$arch_words"
[ $# -eq 0 ] || usage_error
if [ "$arch" = aarch64 ]; then
    packages+=(
        g++-aarch64-linux-gnu
        libcurl4-openssl-dev:arm64 libssl-dev:arm64 libcjson-dev:arm64 libpq5:arm64
        libpython3-dev:arm64
    )
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "Installing system packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
if [[ "${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
