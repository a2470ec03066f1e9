#!/usr/bin/env bash
# Throughput and memory benchmark of tonegrab on long synthesized recordings, timed against
# md5sum and cat on the same page-cached files in the same run.
#
#   bench/run.sh [BUILD_DIR [WORK_DIR]]
#     BUILD_DIR  default build/release under the repo root (tonegrab and tonegrab-synth are
#                built there with the release preset when missing)
#     WORK_DIR   default a fresh mktemp -d under /tmp, removed at the end unless KEEP=1
#   env: RUNS (5) timed runs per command, MINUTES ("10 30") lengths of the 16-bit stereo
#        recordings (the last one also gives the 16-bit mono and the white-noise rows),
#        SYNTH (BUILD_DIR/tests/tonegrab-synth), NO_HYPERFINE=1 to use the built-in timer even
#        where hyperfine is installed, REUSE=1 to keep recordings already in WORK_DIR.
#   TONEGRAB_SCAN=plain (passed on to tonegrab; not in its help): the sample scan runs the
#        plain code even where the processor has vector instructions, to time that variant.
#        TONEGRAB_SCAN_REPORT=1 makes tonegrab say on standard error which variant it chose;
#        the benchmark asks for that once, before the timings.
# Exits non-zero only when a decode is wrong; timing targets are reported, not enforced.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
RUNS=${RUNS:-5}
MINUTES=${MINUTES:-"10 30"}
if [[ -n ${2:-} ]]; then WORK=$2; mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/tonegrab-bench.XXXXXX); fi
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT

TG=$BUILD/tonegrab
SYNTH=${SYNTH:-$BUILD/tests/tonegrab-synth}
# shellcheck source=bench/timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
build_tools "$ROOT" "$BUILD" "$TG" "$SYNTH"
[[ -x $SYNTH ]] || { echo "no synthesizer at $SYNTH" >&2; exit 2; }
ANSWERS=$WORK/answers
printf 'y\n1\n' >"$ANSWERS"  # overwrite: yes; channel: 1 (ignored for mono and text)


