#!/usr/bin/env bash
# Writes the seed inputs of the fuzz corpus: small recordings made by the signal synthesizer,
# one per sample width, mono and stereo, with the different endings, one longer than the
# tool's input buffer, and one character-pair text; then, from one of them, the other WAV forms
# (float, chunks before "fmt ", RF64) and a few files of the audio library's formats, made by
# sox and ffmpeg when they are installed.
#
#   fuzz/make_seeds.sh [SYNTH [OUTDIR]]
#
# SYNTH defaults to the first tonegrab-synth found under build/, OUTDIR to fuzz/corpus.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
synth=${1:-}
if [[ -z $synth ]]; then
  for candidate in "$here"/../build/*/tests/tonegrab-synth; do
    if [[ -x $candidate ]]; then
      synth=$candidate
      break
    fi
  done
fi
out=${2:-$here/corpus}
if [[ -z $synth || ! -x $synth ]]; then
  echo "tonegrab-synth not found: build the tests first or name it as the first argument" >&2
  exit 2
fi
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'AB\177' >"$tmp/payload"

# A low rate and a short leader keep every file a few KB.
common=(--rate 11025 --leader 220 --payload "$tmp/payload")

last_byte() { tail -c 1 "$1" | od -An -tu1 | tr -d ' '; }

# seed NAME BITS CHANNELS TAIL [OPTION...]
# The fuzz target picks the channel from the last byte of the input, so for several channels the
# signal channel and the synthesizer's seed are varied until that choice is the signal channel.
seed() {
  local name=$1 bits=$2 channels=$3 tail=$4
  shift 4
  local file=$out/seed-$name.wav
  for n in $(seq 1 20); do
    for k in $(seq 1 "$channels"); do
      "$synth" "${common[@]}" --bits "$bits" --channels "$channels" --channel "$k" \
        --tail "$tail" --seed "$n" "$@" "$file"
      (( $(last_byte "$file") % channels + 1 == k )) && return 0
    done
  done
  echo "no synthesizer seed makes the last byte select the signal channel of $name" >&2
  exit 1
}

seed 8-mono-noise 8 1 noise
seed 8-stereo-idle 8 2 idle
seed 16-mono-silence 16 1 silence
seed 16-stereo-noise 16 2 noise --shape square
seed 16-3ch-badstop 16 3 badstop --noise 0.05
seed 24-mono-badstop 24 1 badstop --speed 1.08
seed 24-stereo-noise 24 2 noise
seed 32-mono-idle 32 1 idle --amplitude 0.3
seed 32-stereo-noise 32 2 noise --speed 0.95
# Longer than the input buffer of the tool: the window is refilled while decoding, and 3-byte
# frames straddle its end.
"$synth" --rate 22050 --bits 24 --random 480 --seed 5 --tail noise "$tmp/long.wav"
mv "$tmp/long.wav" "$out/seed-24-mono-long.wav"
"$synth" --text --payload "$tmp/payload" "$out/seed-text.txt"

# Mono, so that any channel choice of the fuzz target is the signal's.
base=$out/seed-16-mono-silence.wav
other() {
  local name=$1 tool=$2
  shift 2
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is not installed: no seed $name" >&2
    return 0
  fi
  if [[ $tool == sox ]]; then
    sox -D "$base" "$@" "$tmp/$name"
  else
    ffmpeg -nostdin -v error -y -i "$base" "$@" "$tmp/$name"
  fi
  mv "$tmp/$name" "$out/seed-$name"
}
other float32.wav sox -e floating-point
other float64.wav sox -e floating-point -b 64
other ext-float.wav ffmpeg -bitexact -c:a pcm_f32le
other junk-first.wav ffmpeg -bitexact -rf64 auto -c:a pcm_s16le
other rf64.wav ffmpeg -bitexact -rf64 always -c:a pcm_s16le
other mulaw.wav sox -e mu-law
other 16.flac sox
other 16.aiff sox
