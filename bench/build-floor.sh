#!/usr/bin/env bash
# Builds bench/floor.cpp into the given file (default build/bench/floor), against the
# library's own headers, so the floor sends the library's statement texts.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/bench/floor}"
mkdir -p "$(dirname "$out")"
# shellcheck disable=SC2046  # pkg-config prints several words on purpose
g++ -std=c++17 -O2 -Wall -Wextra -Werror -Iinclude -Isrc/lib -Isrc/util bench/floor.cpp -o "$out" \
    $(pkg-config --cflags --libs libcurl libpq libcjson)
