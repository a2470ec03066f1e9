#!/usr/bin/env bash
# The speed of --recover alone, against md5sum of the same file in the same hyperfine run: a
# 30-minute 16-bit stereo recording and a 10-minute mono one, with the variant the processor
# gets, with TONEGRAB_SCAN=plain, and with a reference build when given. Medians of RUNS runs;
# each run's bytes are checked against the payload. About a minute.
#
#   bench/recover_speed.sh [REFERENCE_TONEGRAB]
#   env: TG (build/release/tonegrab), SYNTH (build/release/tests/tonegrab-synth), RUNS (10),
#        WORK (a fresh mktemp -d, removed at the end unless KEEP=1), MINUTES (30; the mono file
#        a third of it)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TG=${TG:-$ROOT/build/release/tonegrab}
SYNTH=${SYNTH:-$ROOT/build/release/tests/tonegrab-synth}
REF=${1:-}
RUNS=${RUNS:-10}
MINUTES=${MINUTES:-30}
WORK=${WORK:-$(mktemp -d /tmp/tonegrab-speed.XXXXXX)}
mkdir -p "$WORK"
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT
command -v hyperfine >/dev/null || { echo "hyperfine is needed" >&2; exit 2; }

flags=$(grep -m1 -o -w -E 'avx2|avx512f' /proc/cpuinfo | sort -u | tr '\n' ' ' || true)
variant=$(TONEGRAB_SCAN_REPORT=1 "$TG" --recover -q -y -c 1 /dev/null "$WORK/x.bin" 2>&1 |
  sed -n 's/^tonegrab: sample scan: //p' | head -n 1)
echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), flags: ${flags:-none of avx2, avx512f}"
echo "tonegrab: $TG ($(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo '?')), variant: ${variant:-?}"
[[ -z $REF ]] || echo "reference: $REF"
echo
echo "| file | command | median s | / md5sum |"
echo "|---|---|---|---|"

stereo=$WORK/s16x2-${MINUTES}min.wav mono=$WORK/s16x1-$((MINUTES / 3))min.wav
"$SYNTH" --bits 16 --channels 2 --channel 1 --seconds $((MINUTES * 60)) "$stereo" >/dev/null
"$SYNTH" --bits 16 --channels 1 --seconds $((MINUTES * 20)) "$mono" >/dev/null
for f in "$stereo" "$mono"; do
  cat "$f" >/dev/null  # into the page cache
  names=(chosen plain) cmds=("$TG --recover -q -y -c 1 $f $WORK/chosen.bin"
    "env TONEGRAB_SCAN=plain $TG --recover -q -y -c 1 $f $WORK/plain.bin")
  if [[ -n $REF ]]; then
    names+=(reference) cmds+=("$REF --recover -q -y -c 1 $f $WORK/reference.bin")
  fi
  names+=(md5sum) cmds+=("md5sum $f")
  hyperfine -N --runs "$RUNS" --warmup 2 --style none --export-json "$WORK/t.json" "${cmds[@]}" \
    >/dev/null 2>"$WORK/hyperfine.err" || { cat "$WORK/hyperfine.err" >&2; exit 1; }
  python3 - "$WORK/t.json" "$(basename "$f")" "${names[@]}" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
names = sys.argv[3:]
md5 = results[names.index("md5sum")]["median"]
for name, r in zip(names, results):
    print("| %s | %s | %.4f | %.3f |" % (sys.argv[2], name, r["median"], r["median"] / md5))
EOF
  for n in chosen plain ${REF:+reference}; do
    cmp -s "$WORK/$n.bin" "$f.payload" || echo "note: $n decoded $(basename "$f") wrongly"
  done
done
