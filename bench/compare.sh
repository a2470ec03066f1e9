#!/usr/bin/env bash
# Byte-for-byte comparison of two tonegrab builds in the default mode: every case is run by
# both, and standard output, standard error, exit status and the output file must be the same.
# For a change that must leave every result as it was (a faster decoder, say). Not a timed
# test: the time it takes does not matter.
#
#   bench/compare.sh OLD_BUILD_DIR [NEW_BUILD_DIR [WORK_DIR]]
#     NEW_BUILD_DIR  default build/release under the repo root
#     WORK_DIR       default a fresh mktemp -d under /tmp, removed at the end unless KEEP=1
#   env: BENCH_DIR  a work directory of bench/run.sh (run with KEEP=1): its recordings are
#                   compared too; SYNTH (NEW_BUILD_DIR/tests/tonegrab-synth).
# The new build runs each case twice: as it chooses its sample scan, and with
# TONEGRAB_SCAN=plain (the plain scan, whatever the processor has).
# Prints one line per difference and a count; exits 1 when anything differs.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OLD=${1:?usage: bench/compare.sh OLD_BUILD_DIR [NEW_BUILD_DIR [WORK_DIR]]}
NEW=${2:-$ROOT/build/release}
if [[ -n ${3:-} ]]; then WORK=$3; mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/tonegrab-compare.XXXXXX); fi
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT
SYNTH=${SYNTH:-$NEW/tests/tonegrab-synth}
OLD=$(cd "$OLD" && pwd) NEW=$(cd "$NEW" && pwd) SYNTH=$(cd "$(dirname "$SYNTH")" && pwd)/$(basename "$SYNTH")
for b in "$OLD/tonegrab" "$NEW/tonegrab" "$SYNTH"; do [[ -x $b ]] || { echo "missing $b" >&2; exit 2; }; done
REC=$WORK/rec
mkdir -p "$REC"
printf 'y\n1\n' >"$WORK/answers"

cases=0 diffs=0 decoded=0 failed=0
# run_one DIR BINARY MODE: runs the case's command line (CASE_ARGS, CASE_STDIN, CASE_KIND) in DIR.
run_one() {
  local dir=$1 bin=$2 mode=$3 status=0
  rm -rf "$dir" && mkdir -p "$dir"
  (
    cd "$dir"
    [[ $mode == plain ]] && export TONEGRAB_SCAN=plain
    case $CASE_KIND in
      file) "$bin" "${CASE_ARGS[@]}" <"$CASE_STDIN" >stdout 2>stderr ;;
      pipe) "$bin" "${CASE_ARGS[@]}" <"$CASE_INPUT" >stdout 2>stderr ;;
      # The whole input arrives, then the pipe stays open until the signal ends the run.
      signal)
        { cat "$CASE_INPUT"; sleep 3; } | "$bin" "${CASE_ARGS[@]}" >stdout 2>stderr &
        local pid=$!
        sleep 1
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" ;;
    esac
  ) || status=$?
  echo "$status" >"$dir/status"
}

# check NAME KIND STDIN_OR_INPUT ARGS...: one case, by both builds.
check() {
  local name=$1
  CASE_KIND=$2 CASE_STDIN=$3 CASE_INPUT=$3
  shift 3
  CASE_ARGS=("$@")
  cases=$((cases + 1))
  run_one "$WORK/old" "$OLD/tonegrab" auto
  [[ -s $WORK/old/out.bin ]] && decoded=$((decoded + 1))
  [[ $(cat "$WORK/old/status") == 0 ]] || failed=$((failed + 1))
  for mode in auto plain; do
    run_one "$WORK/new" "$NEW/tonegrab" "$mode"
    local what="" f
    for f in stdout stderr status out.bin; do
      if [[ -e $WORK/old/$f || -e $WORK/new/$f ]] && ! cmp -s "$WORK/old/$f" "$WORK/new/$f"; then
        what+=" $f"
      fi
    done
    if [[ -n $what ]]; then
      diffs=$((diffs + 1))
      echo "DIFFERS ($mode scan):$what: $name: ${CASE_ARGS[*]}"
    fi
  done
}

synth() {  # synth NAME OPTIONS...: a recording in REC, once
  local f=$REC/$1
  shift
  [[ -e $f ]] || "$SYNTH" "$@" "$f" >/dev/null
  echo "$f"
}