# The recordings: name, then the synthesizer options.
declare -a NAMES=() OPTS=()
add() { NAMES+=("$1"); shift; OPTS+=("$*"); }
for m in $MINUTES; do add "s16x2-${m}min.wav" --bits 16 --channels 2 --channel 1 --seconds $((m * 60)); done
read -r -a mins <<<"$MINUTES"
longest=${mins[${#mins[@]} - 1]}
add "s16x1-${longest}min.wav" --bits 16 --channels 1 --seconds $((longest * 60))
# White noise of the longest stereo recording's format and length (sox): no leader is ever
# found, the search runs to the end of the input and ends with "Read error!".
NOISE=noise-s16x2-${longest}min.wav
add "$NOISE" sox
add u8x1-10min.wav --bits 8 --channels 1 --seconds 600
add s24x1-10min.wav --bits 24 --channels 1 --seconds 600
add s32x1-10min.wav --bits 32 --channels 1 --seconds 600
add s24x2-10min.wav --bits 24 --channels 2 --channel 1 --seconds 600
add s32x2-10min.wav --bits 32 --channels 2 --channel 1 --seconds 600
add pairs-100MB.txt --text --random 50000000

echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(uname -sr)"
echo "tonegrab: $TG ($(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '?'))"
echo "synthesizer: $SYNTH   work: $WORK"
echo "cpu flags: $(grep -m1 -o -w -E 'sse4_1|sse4_2|avx|avx2|bmi1|bmi2|avx512f|avx512bw' /proc/cpuinfo | sort -u | tr '\n' ' ')"
printf 'y\n' >"$WORK/report-answers"
variant=$(TONEGRAB_SCAN_REPORT=1 "$TG" -q "$ROOT/examples/hello.wav" "$WORK/report.bin" <"$WORK/report-answers" 2>&1 >/dev/null |
  sed -n 's/^tonegrab: sample scan: //p' || true)
echo "sample scan: ${variant:-not reported (a build without the report)}${TONEGRAB_SCAN:+ (TONEGRAB_SCAN=$TONEGRAB_SCAN)}"
timer=built-in; [[ ${NO_HYPERFINE:-0} != 1 ]] && command -v hyperfine >/dev/null && timer=hyperfine
echo "timer: $timer (medians of $RUNS wall times; (cpu): median user+sys of tonegrab, 10 ms steps)"
read -r load _ </proc/loadavg
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
  echo "warning: load average $load before the start: other work competes for the cores, timings are noisy"
fi
echo
fmt='%-18s %8s %10s %9s %7s %9s %9s %7s %12s %16s\n'
# shellcheck disable=SC2059
printf "$fmt" file "size MB" frames "tonegrab" "(cpu)" "md5sum" "cat" ratio "rate" "RSS max/med KiB"
bad=0
declare -A RATE RSS RSSMED RATIO TIME
for i in "${!NAMES[@]}"; do
  name=${NAMES[$i]} f=$WORK/${NAMES[$i]} out=$WORK/out.bin
  if [[ ${REUSE:-0} == 1 && -s $f && -e $f.payload ]]; then
    :
  elif [[ $name == "$NOISE" ]]; then
    sox -n -r 44100 -b 16 -c 2 "$f" synth $((longest * 60)) whitenoise
    : >"$f.payload"
  else
    # shellcheck disable=SC2086  # the options are meant to split
    "$SYNTH" --rate 44100 --tail idle --seed $((i + 1)) ${OPTS[$i]} "$f" >/dev/null
  fi
  cat "$f" "$f.payload" | cat >/dev/null  # into the page cache
  : >"$out"
  # Peak RSS of RUNS runs (it varies by a few hundred KiB from run to run, whatever the
  # length); the first run's output is checked against the payload.
  status=0
  for ((r = 0; r < RUNS; r++)); do
    st=0
    /usr/bin/time -v -o "$WORK/time.txt" "$TG" "$f" "$out" <"$ANSWERS" >"$WORK/console.txt" || st=$?
    awk -F': ' '/Maximum resident set size/ { rss = $2 } /(User|System) time/ { cpu += $2 }
      END { print rss, cpu }' "$WORK/time.txt"
    if [[ $name == "$NOISE" ]]; then
      # Noise decodes to nothing and ends at the end of the input, with status 1.
      { [[ $st == 1 ]] && tail -n 1 "$WORK/console.txt" | grep -qx 'Read error!' && [[ ! -s $out ]]; } ||
        status=wrong
    else
      [[ $st == 0 ]] || status=$st
      ((r > 0)) || [[ $status != 0 ]] || cmp -s "$out" "$f.payload" || status=wrong
    fi
  done >"$WORK/rss.txt"
  rss_med=$(median_of <"$WORK/rss.txt") rss=$(sort -n "$WORK/rss.txt" | awk 'END { print $1 }')
  cpu=$(awk '{ print $2 }' "$WORK/rss.txt" | median_of | awk '{ printf "%.2f", $1 }')
  if [[ $status != 0 ]]; then
    echo "WRONG DECODE: $name (status $status, $(stat -c %s "$out") of $(stat -c %s "$f.payload") bytes)" >&2
    tail -n 3 "$WORK/console.txt" >&2
    bad=1
    continue
  fi
  tg=$(timed "'$TG' '$f' '$out' <'$ANSWERS' >/dev/null")
  md=$(timed "md5sum '$f' >/dev/null")
  ct=$(timed "cat '$f' | cat >/dev/null")
  size=$(stat -c %s "$f")
  if [[ $name == *.txt ]]; then
    frames=-
    rate=$(awk -v s="$size" -v t="$tg" 'BEGIN { printf "%.0f MB/s", s / t / 1e6 }')
  else
    # Canonical 44-byte header; frame size from the channel count and bits per sample in it.
    read -r ch bits < <(od -An -tu2 -j22 -N14 "$f" | awk '{ print $1, $7 }')
    frames=$(( (size - 44) / (ch * bits / 8) ))
    rate=$(awk -v n="$frames" -v t="$tg" 'BEGIN { printf "%.1f Mfr/s", n / t / 1e6 }')
  fi
  RATE[$name]=${rate%% *} RSS[$name]=$rss RSSMED[$name]=$rss_med
  RATIO[$name]=$(awk -v a="$tg" -v b="$md" 'BEGIN { printf "%.3f", a / b }') TIME[$name]=$tg
  # shellcheck disable=SC2059
  printf "$fmt" "$name" "$(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1e6 }')" "$frames" \
    "${tg}s" "${cpu}s" "${md}s" "${ct}s" "${RATIO[$name]}" "$rate" "$rss/$rss_med"
done
echo

# Targets, reported only.
verdict() { if awk "BEGIN { exit !($2) }"; then echo "  met      $1"; else echo "  NOT MET  $1"; fi; }
echo "targets:"
# The first and the last length given are compared.
short=s16x2-${mins[0]}min.wav long=s16x2-${longest}min.wav mono=s16x1-${longest}min.wav
if [[ -n ${RATIO[$long]:-} ]]; then
  verdict "$long in <= 0.16 of md5sum's time (ratio ${RATIO[$long]})" "${RATIO[$long]} <= 0.16"
  if [[ -n ${RATIO[$mono]:-} ]]; then
    verdict "$mono in <= 0.25 of md5sum's time (ratio ${RATIO[$mono]})" "${RATIO[$mono]} <= 0.25"
  fi
  if [[ -n ${TIME[$NOISE]:-} ]]; then
    noise=$(awk -v a="${TIME[$NOISE]}" -v b="${TIME[$long]}" 'BEGIN { printf "%.2f", a / b }')
    verdict "$NOISE in <= 2 x the time of $long ($noise x)" "$noise <= 2"
  fi
  for n in "$long" "$mono" "$NOISE"; do
    [[ -n ${RSS[$n]:-} ]] && verdict "$n peak RSS (max of $RUNS) ${RSS[$n]} KiB < 8192 KiB" "${RSS[$n]} < 8192"
  done
  if [[ -n ${RSS[$short]:-} && $short != "$long" ]]; then
    verdict "RSS flat with length: median ${RSSMED[$short]} KiB ($short) vs ${RSSMED[$long]} KiB ($long), within 256 KiB" \
      "${RSSMED[$long]} <= ${RSSMED[$short]} + 256"
  fi
  # Wider stereo frames carry more bytes per sample frame than 16-bit stereo: the mono rows
  # compare at the same or fewer bytes per frame.
  for n in u8x1-10min.wav s24x1-10min.wav s32x1-10min.wav s24x2-10min.wav s32x2-10min.wav; do
    if [[ -n ${RATE[$n]:-} ]]; then
      verdict "$n at ${RATE[$n]} Mfr/s >= 95 % of $long's ${RATE[$long]} Mfr/s" "${RATE[$n]} >= 0.95 * ${RATE[$long]}"
    fi
  done
fi
if [[ -n ${RATE[pairs-100MB.txt]:-} ]]; then
  verdict "character-pair text at ${RATE[pairs-100MB.txt]} MB/s >= 400 MB/s" "${RATE[pairs-100MB.txt]} >= 400"
fi
if [[ $bad != 0 ]]; then echo "some decodes were wrong" >&2; exit 1; fi
echo "all decodes matched their payloads"
