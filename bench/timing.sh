# Timing shared by the benchmarks; sourced, not run. Needs RUNS and WORK set.

# median_of: the median of the numbers on standard input.
median_of() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# timed CMD: median wall time in seconds of RUNS runs of the shell command CMD, after one warm-up.
# Its exit status does not matter here: the benchmarks check what the runs wrote themselves.
timed() {
  if [[ ${NO_HYPERFINE:-0} != 1 ]] && command -v hyperfine >/dev/null; then
    hyperfine --runs "$RUNS" --warmup 1 --style none -i --export-json "$WORK/t.json" "$1" \
      >/dev/null 2>"$WORK/hyperfine.err" || { cat "$WORK/hyperfine.err" >&2; return 1; }
    awk -F: '/"median"/ { gsub(/[ ,]/, "", $2); printf "%.3f\n", $2; exit }' "$WORK/t.json"
  else
    sh -c "$1" || true
    local i t0 t1
    for ((i = 0; i < RUNS; i++)); do
      t0=$(date +%s.%N); sh -c "$1" || true; t1=$(date +%s.%N)
      awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
    done | median_of | awk '{ printf "%.3f\n", $1 }'
  fi
}