# The sweep: rates, widths, channels, every tail, with and without -v and -q.
seed=0
for rate in 8000 11025 22050 44100 48000 96000; do
  for bits in 8 16 24 32; do
    for ch in 1 2; do
      for tail in silence noise idle badstop; do
        seed=$((seed + 1))
        chosen=$(( (seed % ch) + 1 ))
        f=$(synth "r${rate}-b${bits}-c${ch}-${tail}.wav" --rate $rate --bits $bits --channels $ch \
          --channel $chosen --tail $tail --seed $seed --random $((40 + seed % 200)) \
          --speed "1.0$((seed % 7))" --snr $((12 + seed % 30)))
        opts=()
        ((ch == 1)) || opts=(-c $chosen)
        check "$(basename "$f")" file "$WORK/answers" "${opts[@]}" "$f" out.bin
        case $((seed % 3)) in
          0) check "$(basename "$f") -v" file "$WORK/answers" -v "${opts[@]}" "$f" out.bin ;;
          1) check "$(basename "$f") -q" file "$WORK/answers" -q "${opts[@]}" "$f" out.bin ;;
          2) check "$(basename "$f") -v -q" file "$WORK/answers" -v -q "${opts[@]}" "$f" out.bin ;;
        esac
      done
    done
  done
done

# Three channels, the channel asked on the console; speeds far off nominal; false leaders.
f=$(synth c3.wav --channels 3 --channel 2 --bits 16 --random 300 --tail noise)
printf 'y\n2\n' >"$WORK/answers2"
check c3-asked file "$WORK/answers2" "$f" out.bin
check c3-option-v file "$WORK/answers" -v -c 2 "$f" out.bin
for speed in 0.7 0.85 1.2 1.35; do
  f=$(synth "speed$speed.wav" --speed $speed --random 500 --tail noise --false-leaders 3 --seed 9)
  check "speed $speed" file "$WORK/answers" -v "$f" out.bin
done
f=$(synth square.wav --shape square --random 400 --bits 8 --tail idle)
check square file "$WORK/answers" "$f" out.bin
f=$(synth noisy.wav --random 400 --snr 3 --tail noise --seed 5)
check noisy file "$WORK/answers" -v "$f" out.bin

# Truncated recordings: inside the header, inside a frame, at odd byte counts.
base=$(synth trunc-src.wav --bits 24 --channels 2 --random 200 --tail noise --seed 11)
size=$(stat -c %s "$base")
for cut in 10 30 44 45 47 1001 $((size / 3)) $((size / 2 + 1)) $((size - 7)); do
  head -c "$cut" "$base" >"$REC/trunc-$cut.wav"
  check "truncated at $cut" file "$WORK/answers" -v -c 1 "$REC/trunc-$cut.wav" out.bin
done
base=$(synth trunc8.wav --bits 8 --random 200 --tail silence --seed 12)
size=$(stat -c %s "$base")
head -c $((size * 2 / 3)) "$base" >"$REC/trunc8-cut.wav"
check "8-bit truncated" file "$WORK/answers" "$REC/trunc8-cut.wav" out.bin

# Pipes: decoded as they arrive; a recording whose step back is longer than a pipe keeps is
# refused; a signal while the pipe waits ends the run after what was decoded.
f=$(synth pipe.wav --bits 16 --channels 2 --random 300 --tail badstop --seed 13)
check "pipe" pipe "$f" -c 1 - out.bin
check "pipe -v" pipe "$f" -v -c 1 - out.bin
f=$(synth pipe-slow.wav --rate 96000 --bits 32 --channels 8 --random 50 --seed 14)
check "pipe, step back too long" pipe "$f" -c 1 - out.bin
f=$(synth pipe-sig.wav --bits 16 --random 300 --tail idle --seed 15)
check "pipe, SIGTERM" signal "$f" - out.bin

# Text input, white noise, a steady tone, float samples (sox).
f=$(synth text.txt --text --random 3000 --seed 16)
check text file "$WORK/answers" "$f" out.bin
check "text -v" file "$WORK/answers" -v "$f" out.bin
if command -v sox >/dev/null; then
  for entry in "noise16.wav|-b 16 -c 2|whitenoise" "noise8.wav|-b 8 -c 1|whitenoise" \
    "tone.wav|-b 16 -c 1|sine 1000" "pink.wav|-b 32 -c 1|pinknoise"; do
    IFS='|' read -r name format effect <<<"$entry"
    # shellcheck disable=SC2086  # the format and effect arguments are meant to split
    [[ -e $REC/$name ]] || sox -V1 -n -r 44100 $format "$REC/$name" synth 20 $effect
    check "$name" file "$WORK/answers" -v -c 1 "$REC/$name" out.bin
  done
  f=$(synth float-src.wav --bits 16 --random 300 --tail noise --seed 17)
  sox -V1 "$f" -e floating-point -b 32 "$REC/float32.wav"
  check float32 file "$WORK/answers" -v "$REC/float32.wav" out.bin
fi

# The benchmark's long recordings.
if [[ -n ${BENCH_DIR:-} ]]; then
  for f in "$BENCH_DIR"/*.wav "$BENCH_DIR"/*.txt; do
    [[ -e $f ]] || continue
    check "$(basename "$f")" file "$WORK/answers" -c 1 "$f" out.bin
    check "$(basename "$f") -v" file "$WORK/answers" -v -q -c 1 "$f" out.bin
  done
fi

echo "$cases cases ($decoded with bytes decoded, $failed ending with a status other than 0)," \
  "each by the old build and twice by the new one: $diffs differences"
((diffs == 0))
