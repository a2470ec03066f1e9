#!/usr/bin/env bash
# Whether two builds of tonegrab decode alike with --recover: a set of varied recordings (noise,
# wow, hum, clicks, tape sides of several blocks, sample rates from 8 to 96 kHz, 8-, 16-, 24-
# and 32-bit and float samples, mono and stereo), each decoded by both with -v, --labels,
# --json and --map; the whole console text, the status and every file written are compared. For changes meant to keep
# every result as it was (speed work): any difference is printed, and the status is 1.
#
#   bench/recover_same.sh REFERENCE_TONEGRAB [TONEGRAB [WORK_DIR]]
#     TONEGRAB  default build/release/tonegrab under the repo root
#     WORK_DIR  default a fresh mktemp -d, removed at the end unless KEEP=1
#   env: SYNTH (build/release/tests/tonegrab-synth), SEEDS (2) seeds per recording,
#        ENV_NEW (e.g. TONEGRAB_SCAN=plain) set for the second build's runs only
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REF=$(realpath "${1:?usage: bench/recover_same.sh REFERENCE_TONEGRAB [TONEGRAB [WORK_DIR]]}")
NEW=$(realpath "${2:-$ROOT/build/release/tonegrab}")
SYNTH=${SYNTH:-$ROOT/build/release/tests/tonegrab-synth}
SEEDS=${SEEDS:-2}
if [[ -n ${3:-} ]]; then WORK=$3; mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/tonegrab-same.XXXXXX); fi
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT

# name | synthesizer options | channel | sox conversion of the result ("" none)
CASES=(
  "clean|--random 300|1|"
  "noise 0 dB|--random 300 --snr 0|1|"
  "noise -1 dB|--random 300 --snr -1|1|"
  "wow 16 % at 2 Hz|--random 300 --wow 0.16@2|1|"
  "flutter, speed 1.15|--random 300 --flutter 0.03@15 --speed 1.15|1|"
  "hum +6 dB, DC|--random 300 --amplitude 0.2 --hum 6 --dc 0.2|1|"
  "clicks, noise 20 dB|--random 300 --clicks 10:0.3:0.95 --snr 20|1|"
  "4 distinct blocks, gaps, voice|--random 200 --blocks 4 --distinct-blocks --gaps 0.15,1.5,0.4 --leaders 2000,100,400,50 --voice-between 0.4|1|"
  "tape side, 8 kHz|--random 200 --rate 8000 --blocks 3 --distinct-blocks --gaps 0.5 --snr 10 --idle 8@0.2|1|"
  "11025 Hz, noise|--random 300 --rate 11025 --snr 6|1|"
  "22050 Hz, speed 0.92|--random 300 --rate 22050 --speed 0.92 --snr 8|1|"
  "48000 Hz, stereo channel 2|--random 300 --rate 48000 --channels 2 --channel 2 --snr 4|2|"
  "96000 Hz, 24-bit, clicks|--random 300 --rate 96000 --bits 24 --clicks 8:0.2:0.95 --snr 12|1|"
  "8-bit, peak -16 dBFS|--random 300 --bits 8 --amplitude 0.158 --snr 15|1|"
  "32-bit stereo, step|--random 300 --bits 32 --channels 2 --step 1.2:1.07 --snr 10|1|"
  "float, clipped|--random 300 --amplitude 1 --clip 0.3 --snr 6|1|sox -e floating-point -b 32"
  "88200 Hz float64 mono|--random 300 --rate 88200 --snr 3|1|sox -e floating-point -b 64"
  "16-bit stereo, thump, dip|--random 300 --channels 2 --thump 0 --amplitude 0.5 --dip 1.3:0.02:-30|1|"
)

differ=0
for c in "${CASES[@]}"; do
  IFS='|' read -r name opts ch conv <<<"$c"
  for ((seed = 1; seed <= SEEDS; seed++)); do
    rec=$WORK/rec.wav
    # shellcheck disable=SC2086
    "$SYNTH" $opts --seed "$seed" "$WORK/synth.wav" >/dev/null
    if [[ -n $conv ]]; then
      # shellcheck disable=SC2086
      ${conv%% *} "$WORK/synth.wav" ${conv#* } "$rec"
    else
      mv "$WORK/synth.wav" "$rec"
    fi
    for which in ref new; do
      rm -rf "$WORK/$which" && mkdir "$WORK/$which"
      tg=$REF envs=()
      if [[ $which == new ]]; then tg=$NEW; [[ -z ${ENV_NEW:-} ]] || envs=("$ENV_NEW"); fi
      status=0
      (cd "$WORK/$which" && env "${envs[@]}" "$tg" --recover -v -y -c "$ch" --labels=labels.txt \
        --json=report.json --map=map.svg "$rec" out.bin >console 2>&1 </dev/null) || status=$?
      echo "$status" >"$WORK/$which/status"
    done
    if diff -r "$WORK/ref" "$WORK/new" >"$WORK/diff" 2>&1; then
      echo "same: $name, seed $seed ($(ls "$WORK/new" | grep -c '\.bin$') files, status $(cat "$WORK/new/status"))"
    else
      echo "DIFFERENT: $name, seed $seed"
      head -20 "$WORK/diff"
      differ=1
    fi
  done
done
exit $differ
