#!/usr/bin/env bash
# Cost of --map and --json: a 30-minute 16-bit stereo recording decoded with and without them,
# with --recover and in the default mode (median wall times), and the size of the picture. Then
# a worn recording of several blocks, for a look at the picture (kept with KEEP=1; rendered to
# PNG where rsvg-convert is installed).
#
#   bench/report.sh [BUILD_DIR [WORK_DIR]]
#     BUILD_DIR  default build/release under the repo root (tonegrab and tonegrab-synth are
#                built there with the release preset when missing)
#     WORK_DIR   default a fresh mktemp -d under /tmp, removed at the end unless KEEP=1
#   env: RUNS (5) timed runs per command, MINUTES (30), NO_HYPERFINE=1 for the built-in timer.
# Goals: at most +10 % with --recover, +15 % in the default mode, the picture under 2 MB.
# Exits non-zero only when a decode is wrong; the goals are reported, not enforced.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
RUNS=${RUNS:-5}
MINUTES=${MINUTES:-30}
if [[ -n ${2:-} ]]; then WORK=$2; mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/tonegrab-report.XXXXXX); fi
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT

TG=$BUILD/tonegrab
SYNTH=$BUILD/tests/tonegrab-synth
# shellcheck source=bench/timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
build_tools "$ROOT" "$BUILD" "$TG" "$SYNTH"


f=$WORK/s16x2-${MINUTES}min.wav
"$SYNTH" --rate 44100 --tail idle --seed 1 --bits 16 --channels 2 --channel 1 \
  --seconds $((MINUTES * 60)) "$f" >/dev/null
cat "$f" >/dev/null  # into the page cache

timer=built-in; [[ ${NO_HYPERFINE:-0} != 1 ]] && command -v hyperfine >/dev/null && timer=hyperfine
echo "tonegrab: $TG ($(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '?'))"
echo "file: $(basename "$f"), $(($(stat -c %s "$f") / 1000000)) MB; timer: $timer, median of $RUNS"
read -r load _ </proc/loadavg
echo "load average before the start: $load"
echo
echo "| mode | plain | --map --json | cost | goal | SVG | JSON | bytes right |"
echo "|---|---|---|---|---|---|---|---|"
bad=0
for mode in --recover default; do
  opt=$mode goal=10
  [[ $mode == default ]] && opt='' goal=15
  base="'$TG' $opt -q -y -c 1 '$f' '$WORK/out.bin' >/dev/null 2>&1"
  with="'$TG' $opt -q -y -c 1 --map='$WORK/tape.svg' --json='$WORK/tape.json' '$f' '$WORK/out.bin' >/dev/null 2>&1"
  plain=$(timed "$base")
  reported=$(timed "$with")
  ok=yes
  cmp -s "$WORK/out.bin" "$f.payload" || { ok=no; bad=1; }
  svg=$(stat -c %s "$WORK/tape.svg") json=$(stat -c %s "$WORK/tape.json")
  cost=$(awk -v a="$plain" -v b="$reported" 'BEGIN { printf "%+.1f %%", (b / a - 1) * 100 }')
  met=$(awk -v a="$plain" -v b="$reported" -v g="$goal" -v s="$svg" \
    'BEGIN { print ((b / a - 1) * 100 <= g && s < 2000000) ? "met" : "MISSED" }')
  echo "| $mode | ${plain}s | ${reported}s | $cost | +$goal %: $met | $((svg / 1000)) KB | $((json / 1000)) KB | $ok |"
done

# Four blocks on a worn tape: noise, wow, a slow machine and three dropouts.
w=$WORK/worn-blocks.wav
"$SYNTH" --rate 44100 --seed 7 --random 6000 --blocks 4 --gap 6 --speed 0.97 --snr 8 \
  --wow 0.04@0.5 --dip 40:0.05:-50 --dip 150:0.3:-30 --dip 200:0.02:-50 "$w" >/dev/null
"$TG" -r -q -y --map="$WORK/worn.svg" --json="$WORK/worn.json" "$w" "$WORK/worn.bin" || true
echo
echo "worn recording: $w; picture $WORK/worn.svg ($(($(stat -c %s "$WORK/worn.svg") / 1000)) KB)"
if command -v rsvg-convert >/dev/null; then
  rsvg-convert "$WORK/worn.svg" -o "$WORK/worn.png" && echo "rendered: $WORK/worn.png"
fi
exit $bad
