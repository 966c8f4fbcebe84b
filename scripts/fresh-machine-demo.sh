#!/usr/bin/env bash
# Checks the wheel on a really fresh machine: a minimal Debian 12 root made
# with debootstrap that gets python3, python3-venv and PostgreSQL's server and
# nothing else: no compiler, no development packages, no libcurl or libcjson
# for the extension to find (the server brings a libpq; the extension loads
# the wheel's own all the same). In it, with nothing compiled: the wheel's
# libraries as that machine's loader resolves them (tests/test_wheel.py), then
# every module imported, two QR calls and the demo (scripts/smoke_wheel.py on
# the root's python3).
#   scripts/fresh-machine-demo.sh [--arch x86_64|aarch64] WHEEL   (default x86_64)
# A root of another architecture than the host's runs under qemu-user-static.
# pip in the root installs offline: the host downloads the wheels it needs.
# Needs root (debootstrap, chroot, mounts) and the Debian and PyPI registries.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: $0 [--arch x86_64|aarch64] WHEEL"
. scripts/arch-option.sh "$@"
shift "$arch_words"
[ $# -eq 1 ] || usage_error
debian_arch="$([ "$arch" = aarch64 ] && echo arm64 || echo amd64)"
wheel="$(realpath "$1")"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
log="$PWD/build/fresh-machine-$arch.log"
mkdir -p build
: >"$log"
started=$SECONDS
phase_started=$SECONDS
phases=""

phase_done() {
    phases="$phases${phases:+; }$1 $((SECONDS - phase_started)) s"
    phase_started=$SECONDS
}

quietly() {
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log"
        echo "failed: $*" >&2
        return 1
    fi
}

install_host_tools() {
    local tools=(debootstrap) missing=() tool
    if [ "$arch" != "$(uname -m)" ]; then
        tools+=(qemu-user-static binfmt-support)
    fi
    for tool in "${tools[@]}"; do
        dpkg-query -W -f='${Status}' "$tool" 2>/dev/null | grep -q "install ok installed" || missing+=("$tool")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        quietly apt-get update -qq
        quietly env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
    if [ "$arch" != "$(uname -m)" ]; then
        # The kernel hands the root's programs to qemu once binfmt_misc is mounted
        # and the emulator registered there (a container may have neither).
        mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        quietly update-binfmts --enable "qemu-$arch"
    fi
}
install_host_tools
phase_done "host tools"

root="$(mktemp -d /var/tmp/scb-fresh-root.XXXXXX)"
# It becomes /, which the database's own account must be able to walk.
chmod 755 "$root"
cleanup() {
    umount -R "$root/dev" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    # Never delete through a mount that is still there (it would be the host's /dev).
    if findmnt -rno TARGET | grep -q "^$root/"; then
        echo "left $root in place: something is still mounted under it" >&2
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT

in_root() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        chroot "$root" "$@"
}

echo "Creating a minimal Debian 12 $debian_arch root in $root"
quietly debootstrap --arch="$debian_arch" --variant=minbase bookworm "$root" "$mirror"
phase_done debootstrap

mount -t proc proc "$root/proc"
# /dev/shm for PostgreSQL's shared memory, /dev/urandom for everyone.
mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Services are not started in a chroot, and the checks start throwaway
# clusters of their own: the package's default cluster is not made.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
mkdir -p "$root/etc/postgresql-common"
echo "create_main_cluster = false" >"$root/etc/postgresql-common/createcluster.conf"
quietly in_root apt-get update -qq
quietly in_root apt-get install -y -qq --no-install-recommends python3 python3-venv postgresql
phase_done "python3, python3-venv, postgresql"

missing_from_a_fresh_machine() {
    in_root sh -c 'command -v cc gcc g++ clang' || true
    in_root dpkg-query -W -f='${db:Status-Status} ${Package}\n' |
        awk '$1 == "installed" && ($2 ~ /-dev$/ || $2 ~ /^lib(curl|cjson)/) { print $2 }'
}
unexpected="$(missing_from_a_fresh_machine)"
if [ -n "$unexpected" ]; then
    echo "the root is not fresh, it has: $unexpected" >&2
    exit 1
fi
machine="$(in_root uname -m)"
if [ "$machine" != "$arch" ]; then
    echo "the root runs as $machine, not $arch" >&2
    exit 1
fi
python_version="$(in_root python3 -c 'import platform; print(platform.python_version())')"
echo "The root runs as $machine with Python $python_version, no compiler, no development package, no libcurl or libcjson"

# The wheel, its sandbox extra and the tools of the wheel checks, for the
# root's interpreter and machine.
wheels=/tmp/wheels
quietly python3 -m pip download -q --disable-pip-version-check --only-binary :all: --dest "$root$wheels" \
    --implementation cp --python-version "${python_version%.*}" \
    --platform "manylinux_2_34_$arch" --platform "manylinux_2_28_$arch" --platform "manylinux2014_$arch" \
    "$wheel[sandbox]" pytest auditwheel abi3audit
checks=/tmp/checks
mkdir -p "$root$checks/tests" "$root$checks/scripts"
cp pyproject.toml "$root$checks/"
cp tests/test_wheel.py "$root$checks/tests/"
cp scripts/smoke_wheel.py scripts/smoke_client.py "$root$checks/scripts/"
offline=(PIP_NO_INDEX=1 "PIP_FIND_LINKS=$wheels" PIP_DISABLE_PIP_VERSION_CHECK=1)
in_wheel="$wheels/$(basename "$wheel")"
quietly in_root python3 -m venv /opt/scb
quietly in_root env "${offline[@]}" /opt/scb/bin/python -m pip install -q --only-binary :all: \
    "$in_wheel[sandbox]" pytest auditwheel abi3audit
phase_done "wheels downloaded and installed"

echo "Checking the wheel's libraries in the root"
in_root env SCB_WHEEL="$in_wheel" /opt/scb/bin/python -m pytest -q -p no:cacheprovider \
    --rootdir="$checks" "$checks/tests/test_wheel.py"
phase_done "wheel checks"

echo "Smoke test and demo in the root"
in_root env "${offline[@]}" /opt/scb/bin/python "$checks/scripts/smoke_wheel.py" "$in_wheel" /usr/bin/python3
phase_done "smoke test and demo"

echo "Fresh Debian 12 $debian_arch root: wheel checks, smoke test and demo passed in $((SECONDS - started)) s ($phases)"
