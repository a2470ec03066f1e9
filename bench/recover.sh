#!/usr/bin/env bash
# Recovery benchmark: worn recordings of 256 random bytes, decoded by the default mode, by
# --recover and by minimodem (where installed), scored against the payload; tape sides (several
# blocks, voice, thumps, idle bits, clicks, speed changes, recordings without data) scored by
# block file; then the speed of --recover on long recordings against md5sum and minimodem, and
# on long recordings of noise and of a steady tone against a data file of the same size.
# Beyond one recording: the same tape on two channels (decoded one by one and with -c all) and
# captured two or three times (each take alone and with --take), side by side; in the speed
# section -c all and two takes against one channel and one take; with EDGE=1 the lowest SNR at
# which every byte comes back, for one and for two recordings.
#
#   bench/recover.sh [BUILD_DIR [WORK_DIR]]
#     BUILD_DIR  default build/release under the repo root (built with the release preset if
#                tonegrab or tonegrab-synth is missing there)
#     WORK_DIR   default a fresh mktemp -d under /tmp, removed at the end unless KEEP=1
#   env: SEEDS (3) seeds per recording (each seed: another payload and other noise),
#        RUNS (3) timed runs per command in the speed section, QUICK=1 a few rows and short
#        speed files (for iterating), ONLY=REGEX only the rows whose names match (bash =~),
#        NO_SPEED=1 no speed section, NO_COMBINE=1 no rows of channels and takes combined,
#        EDGE=1 the edge sweep, EDGE_SEEDS (SEEDS) its seeds, NO_HYPERFINE=1 the built-in
#        timer, SYNTH (BUILD_DIR/tests/tonegrab-synth), MINIMODEM (minimodem on the PATH).
# Scores, per decoder, as min/mean over the seeds:
#   prefix   the payload's longest correct prefix, counted from where its first byte lies in
#            the output (minimodem adds stray bytes decoded from noise before the data)
#   matched  payload bytes found in the output after alignment (difflib matching blocks);
#            "+N" after it: the most bytes any seed's output had beyond those matched
#   damaged  bytes --recover reported damaged (its summary lines; "?" when they could not be
#            read although the status was 2); "failed N": N seeds ended with another status
#   goal     what --recover is to reach there: "all" every byte of every seed, exactly (no
#            extra bytes); "minimodem" as many bytes matched as minimodem (mean); "253" at
#            least 253 matched in every seed (a 20 ms dropout costs at most the 3 frames it
#            covers), the file still 256 bytes long
# Block files (the tape-side rows, the 2-block rows and the kinds of damage a side brings):
#   right    files that equal their block's payload exactly (out.bin block 1, out-K.bin block
#            K), min/mean over the seeds, of the blocks recorded
#   found    blocks whose payload is some file exactly, whatever its name (minimodem: inside
#            its one stream; "+N" the most stray bytes around them in any seed)
#   extra    files beyond the blocks recorded (max over the seeds)
#   goal     "blocks": on every seed every block right and no extra file; "none" (recordings
#            without data): on every seed status 1 and no file at all
# Channels and takes combined (its own table; every run --recover; the combined one last):
#   each run  "label: matched min/mean, damaged min/mean" ("st N": a status besides 0 and 2);
#             "n/a (option refused)" while this tonegrab does not know the option
#   goal      of the combined run: "all" every byte of every seed, exactly; "same" on every seed
#             the bytes, status and damaged count of the first run (a channel of noise adds
#             nothing); "clean" every byte, none reported damaged, status 0. "alone short": each
#             other run gets some byte wrong (or misses it) on every seed
#   takes     take 1 is synthesized from the seed; take K > 1 from take 1's payload, with
#             --noise-seed 1000 * seed + K (other noise and clicks, the same bytes)
# Rates: the 8000, 11025 and 22050 Hz rows have white noise of the same density in the tones'
# band as the 44100 Hz row at 0 dB: --snr counts the noise over the whole band up to rate / 2,
# so a rate R gets 10 log10(44100 / R) dB (22050: 3.01, 11025: 6.02, 8000: 7.41): the same
# power per Hz, less power in all.
# The goals are reported, not enforced: the exit status is non-zero only when the script
# itself fails.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
SEEDS=${SEEDS:-3}
RUNS=${RUNS:-3}
QUICK=${QUICK:-0}
if [[ -n ${2:-} ]]; then WORK=$2; mkdir -p "$WORK"; else WORK=$(mktemp -d /tmp/tonegrab-recover.XXXXXX); fi
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT

TG=$BUILD/tonegrab
SYNTH=${SYNTH:-$BUILD/tests/tonegrab-synth}
# shellcheck source=bench/timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
build_tools "$ROOT" "$BUILD" "$TG" "$SYNTH"
[[ -x $TG ]] || { echo "no tonegrab at $TG" >&2; exit 2; }
[[ -x $SYNTH ]] || { echo "no synthesizer at $SYNTH" >&2; exit 2; }
MM=${MINIMODEM:-$(command -v minimodem || true)}
MM_ARGS=(--mark 2400 --space 1200 --startbits 1 --stopbits 2 -8 1200)
HAVE_RECOVER=0
"$TG" --help 2>&1 | grep -q -- --recover && HAVE_RECOVER=1
for tool in sox ffmpeg; do
  command -v $tool >/dev/null || echo "note: no $tool: the rows that need it are skipped" >&2
done
command -v python3 >/dev/null || { echo "python3 is needed for the scores" >&2; exit 2; }

