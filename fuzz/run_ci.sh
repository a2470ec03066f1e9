#!/usr/bin/env bash
# A time-bounded fuzz run for CI: starts from the committed corpus, which it only reads, and fails
# on any crash, sanitizer report, timeout or memory blow-up. New inputs and reproducers go to a
# temporary directory; a reproducer is also printed in base64 so that it survives the log.
#
#   fuzz/run_ci.sh [SECONDS]        (default 60)
#
# Builds the fuzz target with the fuzz preset (build/fuzz) unless FUZZER names an existing binary.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${1:-60}
fuzzer=${FUZZER:-$root/build/fuzz/fuzz/fuzz_tonegrab}

if [[ -z ${FUZZER:-} ]]; then
  (cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz --target fuzz_tonegrab >/dev/null)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"

status=0
# A stalled call into the audio library is abandoned with the memory it holds.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
"$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -dict="$here/wav.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  "$work/corpus" "$here/corpus" || status=$?

for f in "$work"/artifacts/*; do
  [[ -e $f ]] || continue
  echo "finding: $(basename "$f") (base64 follows)"
  base64 "$f"
  status=1
done
if ((status != 0)); then
  echo "fuzzing found a problem (status $status)" >&2
  exit 1
fi
echo "no findings in $seconds s"
