#!/usr/bin/env bash
# Reading a page-cached recording by read() against mapping it, on this machine: the cost a
# decoder pays before any work. See read_or_map.cpp.
#
#   bench/read_or_map.sh FILE [RUNS]   (RUNS 12: the fastest pass of each way is printed)
set -euo pipefail
DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FILE=${1:?usage: bench/read_or_map.sh FILE [RUNS]}
BIN=$(mktemp /tmp/tonegrab-read-or-map.XXXXXX)
trap 'rm -f "$BIN"' EXIT
"${CXX:-g++}" -O2 -std=c++20 -o "$BIN" "$DIR/read_or_map.cpp"
cat "$FILE" >/dev/null  # into the page cache
echo "$(basename "$FILE"), $(stat -c %s "$FILE") bytes, fastest of ${2:-12}:"
"$BIN" "$FILE" "${2:-12}"
