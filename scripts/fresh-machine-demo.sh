#!/usr/bin/env bash
# Runs the demo from the wheel on a really fresh machine: a minimal Debian 12
# root made with debootstrap that gets python3, python3-venv and PostgreSQL's
# server and nothing else: no compiler, no development packages, no libcurl
# or libcjson for the extension to find (the server brings a libpq; the
# extension loads the wheel's own all the same).
#   scripts/fresh-machine-demo.sh WHEEL
# Needs root (debootstrap, chroot, mounts) and the Debian and PyPI registries.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel="$(realpath "$1")"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
log="$PWD/build/fresh-machine.log"
mkdir -p build
: >"$log"
started=$SECONDS
phase_started=$SECONDS
phases=""

phase_done() {
    phases="$phases${phases:+; }$1 $((SECONDS - phase_started)) s"
    phase_started=$SECONDS
}

if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

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

quietly() {
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log"
        echo "failed: $*" >&2
        return 1
    fi
}

echo "Creating a minimal Debian 12 root in $root"
quietly debootstrap --variant=minbase bookworm "$root" "$mirror"
phase_done debootstrap

mount -t proc proc "$root/proc"
# /dev/shm for PostgreSQL's shared memory, /dev/urandom for everyone.
mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Services are not started in a chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
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
echo "The root has Python $(in_root python3 -c 'import platform; print(platform.python_version())'), no compiler, no development package, no libcurl or libcjson"

cp "$wheel" "$root/tmp/"
# pip trusts the certificate authorities the host trusts (a TLS-inspecting
# proxy on the way to the package index included).
ca=()
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/host-ca-certificates.crt"
    ca=(PIP_CERT=/etc/host-ca-certificates.crt)
fi
quietly in_root python3 -m venv /opt/scb
quietly in_root env "${ca[@]}" /opt/scb/bin/python -m pip install -q --disable-pip-version-check --only-binary :all: \
    "/tmp/$(basename "$wheel")[sandbox]"
phase_done "wheel into a virtual environment"

echo "Running the demo in the root"
in_root /opt/scb/bin/python -m halvenor_scb_lib demo --no-terminal-qr --out /tmp/demo-out
phase_done demo

echo "Fresh Debian 12 root: demo passed in $((SECONDS - started)) s ($phases)"
