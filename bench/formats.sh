#!/usr/bin/env bash
# Speed and memory of tonegrab on the formats beyond integer WAV, in the same run as their
# references: a 16-bit stereo FLAC against Debian's `flac -d -c` on the same file, and a 32-bit
# float WAV against the integer WAV it was made from.
#
#   bench/formats.sh [BUILD_DIR [WORK_DIR]]
#     BUILD_DIR  default build/release under the repo root (built with the release preset if
#                tonegrab is missing there)
#     WORK_DIR   default a fresh mktemp -d under /tmp, removed at the end unless KEEP=1
#   env: RUNS (5) timed runs per command, MINUTES (30) length of the recording,
#        NO_HYPERFINE=1 to use the built-in timer even where hyperfine is installed.
# Needs flac and sox. Exits non-zero only when a decode is wrong; targets are reported.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
RUNS=${RUNS:-5}
MINUTES=${MINUTES:-30}
if [[ -n ${2:-} ]]; then WORK=$2; mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/tonegrab-formats.XXXXXX); fi
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT

TG=$BUILD/tonegrab
SYNTH=$BUILD/tests/tonegrab-synth
# shellcheck source=bench/timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
build_tools "$ROOT" "$BUILD" "$TG" "$SYNTH"
for tool in flac sox; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

# peak_rss FILE: the largest peak RSS in KiB of RUNS decodes of FILE; the decode must be right.
peak_rss() {
  local r
  for ((r = 0; r < RUNS; r++)); do
    /usr/bin/time -v -o "$WORK/time.txt" "$TG" -q -y -c 1 "$1" "$WORK/out.bin" >/dev/null
    cmp -s "$WORK/out.bin" "$WAV.payload" || { echo "WRONG DECODE: $1" >&2; return 1; }
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt"
  done | sort -n | tail -n 1
}

WAV=$WORK/s16x2-${MINUTES}min.wav
FLAC=$WORK/s16x2-${MINUTES}min.flac
FLOAT=$WORK/f32x2-${MINUTES}min.wav
"$SYNTH" --rate 44100 --bits 16 --channels 2 --channel 1 --tail idle --seed 1 \
  --seconds $((MINUTES * 60)) "$WAV" >/dev/null
flac -s -f "$WAV" -o "$FLAC"
sox -D "$WAV" -e floating-point -b 32 "$FLOAT"
cat "$WAV" "$FLAC" "$FLOAT" >/dev/null  # into the page cache

echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(uname -sr)"
echo "tonegrab: $TG ($(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '?'))"
echo "flac: $(flac --version)   libsndfile: $(pkg-config --modversion sndfile 2>/dev/null || echo '?')"
read -r load _ </proc/loadavg
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
  echo "warning: load average $load before the start: other work competes for the cores, timings are noisy"
fi
echo

bad=0
rss_flac=$(peak_rss "$FLAC") || bad=1
rss_float=$(peak_rss "$FLOAT") || bad=1
rss_wav=$(peak_rss "$WAV") || bad=1
t_ref=$(timed "flac -d -c -s '$FLAC' >/dev/null")
t_flac=$(timed "'$TG' -q -y -c 1 '$FLAC' '$WORK/out.bin' >/dev/null")
t_wav=$(timed "'$TG' -q -y -c 1 '$WAV' '$WORK/out.bin' >/dev/null")
t_float=$(timed "'$TG' -q -y -c 1 '$FLOAT' '$WORK/out.bin' >/dev/null")

fmt='%-34s %10s %10s\n'
# shellcheck disable=SC2059
printf "$fmt" command "median s" "RSS KiB"
printf "$fmt" "flac -d -c $(basename "$FLAC")" "$t_ref" -
printf "$fmt" "tonegrab $(basename "$FLAC")" "$t_flac" "$rss_flac"
printf "$fmt" "tonegrab $(basename "$WAV")" "$t_wav" "$rss_wav"
printf "$fmt" "tonegrab $(basename "$FLOAT")" "$t_float" "$rss_float"
echo

verdict() { if awk "BEGIN { exit !($2) }"; then echo "  met      $1"; else echo "  NOT MET  $1"; fi; }
r_flac=$(awk -v a="$t_flac" -v b="$t_ref" 'BEGIN { printf "%.2f", a / b }')
r_float=$(awk -v a="$t_float" -v b="$t_wav" 'BEGIN { printf "%.2f", a / b }')
echo "targets:"
verdict "FLAC in <= 1.2 x the time of flac -d -c (ratio $r_flac)" "$r_flac <= 1.2"
verdict "float WAV in <= 1.5 x the time of the integer WAV (ratio $r_float)" "$r_float <= 1.5"
for rss in "$rss_flac" "$rss_wav" "$rss_float"; do
  verdict "peak RSS $rss KiB < 8192 KiB" "${rss:-99999} < 8192"
done
if [[ $bad != 0 ]]; then echo "some decodes were wrong" >&2; exit 1; fi
echo "all decodes matched their payloads"
