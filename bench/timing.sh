# What the benchmarks share: building the tools they run, and timing. Sourced, not run; the
# timing needs RUNS and WORK set.

# build_tools ROOT BUILD TG SYNTH: builds tonegrab and the synthesizer into BUILD when TG or
# SYNTH is missing; only those two targets (the synthesizer builds without GoogleTest). A build
# directory already configured (by the test preset, say) is kept as it is. CMake's output goes
# to standard error, away from the benchmark's tables.
build_tools() {
  local root=$1 build=$2
  [[ -x $3 && -x $4 ]] && return 0
  if [[ ! -f $build/CMakeCache.txt ]]; then
    if [[ $build == "$root/build/release" ]]; then
      (cd "$root" && cmake --preset release) >&2
    else
      cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTONEGRAB_TESTS=OFF >&2
    fi
  fi
  cmake --build "$build" -j 2 --target tonegrab tonegrab-synth >&2
}

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
