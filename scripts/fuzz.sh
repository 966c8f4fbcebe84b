#!/usr/bin/env bash
# Coverage-guided fuzzing of the routines that read text the library does not
# control (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer).
#   scripts/fuzz.sh [seconds-per-target] [target ...]
# Default: 30 seconds for every target in fuzz/. Each target runs on a fresh
# working copy of its committed seeds under build/fuzz/runs/<target>/, where a
# reproducer stays when it finds something. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true
case "$seconds" in
    '' | *[!0-9]*) echo "usage: $0 [seconds-per-target] [target ...]" >&2; exit 2 ;;
esac

all_targets=()
for source in fuzz/*.cpp; do
    all_targets+=("$(basename "$source" .cpp)")
done
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    targets=("${all_targets[@]}")
fi
for target in "${targets[@]}"; do
    if [ ! -f "fuzz/$target.cpp" ]; then
        echo "unknown target: $target (known: ${all_targets[*]})" >&2
        exit 2
    fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
apt_updated=false
install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return
    fi
    echo "Installing: ${missing[*]}"
    if [ "$apt_updated" = false ]; then
        "${sudo_cmd[@]}" apt-get update -qq
        apt_updated=true
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_packages clang make pkg-config libcurl4-openssl-dev libpq-dev libssl-dev libcjson-dev
if ! command -v cmake >/dev/null 2>&1; then
    install_packages cmake
fi
# The fuzzer runtime ships apart from the compiler, in the package named
# after the compiler's major version.
clang_major="$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)"
if [ -z "$clang_major" ]; then
    echo "cannot tell the clang version from: $(clang --version | head -n 1)" >&2
    exit 1
fi
install_packages "libclang-rt-$clang_major-dev"

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DSCB_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzzers -j 2 >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# The last figure libFuzzer printed after `label`, from its log.
last_figure() {
    grep -o "$1 *[0-9][0-9]*" "$2" | tail -n 1 | grep -o '[0-9][0-9]*$' || echo '?'
}

# libFuzzer's own count of the corpus it kept, units/size.
last_corpus() {
    grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$1" | tail -n 1 | cut -d' ' -f2 || echo '?'
}

failed=()
summary=()
for target in "${targets[@]}"; do
    run="$build/runs/$target"
    rm -rf "$run"
    mkdir -p "$run/corpus"
    cp -R "fuzz/corpus/$target/." "$run/corpus/"
    options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$run/")
    if [ -f "fuzz/dictionaries/$target.dict" ]; then
        options+=(-dict="fuzz/dictionaries/$target.dict")
    fi
    echo "== $target: ${seconds}s"
    status=0
    "$build/fuzz/$target" "${options[@]}" "$run/corpus" >"$run/log" 2>&1 || status=$?
    findings=$(find "$run" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)
    if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
        failed+=("$target")
        tail -n 40 "$run/log" >&2
        find "$run" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) \
            -printf 'reproducer: %p\n' >&2
    fi
    summary+=("$(printf '%-16s execs: %s  exec/s: %s  cov: %s  ft: %s  corp: %s  corpus dir: %s files  findings: %s  exit: %s' \
        "$target" "$(last_figure 'stat::number_of_executed_units:' "$run/log")" \
        "$(last_figure 'stat::average_exec_per_sec:' "$run/log")" "$(last_figure 'cov:' "$run/log")" \
        "$(last_figure 'ft:' "$run/log")" "$(last_corpus "$run/log")" "$(find "$run/corpus" -type f | wc -l)" \
        "$findings" "$status")")
done

echo "== fuzzing summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -ne 0 ]; then
    echo "findings in: ${failed[*]} (reproducers under $build/runs/)" >&2
    exit 1
fi