# ---- Timing ----
# peak_kib CMD...: the peak resident set of one run, in KiB.
peak_kib() {
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -f %M -o "$WORK/rss" "$@" >/dev/null 2>&1 </dev/null || true
    tail -n 1 "$WORK/rss"
  else  # the high-water mark the kernel keeps, read just before the process ends
    python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@"
  fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# ---- The recordings ----
# name | synthesizer options | post-processing | channel to decode | block | goal (GOAL, "all")
#   | tables (SIDE: "" bytes, "both" bytes and block files, "files" block files)
#   post-processing: "" none, "sox ARGS" (sox in out ARGS), "ffmpeg CODEC ARGS" (encoded with
#   these arguments, decoded back to 16-bit PCM WAV)
#   A recording with --empty or --tone holds no data: no minimodem run, goal "none".
ROWS=()
KEPT=1  # whether the last row of block 1 passed ONLY (a block K > 1 row follows its recording)
row() {
  if ((${5:-1} == 1)); then
    KEPT=1
    [[ -z ${ONLY:-} || $1 =~ $ONLY ]] || KEPT=0
  fi
  ((KEPT)) || return 0
  ROWS+=("$1|$2|${3:-}|${4:-1}|${5:-1}|${GOAL-all}|${SIDE:-}")
}
both() { SIDE=both row "$@"; }
side() { SIDE=files row "$@"; }
# snr_at RATE: the --snr at RATE with the noise density of 0 dB at 44100 Hz (issue 9 reached it).
snr_at() { awk -v r="$1" 'BEGIN { printf "%.2f", 10 * log(44100 / r) / log(10) }'; }
SIDE4="--blocks 4 --distinct-blocks"
if [[ $QUICK == 1 ]]; then NOTHING=60; else NOTHING=600; fi  # seconds of noise or tone
ALLPASS="allpass 900 0.7q allpass 1500 0.7q allpass 2100 0.7q allpass 3000 0.7q allpass 4200 0.7q"
DIPS="--dip 0.7:0.02:DB --dip 1.3:0.02:DB --dip 1.9:0.02:DB"
if [[ $QUICK == 1 ]]; then
  for snr in 4 0; do row "sine, white noise ${snr} dB" "--snr $snr"; done
  GOAL=minimodem row "sine, white noise -2 dB" "--snr -2"
  row "speed 1.15" "--speed 1.15"
  row "wow 16 % at 2 Hz" "--wow 0.16@2"
  row "DC 40 % of full scale" "--amplitude 0.5 --dc 0.4"
  row "MP3 48 kbit/s" "" "ffmpeg mp3 -c:a libmp3lame -b:a 48k"
  SIDE=both row "2 blocks, block 1" "--blocks 2 --gap 1 --flip-second" "" 1 1
  row "2 blocks, block 2 (flipped)" "--blocks 2 --gap 1 --flip-second" "" 1 2
  GOAL=253 row "dip to -50 dB, noise -30 dB" "--snr 30 --dip 1.3:0.02:-50"
  row "wow 12 % at 2 Hz" "--wow 0.12@2"
  row "speed 1.10" "--speed 1.10"
  both "voice 3 s before the first leader" "--voice-before 3"
  side "4 blocks, gaps 0.15-1.5 s, leaders 2000-50" "$SIDE4 --gaps 0.15,1.5,0.4 --leaders 2000,100,400,50"
  side "4 blocks, voice 1 s between" "$SIDE4 --gaps 1.5 --voice-between 1"
  both "thump at the leader's start, 0 dB" "--amplitude 0.5 --thump 0"
  both "idle bits 1-8 after 20 % of frames" "--idle 8@0.2"
  both "clicks 0.2 ms near full scale, 8/s" "--clicks 8:0.2:0.95"
  both "wow 10 % at 8 Hz" "--wow 0.10@8"
  both "speed step +7 % at 1.2 s" "--step 1.2:1.07"
  both "11025 Hz, noise as 0 dB at 44100" "--rate 11025 --snr $(snr_at 11025)"
  GOAL=none side "white noise, $NOTHING s" "--empty --seconds $NOTHING --amplitude 0.5 --snr 0"
  GOAL=none side "steady 1000 Hz tone, $NOTHING s" "--tone 1000 --seconds $NOTHING --snr 40"
else
  for snr in 13 8 4 2 0; do row "sine, white noise ${snr} dB" "--snr $snr"; done
  GOAL='' row "sine, white noise -1 dB" "--snr -1"
  GOAL=minimodem row "sine, white noise -2 dB" "--snr -2"
  for snr in 8 5; do row "square, white noise ${snr} dB" "--shape square --snr $snr"; done
  row "speed 0.85" "--speed 0.85"
  row "speed 1.15" "--speed 1.15"
  row "speed 0.92 at 22050 Hz" "--rate 22050 --speed 0.92"
  row "speed 1.08 at 22050 Hz" "--rate 22050 --speed 1.08"
  row "wow 16 % at 0.5 Hz" "--wow 0.16@0.5"
  row "wow 16 % at 2 Hz" "--wow 0.16@2"
  row "flutter 3 % at 15 Hz" "--flutter 0.03@15"
  row "peak -40 dBFS, 16-bit" "--amplitude 0.01"
  row "peak -16 dBFS, 8-bit" "--amplitude 0.158 --bits 8"
  row "DC 40 % of full scale" "--amplitude 0.5 --dc 0.4"
  row "hum 50 Hz + harmonics, +6 dB" "--amplitude 0.2 --hum 6"
  row "inverted polarity" "--invert"
  row "clipped at 0.3 (peak 1.0)" "--amplitude 1 --clip 0.3"
  row "band 800-4000 Hz, noise 15 dB" "--amplitude 0.5 --snr 15" "sox highpass 800 lowpass 4000"
  row "lowpass 2500 Hz" "" "sox lowpass 2500"
  row "MP3 48 kbit/s" "" "ffmpeg mp3 -c:a libmp3lame -b:a 48k"
  row "Ogg Vorbis" "" "ffmpeg ogg -c:a libvorbis"
  row "phase smearing (5 allpass)" "--amplitude 0.5" "sox $ALLPASS"
  row "stereo, signal on channel 2" "--channels 2 --channel 2" "" 2
  SIDE=both row "2 blocks, block 1" "--blocks 2 --gap 1 --flip-second" "" 1 1
  row "2 blocks, block 2 (flipped)" "--blocks 2 --gap 1 --flip-second" "" 1 2
  row "3 dips to -20 dB, noise -30 dB" "--snr 30 ${DIPS//DB/-20}"
  row "3 dips to -30 dB, noise -30 dB" "--snr 30 ${DIPS//DB/-30}"
  GOAL=253 row "dip to -50 dB, noise -30 dB" "--snr 30 --dip 1.3:0.02:-50"
  row "wow 12 % at 2 Hz" "--wow 0.12@2"
  row "speed 1.10" "--speed 1.10"
  # A tape side: the kinds of damage it brings, each alone.
  both "voice 3 s before the first leader" "--voice-before 3"
  both "voice 3 s before, 6 dB above the data" "--amplitude 0.35 --voice-before 3 --voice-db 6"
  both "thump at the leader's start, 0 dB" "--amplitude 0.5 --thump 0"
  both "thump at a short leader (100), +3 dB" "--amplitude 0.4 --leader 100 --thump 3"
  side "4 blocks, gaps 0.15-1.5 s, leaders 2000-50" "$SIDE4 --gaps 0.15,1.5,0.4 --leaders 2000,100,400,50"
  side "4 blocks, gaps 0.1 s, leaders 50 after the first" "$SIDE4 --gaps 0.1 --leaders 400,50"
  side "4 blocks, voice 1 s between" "$SIDE4 --gaps 1.5 --voice-between 1"
  side "4 blocks, voice between, gaps 0.6 s, noise 13 dB" "$SIDE4 --gaps 0.6 --voice-between 0.4 --leaders 1000,200 --snr 13"
  both "idle bits 1-8 after 20 % of frames" "--idle 8@0.2"
  both "idle bits 1-8 after 50 % of frames, noise 8 dB" "--idle 8@0.5 --snr 8"
  both "clicks 0.2 ms near full scale, 8/s" "--clicks 8:0.2:0.95"
  both "clicks 0.3 ms near full scale, 10/s, noise 20 dB" "--clicks 10:0.3:0.95 --snr 20"
  both "wow 10 % at 8 Hz" "--wow 0.10@8"
  both "flutter 4 % at 30 Hz" "--flutter 0.04@30"
  both "speed step +7 % at 1.2 s" "--step 1.2:1.07"
  both "speed step -7 % at 1.2 s, noise 8 dB" "--step 1.2:0.93 --snr 8"
  both "44100 Hz, noise 0 dB (the rates' reference)" "--snr 0"
  for rate in 22050 11025 8000; do
    both "$rate Hz, noise as 0 dB at 44100" "--rate $rate --snr $(snr_at $rate)"
  done
  side "tape side: 4 blocks, voice, thump, idle, clicks, flutter" "$SIDE4 --amplitude 0.5 --voice-before 2 --voice-between 0.8 --gaps 0.3,1.2 --leaders 800,100 --thump 0 --idle 8@0.2 --clicks 8:0.2:0.95 --flutter 0.03@20 --snr 15"
  GOAL=none side "white noise, $NOTHING s" "--empty --seconds $NOTHING --amplitude 0.5 --snr 0"
  GOAL=none side "steady 1000 Hz tone, $NOTHING s" "--tone 1000 --seconds $NOTHING --snr 40"
  GOAL=none side "steady 2400 Hz tone, 60 s" "--tone 2400 --seconds 60 --snr 40"
fi

# ---- Beyond one recording: channels and takes combined ----
# name | goal | each take's synthesizer options (";" between takes) | runs (";" between, each
#   "label=tonegrab options and input", T1 T2 T3 the takes; the combined run last)
COMBOS=()
combo() {
  [[ -z ${ONLY:-} || $1 =~ $ONLY ]] || return 0
  COMBOS+=("$1|$2|$3|$4")
}
CHANNELS="-c 1=-c 1 T1;-c 2=-c 2 T1;-c all=-c all T1"
TAKES2="take 1=-c 1 T1;take 2=-c 1 T2;combined=-c 1 --take T2 T1"
TAKES3="take 1=-c 1 T1;take 2=-c 1 T2;take 3=-c 1 T3;combined=-c 1 --take T2 --take T3 T1"
WORN="--dip AT:0.02:-60 --clicks 3:0.3:0.9"  # a 20 ms dropout and crackle, in each take its own
if [[ ${NO_COMBINE:-0} != 1 ]]; then
  combo "2 channels, -3 and -4 dB" all "--copy -3 --copy -4" "$CHANNELS"
  combo "channel clean, channel of noise alone" same "--copy inf --copy noise" "-c 1=-c 1 T1;-c all=-c all T1"
  combo "2 takes, -1 dB, dropout -60 dB and clicks each" all \
    "--snr -1 ${WORN//AT/0.7};--snr -1 ${WORN//AT/1.5}" "$TAKES2"
  combo "take 2 3 % fast, inverted, 0.7 s later, -1 dB" clean \
    "--snr -1;--snr -1 --speed 1.03 --invert --lead-in 0.75" "$TAKES2"
  if [[ $QUICK != 1 ]]; then
    combo "channel -1 dB, channel of noise alone" same "--copy -1 --copy noise" "-c 1=-c 1 T1;-c all=-c all T1"
    combo "2 channels -3 dB, one inverted and 0.4 ms late" all "--copy -3 --copy -3,invert,delay=0.4" "$CHANNELS"
    combo "2 channels -3 dB, the second 6 dB weaker" all "--copy -3 --copy -3,gain=-6" "$CHANNELS"
    combo "3 takes, -2 dB, dropout -60 dB and clicks each" all \
      "--snr -2 ${WORN//AT/0.7};--snr -2 ${WORN//AT/1.3};--snr -2 ${WORN//AT/1.9}" "$TAKES3"
  fi
fi

# post IN OUT STEPS: applies the post-processing STEPS (a tool and its arguments); false when
# its tool is missing or fails.
post() {
  local in=$1 out=$2 tool codec
  read -r tool codec _ <<<"$3"
  case $tool in
    "") cp "$in" "$out" ;;
    sox) command -v sox >/dev/null || return 1
      # shellcheck disable=SC2086  # the effects are meant to split
      sox -G "$in" -b 16 "$out" ${3#sox } 2>>"$WORK/tools.err" ;;
    ffmpeg) command -v ffmpeg >/dev/null || return 1
      local args=${3#ffmpeg "$codec" }
      # shellcheck disable=SC2086
      ffmpeg -v error -y -i "$in" $args "$WORK/coded.$codec" 2>>"$WORK/tools.err" &&
        ffmpeg -v error -y -i "$WORK/coded.$codec" -map_metadata -1 -fflags +bitexact \
          -c:a pcm_s16le "$out" 2>>"$WORK/tools.err" ;;
  esac
}

# decode MODE IN CHANNEL OUTDIR: one decoder's run; the status in OUTDIR/status, the console
# in OUTDIR/console, the bytes in OUTDIR/out.bin (and out-K.bin for block K).
decode() {
  local mode=$1 in=$2 ch=$3 dir=$4 status=0
  rm -rf "$dir" && mkdir -p "$dir"
  case $mode in
    default) timeout 60 "$TG" -y -q -c "$ch" "$in" "$dir/out.bin" >"$dir/console" 2>&1 </dev/null || status=$? ;;
    recover) timeout 60 "$TG" --recover -y -c "$ch" "$in" "$dir/out.bin" >"$dir/console" 2>&1 </dev/null || status=$? ;;
    minimodem)
      # minimodem takes mono only: it gets the answered channel alone.
      if [[ $ch != 1 ]]; then sox "$in" "$dir/mono.wav" remix "$ch"; in=$dir/mono.wav; fi
      timeout 60 "$MM" -r -q -f "$in" "${MM_ARGS[@]}" >"$dir/out.bin" 2>"$dir/console" </dev/null || status=$? ;;
  esac
  echo "$status" >"$dir/status"
}

MODES=(default)
((HAVE_RECOVER)) && MODES+=(recover)
[[ -n $MM ]] && MODES+=(minimodem)

echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(uname -sr)"
echo "tonegrab: $TG ($(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '?'))$( ((HAVE_RECOVER)) || echo ', no --recover')"
echo "minimodem: ${MM:-not installed}   synthesizer: $SYNTH   work: $WORK"
echo "recordings: 256 random bytes, 44100 Hz, 16-bit mono, sine-shaped, peak 0.7 unless named; seeds 1..$SEEDS"
start=$(date +%s)

# Every run, one line: row number, seed, mode, payload, output directory, block, and the
# prefix of the files with what each block carries (PREFIX-K.bin).
MANIFEST=$WORK/manifest.tsv
: >"$MANIFEST"
for r in "${!ROWS[@]}"; do
  IFS='|' read -r name opts postspec ch block _ <<<"${ROWS[$r]}"
  echo "recording $((r + 1)) of ${#ROWS[@]}: $name" >&2
  data=(--random 256) blank=0
  if [[ " $opts " == *" --empty "* || " $opts " == *" --tone "* ]]; then data=() blank=1; fi
  for ((seed = 1; seed <= SEEDS; seed++)); do
    rec=$WORK/r$r-s$seed.wav
    # A row of block K > 1 scores the recording and decodes of the row before it (block K-1).
    shared=
    ((block == 1)) || shared=r$((r - block + 1))
    if [[ -z $shared ]]; then
      # shellcheck disable=SC2086
      "$SYNTH" "${data[@]}" --seed "$seed" $opts --expect "$rec.block" "$WORK/synth.wav" >/dev/null
      mv "$WORK/synth.wav.payload" "$rec.payload"
      if ! post "$WORK/synth.wav" "$rec" "$postspec"; then
        echo "skipped: $name (${postspec%% *} missing or failed)" >&2
        continue 2
      fi
    else
      rec=$WORK/$shared-s$seed.wav
    fi
    for mode in "${MODES[@]}"; do
      if ((blank)) && [[ $mode == minimodem ]]; then continue; fi  # nothing to compare it with
      dir=$WORK/${shared:-r$r}-s$seed-$mode
      [[ -n $shared ]] || decode "$mode" "$rec" "$ch" "$dir"
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$r" "$seed" "$mode" "$rec.payload" "$dir" "$block" \
        "$rec.block" >>"$MANIFEST"
    done
    if ((blank)); then rm -f "$rec" "$WORK/synth.wav"; fi  # minutes of nothing: room in /tmp
  done
done

# refused DIR: whether this tonegrab refused the run in DIR an option it does not know yet.
refused() {
  [[ $(cat "$1/status") == 1 ]] && grep -qE 'unknown option|invalid channel' "$1/console"
}

# take_args BASE ARGS...: the arguments with T1, T2, T3 replaced by the takes BASE-tK.wav.
take_args() {
  local base=$1 w
  shift
  for w in "$@"; do
    case $w in T[123]) echo "$base-t${w#T}.wav" ;; *) echo "$w" ;; esac
  done
}

# synth_takes BASE SEED OPTS...: take K with the options OPTS[K], to BASE-tK.wav; take 1 from the
# seed, the others with take 1's bytes under other noise.
synth_takes() {
  local base=$1 seed=$2 k
  shift 2
  for ((k = 1; k <= $#; k++)); do
    if ((k == 1)); then
      # shellcheck disable=SC2086  # the options are meant to split
      "$SYNTH" --random 256 --seed "$seed" ${!k} "$base-t1.wav" >/dev/null
    else
      # shellcheck disable=SC2086
      "$SYNTH" --payload "$base-t1.wav.payload" --seed "$seed" --noise-seed $((1000 * seed + k)) \
        ${!k} "$base-t$k.wav" >/dev/null
    fi
  done
}

# Every combined row's runs, one line each: row, seed, run, payload, output directory.
COMBINED=$WORK/combined.tsv
: >"$COMBINED"
for r in "${!COMBOS[@]}"; do
  IFS='|' read -r name _ takes runs <<<"${COMBOS[$r]}"
  echo "combined $((r + 1)) of ${#COMBOS[@]}: $name" >&2
  IFS=';' read -r -a topts <<<"$takes"
  IFS=';' read -r -a cmds <<<"$runs"
  for ((seed = 1; seed <= SEEDS; seed++)); do
    base=$WORK/c$r-s$seed
    synth_takes "$base" "$seed" "${topts[@]}"
    for i in "${!cmds[@]}"; do
      dir=$base-run$((i + 1)) status=0
      # shellcheck disable=SC2086
      mapfile -t args < <(take_args "$base" ${cmds[i]#*=})
      rm -rf "$dir" && mkdir -p "$dir"
      timeout 60 "$TG" --recover -y "${args[@]}" "$dir/out.bin" >"$dir/console" 2>&1 </dev/null ||
        status=$?
      echo "$status" >"$dir/status"
      printf '%s\t%s\t%s\t%s\t%s\n' "$r" "$seed" "$i" "$base-t1.wav.payload" "$dir" >>"$COMBINED"
    done
    rm -f "$base"-t*.wav
  done
done

# A clean recording decoded alike by both modes, console and all, hints at a --recover that
# is only the default decoder.
if ((HAVE_RECOVER)); then
  "$SYNTH" --random 256 "$WORK/clean.wav" >/dev/null
  (cd "$WORK" || exit
    "$TG" -y -c 1 clean.wav clean.bin >clean-default.txt 2>&1 </dev/null || true
    "$TG" --recover -y -c 1 clean.wav clean.bin >clean-recover.txt 2>&1 </dev/null || true)
  if cmp -s "$WORK/clean-default.txt" "$WORK/clean-recover.txt"; then
    echo "note: --recover prints exactly what the default mode prints on a clean recording: this tonegrab may not have a recovery decoder yet"
  fi
fi

for r in "${!ROWS[@]}"; do
  IFS='|' read -r name _ _ _ _ goal tables <<<"${ROWS[$r]}"
  echo "$name|$goal|$tables"
done >"$WORK/names"
cat >"$WORK/scoring.py" <<'EOF'
"""What the tables share: a decode's output and console scored against the payload."""
import difflib, re

def score(out, payload, start, blocks):
    """prefix, matched, extra of `out` against `payload` at `start` in what was sent."""
    sent = payload * blocks
    m = difflib.SequenceMatcher(None, out, sent, autojunk=False)
    lo, hi = start, start + len(payload)
    matched = 0
    at = None  # where the payload's first byte lies in out
    for a, b, n in m.get_matching_blocks():
        matched += max(0, min(b + n, hi) - max(b, lo))
        if b <= lo < b + n:
            at = a + lo - b
    prefix = 0
    if at is not None:
        while at + prefix < len(out) and prefix < len(payload) and out[at + prefix] == payload[prefix]:
            prefix += 1
    # Bytes in out that match nothing sent: the whole output's excess over all it matched.
    allmatched = sum(n for _, _, n in m.get_matching_blocks())
    return prefix, matched, len(out) - allmatched

def damaged(console, status, block):
    if status == 0:
        return 0
    lines = [l for l in console.splitlines() if 'damaged' in l and 'byte 0x' not in l]
    counts = []
    for l in lines:
        n = (re.search(r'(?<![\w.])(\d+)\s+(?:bytes?\s+)?damaged', l) or
             re.search(r'damaged\W{0,3}(\d+)', l))
        if n:
            counts.append(int(n.group(1)))
    return counts[block - 1] if len(counts) >= block else None

def cell(vals):
    return '%d/%.1f' % (min(vals), sum(vals) / len(vals)) if vals else 'n/a'
EOF
cat >"$WORK/score.py" <<'EOF'
import collections, glob, os, re, sys

from scoring import cell, damaged, score

names = [l.split('|') for l in open(sys.argv[2]).read().splitlines()]
modes = sys.argv[3].split()

manifest = [l.rstrip('\n').split('\t') for l in open(sys.argv[1])]
blocks = collections.Counter()  # blocks in each recording, from its decodes' rows
for r, seed, mode, payload, d, block, _ in manifest:
    blocks[d] = max(blocks[d], int(block))
runs = collections.defaultdict(list)
for r, seed, mode, payload, d, block, _ in manifest:
    r, block = int(r), int(block)
    if names[r][2] == 'files':
        continue
    pay = open(payload, 'rb').read()
    status = int(open(d + '/status').read())
    console = open(d + '/console', errors='replace').read()
    if mode == 'minimodem':  # one stream for all blocks
        try:
            out = open(d + '/out.bin', 'rb').read()
        except OSError:
            out = b''
        p, mt, x = score(out, pay, (block - 1) * len(pay), blocks[d])
    else:
        name = d + ('/out.bin' if block == 1 else '/out-%d.bin' % block)
        try:
            out = open(name, 'rb').read()
        except OSError:
            out = b''
        p, mt, x = score(out, pay, 0, 1)
    runs[(r, mode)].append((p, mt, x, damaged(console, status, block) if mode == 'recover' else 0, status))

def goal(kind, recover, minimodem):
    """Whether --recover's runs reach the row's goal."""
    if not kind:
        return '-'
    if not recover:
        return kind + ': n/a'
    if kind == 'all':
        met = all(p == 256 and m == 256 and x == 0 for p, m, x, _, _ in recover)
    elif kind == 'minimodem':
        mean = lambda rs: sum(r[1] for r in rs) / len(rs)
        met = not minimodem or mean(recover) >= mean(minimodem)
    else:
        met = all(m >= int(kind) and m + x <= 256 for _, m, x, _, _ in recover)
    return kind + (': met' if met else ': NOT MET')

head = ['recording']
for mode in ['default', 'recover', 'minimodem']:
    head += [mode + ' prefix', mode + ' matched'] + (['recover damaged'] if mode == 'recover' else [])
head.append('goal (--recover)')
print('| ' + ' | '.join(head) + ' |')
print('|' + '---|' * len(head))
for r, (name, kind, _) in enumerate(names):
    cells = [name]
    if not any((r, m) in runs for m in modes):
        continue
    for mode in ['default', 'recover', 'minimodem']:
        rs = runs.get((r, mode), [])
        matched = cell([x[1] for x in rs])
        extra = max([x[2] for x in rs], default=0)
        if extra:
            matched += ' +%d' % extra
        cells += [cell([x[0] for x in rs]), matched]
        if mode == 'recover':
            # Damaged bytes where the run wrote its bytes (status 0 or 2); failed runs counted.
            dmg = [x[3] for x in rs if x[4] in (0, 2)]
            failed = len(rs) - len(dmg)
            text = '?' if None in dmg else cell(dmg) if dmg else ''
            cells.append('n/a' if not rs else (text + (' failed %d' % failed if failed else '')).strip())
    cells.append(goal(kind, runs.get((r, 'recover')), runs.get((r, 'minimodem'))))
    print('| ' + ' | '.join(cells) + ' |')
EOF
cat >"$WORK/files.py" <<'EOF'
import collections, glob, os, re, sys

names = [l.split('|') for l in open(sys.argv[2]).read().splitlines()]

def read(path):
    with open(path, 'rb') as f:
        return f.read()

def expected(prefix):
    """What each block carries, in block order."""
    number = lambda p: int(re.search(r'-(\d+)\.bin$', p).group(1))
    return [read(p) for p in sorted(glob.glob(glob.escape(prefix) + '-*.bin'), key=number)]

def written(d):
    """The block files a run wrote: block number -> bytes."""
    files = {}
    for f in os.listdir(d):
        m = re.fullmatch(r'out(?:-(\d+))?\.bin', f)
        if m:
            files[int(m.group(1) or 1)] = read(os.path.join(d, f))
    return files

runs = collections.defaultdict(list)  # (row, mode) -> (right, found, extra files, status, stray)
recorded = {}  # row -> blocks recorded
for r, seed, mode, payload, d, block, prefix in (l.rstrip('\n').split('\t') for l in open(sys.argv[1])):
    r = int(r)
    if block != '1' or names[r][2] not in ('both', 'files'):
        continue
    want = expected(prefix)
    recorded[r] = len(want)
    status = int(read(d + '/status'))
    files = written(d)
    if mode == 'minimodem':  # one stream: the blocks found in it, and the bytes around them
        stream = files.get(1, b'')
        found = [w for w in want if w and w in stream]
        runs[(r, mode)].append((None, len(found), 0, status, len(stream) - sum(map(len, found))))
        continue
    right = sum(1 for k, w in enumerate(want, 1) if files.get(k) == w)
    found = sum(1 for w in want if w in files.values())
    extra = sum(1 for k in files if k > len(want))
    runs[(r, mode)].append((right, found, extra, status, 0))

def cell(vals):
    return '%d/%.1f' % (min(vals), sum(vals) / len(vals)) if vals else 'n/a'

def goal(kind, n, rs):
    if not rs:
        return kind + ': n/a'
    if kind == 'none':
        met = all(s == 1 and x == 0 for _, _, x, s, _ in rs)
    else:
        met = all(a == n and x == 0 for a, _, x, _, _ in rs)
    return kind + (': met' if met else ': NOT MET')

print('| recording | blocks | default right | recover right | recover found | recover extra files '
      '| recover status | minimodem found | goal (--recover) |')
print('|' + '---|' * 9)
for r, (name, kind, tables) in enumerate(names):
    if r not in recorded:
        continue
    n = recorded[r]
    de, rc, mm = (runs.get((r, m), []) for m in ('default', 'recover', 'minimodem'))
    mmcell = '-'
    if mm:
        stray = max(x[4] for x in mm)
        mmcell = cell([x[1] for x in mm]) + (' +%d' % stray if stray else '')
    per_block = lambda rs, i: cell([x[i] for x in rs]) if n and rs else '-'
    cells = [name.replace(', block 1', ''), str(n), per_block(de, 0), per_block(rc, 0),
             per_block(rc, 1), str(max([x[2] for x in rc], default=0)) if rc else 'n/a',
             ','.join(sorted({str(x[3]) for x in rc})) if rc else 'n/a', mmcell,
             goal('none' if kind == 'none' else 'blocks', n, rc)]
    print('| ' + ' | '.join(cells) + ' |')
EOF
for r in "${!COMBOS[@]}"; do
  IFS='|' read -r name goal _ runs <<<"${COMBOS[$r]}"
  labels=
  IFS=';' read -r -a cmds <<<"$runs"
  for c in "${cmds[@]}"; do labels+="${labels:+;}${c%%=*}"; done
  echo "$name|$goal|$labels"
done >"$WORK/combined-names"
cat >"$WORK/combined.py" <<'EOF'
import collections, re, sys

from scoring import cell, damaged, score

names = [l.split('|') for l in open(sys.argv[2]).read().splitlines()]
REFUSED = re.compile(r'unknown option|invalid channel')

Run = collections.namedtuple('Run', 'matched extra damaged status out whole refused')
runs = collections.defaultdict(list)  # (row, run) -> one Run a seed, in seed order
for r, seed, i, payload, d in (l.rstrip('\n').split('\t') for l in open(sys.argv[1])):
    pay = open(payload, 'rb').read()
    status = int(open(d + '/status').read())
    console = open(d + '/console', errors='replace').read()
    try:
        out = open(d + '/out.bin', 'rb').read()
    except OSError:
        out = b''
    _, matched, extra = score(out, pay, 0, 1)
    runs[(int(r), int(i))].append(Run(matched, extra, damaged(console, status, 1), status, out,
                                      out == pay, status == 1 and bool(REFUSED.search(console))))

def text(label, rs):
    if not rs:
        return label + ': n/a'
    if any(x.refused for x in rs):
        return label + ': n/a (option refused)'
    t = label + ': ' + cell([x.matched for x in rs])
    extra = max(x.extra for x in rs)
    if extra:
        t += ' +%d' % extra
    written = [x for x in rs if x.status in (0, 2)]
    dmg = [x.damaged for x in written]
    t += ', damaged ' + ('?' if None in dmg else cell(dmg))
    others = sorted({x.status for x in rs if x.status not in (0, 2)})
    if others:
        t += ' (st %s)' % ','.join(map(str, others))
    return t

def goal(kind, alone, combined):
    if not combined:
        return kind + ': n/a'
    if any(x.refused for x in combined):
        return kind + ': n/a (option refused)'
    if kind == 'all':
        met = all(x.whole for x in combined)
    elif kind == 'same':  # seed by seed, what the first run gave
        met = all(x.out == y.out and x.status == y.status and x.damaged == y.damaged
                  for x, y in zip(combined, alone[0]))
    else:  # clean
        met = all(x.whole and x.status == 0 and x.damaged == 0 for x in combined)
    t = kind + (': met' if met else ': NOT MET')
    if kind != 'same':
        short = all(not x.whole for rs in alone for x in rs)
        t += '; alone short: ' + ('yes' if short else 'no')
    return t

width = max([len(l[2].split(';')) for l in names] + [2]) - 1  # runs alone, the most of any row
head = ['recording'] + ['alone'] * width + ['combined', 'goal (combined)']
print('| ' + ' | '.join(head) + ' |')
print('|' + '---|' * len(head))
for r, (name, kind, labels) in enumerate(names):
    labels = labels.split(';')
    rs = [runs.get((r, i), []) for i in range(len(labels))]
    cells = [text(l, x) for l, x in zip(labels[:-1], rs[:-1])]
    cells += [''] * (width - len(cells)) + [text(labels[-1], rs[-1])]
    print('| ' + ' | '.join([name] + cells + [goal(kind, rs[:-1], rs[-1])]) + ' |')
EOF
python3 "$WORK/score.py" "$MANIFEST" "$WORK/names" "${MODES[*]}" >"$WORK/bytes.md"
python3 "$WORK/files.py" "$MANIFEST" "$WORK/names" >"$WORK/files.md"
: >"$WORK/combined.md"
((${#COMBOS[@]} == 0)) || python3 "$WORK/combined.py" "$COMBINED" "$WORK/combined-names" >"$WORK/combined.md"
matrix=$(($(date +%s) - start))

# combined_speed STEREO STEREO_TIME MONO MONO_TIME: -c all on the stereo file against -c 1 on
# it (goal 1.5 x), and the mono file with a second take of it (the same bytes, 0.7 s later)
# against the mono file alone (goal 2.2 x); the times alone as measured above.
combined_speed() {
  local stereo=$1 stereot=$2 mono=$3 monot=$4 take2 what label alone goal payload tg rss ok
  local -a cmd
  take2=${mono%.wav}-take2.wav
  "$SYNTH" --bits 16 --channels 1 --payload "$mono.payload" --lead-in 0.75 "$take2" >/dev/null
  echo
  echo "| combined (--recover -q -y) | tonegrab | alone (-c 1, one take) | combined / alone | goal | peak RSS KiB | bytes right |"
  echo "|---|---|---|---|---|---|---|"
  for what in channels takes; do
    if [[ $what == channels ]]; then
      cmd=(-c all "$stereo") label="-c all, $(basename "$stereo")" alone=$stereot goal=1.5
      payload=$stereo.payload
    else
      cmd=(-c 1 --take "$take2" "$mono") label="2 takes, $(basename "$mono") and 0.7 s later"
      alone=$monot goal=2.2 payload=$mono.payload
    fi
    rm -rf "$WORK/comb" && mkdir "$WORK/comb"
    status=0
    "$TG" --recover -q -y "${cmd[@]}" "$WORK/comb/out.bin" >"$WORK/comb/console" 2>&1 </dev/null ||
      status=$?
    echo "$status" >"$WORK/comb/status"
    if refused "$WORK/comb"; then
      echo "| $label | n/a (option refused) | ${alone}s | - | <= $goal x: n/a | - | - |"
      continue
    fi
    ok=yes
    cmp -s "$WORK/comb/out.bin" "$payload" ||
      ok="no: $(stat -c %s "$WORK/comb/out.bin" 2>/dev/null || echo 0) of $(stat -c %s "$payload")"
    cat "${cmd[@]: -1}" "$take2" >/dev/null  # into the page cache
    tg=$(timed "'$TG' --recover -q -y $(printf "'%s' " "${cmd[@]}") '$WORK/comb/out.bin' >/dev/null 2>&1")
    rss=$(peak_kib "$TG" --recover -q -y "${cmd[@]}" "$WORK/comb/out.bin")
    met=$(awk -v t="$tg" -v a="$alone" -v g="$goal" 'BEGIN { print (t <= g * a) ? "met" : "NOT MET" }')
    echo "| $label | ${tg}s | ${alone}s | $(ratio "$tg" "$alone") | <= $goal x: $met | $rss | $ok |"
  done
  rm -rf "$take2" "$WORK/comb"
}

# ---- Speed: long recordings, timed against md5sum and minimodem ----
speed() {
  local long short stereo mono mode f tg md mmt mmr rss ok datat monot
  if [[ $QUICK == 1 ]]; then long=180 short=60; else long=1800 short=600; fi
  stereo=$WORK/s16x2-$((long / 60))min.wav mono=$WORK/s16x1-$((short / 60))min.wav
  "$SYNTH" --bits 16 --channels 2 --channel 1 --seconds "$long" "$stereo" >/dev/null
  "$SYNTH" --bits 16 --channels 1 --seconds "$short" "$mono" >/dev/null
  rm -f "$WORK"/r*-s*.wav "$WORK"/c*-s*.wav  # the matrix's recordings: room in the page cache
  mode=--recover; ((HAVE_RECOVER)) || mode=
  echo >&2 "speed: $(basename "$stereo"), $(basename "$mono")"
  echo "### Speed (median of $RUNS wall times; tonegrab ${mode:-(default mode)} -q -y -c 1)"
  echo
  echo "| file | MB | tonegrab | md5sum | minimodem | tonegrab / md5sum | tonegrab / minimodem | peak RSS KiB | bytes right |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for f in "$stereo" "$mono"; do
    cat "$f" >/dev/null  # into the page cache
    tg=$(timed "'$TG' $mode -q -y -c 1 '$f' '$WORK/speed.bin' >/dev/null 2>&1")
    md=$(timed "md5sum '$f' >/dev/null")
    mmt=- mmr=-
    if [[ $f == "$mono" && -n $MM ]]; then
      mmt=$(timed "'$MM' -r -q -f '$f' ${MM_ARGS[*]} >/dev/null 2>&1")
      mmr=$(ratio "$tg" "$mmt")
      mmt=${mmt}s
    fi
    rm -f "$WORK/speed.bin"
    rss=$(peak_kib "$TG" $mode -q -y -c 1 "$f" "$WORK/speed.bin")
    ok=yes
    cmp -s "$WORK/speed.bin" "$f.payload" ||
      ok="no: $(stat -c %s "$WORK/speed.bin" 2>/dev/null || echo 0) of $(stat -c %s "$f.payload")"
    echo "| $(basename "$f") | $(($(stat -c %s "$f") / 1000000)) | ${tg}s | ${md}s | $mmt | $(ratio "$tg" "$md") | $mmr | $rss | $ok |"
    [[ $f != "$stereo" ]] || datat=$tg
    [[ $f != "$mono" ]] || monot=$tg
  done
  [[ -z $mode ]] || combined_speed "$stereo" "$datat" "$mono" "$monot"
  # Nothing but noise, or a steady tone, in the stereo data file's format and length: to cost
  # no more than the data (goal 1.2 x), to open no block (status 1, no file).
  echo
  echo "| file (as $(basename "$stereo")) | MB | tonegrab | data file | tonegrab / data file | status | files written |"
  echo "|---|---|---|---|---|---|---|"
  local kind opts status files
  for kind in noise tone; do
    f=$WORK/$kind-$((long / 60))min.wav
    opts="--empty --amplitude 0.5 --snr 0"
    [[ $kind == noise ]] || opts="--tone 1000 --snr 40"
    # shellcheck disable=SC2086
    "$SYNTH" --bits 16 --channels 2 --channel 1 $opts --seconds "$long" "$f" >/dev/null
    cat "$f" >/dev/null
    rm -rf "$WORK/nothing" && mkdir "$WORK/nothing"
    tg=$(timed "'$TG' $mode -q -y -c 1 '$f' '$WORK/nothing/out.bin' >/dev/null 2>&1")
    rm -rf "$WORK/nothing" && mkdir "$WORK/nothing"
    status=0
    "$TG" $mode -q -y -c 1 "$f" "$WORK/nothing/out.bin" >/dev/null 2>&1 </dev/null || status=$?
    files=$(find "$WORK/nothing" -type f | wc -l)
    echo "| $(basename "$f") ($kind) | $(($(stat -c %s "$f") / 1000000)) | ${tg}s | ${datat}s | $(ratio "$tg" "$datat") | $status | $files |"
    rm -f "$f" "$f.payload"
  done
}
if [[ ${NO_SPEED:-0} != 1 ]]; then speed >"$WORK/speed.md"; else : >"$WORK/speed.md"; fi

# ---- The edge: the lowest SNR at which every byte comes back ----
# From EDGE_TOP down, the SNR above the first step where some seed loses a byte.
EDGE_TOP=2 EDGE_BOTTOM=-10 EDGE_STEP=0.5  # dB
EDGE_SEEDS=${EDGE_SEEDS:-$SEEDS}

# all_back KIND SNR: whether every byte of 256 comes back, exactly, on every seed at SNR: one
# channel, two channels of the same tape (-c all) or two takes (--take). Status 2: refused.
all_back() {
  local kind=$1 snr=$2 seed base dir=$WORK/edge status
  local -a args
  for ((seed = 1; seed <= EDGE_SEEDS; seed++)); do
    base=$WORK/e-s$seed
    case $kind in
      channel) synth_takes "$base" "$seed" "--snr $snr"; args=(-c 1 "$base-t1.wav") ;;
      channels) synth_takes "$base" "$seed" "--copy $snr --copy $snr"; args=(-c all "$base-t1.wav") ;;
      takes) synth_takes "$base" "$seed" "--snr $snr" "--snr $snr"
        args=(-c 1 --take "$base-t2.wav" "$base-t1.wav") ;;
    esac
    rm -rf "$dir" && mkdir -p "$dir"
    status=0
    timeout 60 "$TG" --recover -y "${args[@]}" "$dir/out.bin" >"$dir/console" 2>&1 </dev/null ||
      status=$?
    echo "$status" >"$dir/status"
    if refused "$dir"; then return 2; fi
    # Every byte back: the payload at the start of the block file. Bytes decoded from the noise
    # after the data (reported damaged) do not count against the edge; a lost or wrong one does.
    cmp -s -n "$(stat -c %s "$base-t1.wav.payload")" "$dir/out.bin" "$base-t1.wav.payload" &&
      (($(stat -c %s "$dir/out.bin") >= $(stat -c %s "$base-t1.wav.payload"))) || return 1
  done
}

# edge: from EDGE_TOP down in steps of EDGE_STEP, to the last SNR with every byte on every seed.
edge() {
  local kind label snr last rc gain one=
  echo "### The edge: the lowest SNR with every byte of 256 on all of $EDGE_SEEDS seeds (steps of $EDGE_STEP dB from $EDGE_TOP down)"
  echo
  echo "| recordings | lowest SNR | gain over one channel |"
  echo "|---|---|---|"
  for kind in channel channels takes; do
    case $kind in
      channel) label="one channel, one take (-c 1)" ;;
      channels) label="two channels of the same tape (-c all)" ;;
      takes) label="two takes (--take)" ;;
    esac
    echo "edge: $label" >&2
    snr=$EDGE_TOP last='' rc=0
    while awk -v s="$snr" -v b="$EDGE_BOTTOM" 'BEGIN { exit !(s >= b) }'; do
      all_back "$kind" "$snr" || rc=$?
      ((rc == 0)) || break
      last=$snr
      snr=$(awk -v s="$snr" -v d="$EDGE_STEP" 'BEGIN { print s - d }')
    done
    rm -rf "$WORK"/e-s* "$WORK/edge"
    gain=-
    if [[ $kind == channel ]]; then
      one=$last
    elif [[ -n $one && -n $last ]]; then
      gain=$(awk -v a="$one" -v b="$last" 'BEGIN { printf "%+.1f dB", a - b }')
    fi
    if ((rc == 2)); then
      echo "| $label | n/a (option refused) | - |"
    elif [[ -z $last ]]; then
      echo "| $label | above $EDGE_TOP dB | - |"
    elif [[ $last == "$EDGE_BOTTOM" ]]; then
      echo "| $label | $(printf '%.1f' "$last") dB or lower | $gain |"
    else
      echo "| $label | $(printf '%.1f' "$last") dB | $gain |"
    fi
  done
  echo
}
if [[ ${EDGE:-0} == 1 ]]; then edge >"$WORK/edge.md"; else : >"$WORK/edge.md"; fi

echo
echo "### Bytes recovered of 256 (min/mean over $SEEDS seeds)"
echo
cat "$WORK/bytes.md"
echo
echo "### Block files (min/mean over $SEEDS seeds)"
echo
cat "$WORK/files.md"
if [[ -s $WORK/combined.md ]]; then
  echo
  echo "### Beyond one recording: channels and takes alone and combined (bytes of 256, min/mean over $SEEDS seeds)"
  echo
  cat "$WORK/combined.md"
fi
echo
cat "$WORK/speed.md"
cat "$WORK/edge.md"
echo "time: $matrix s for the recordings, $(($(date +%s) - start)) s in all"
