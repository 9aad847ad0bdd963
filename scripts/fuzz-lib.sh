# Shared by scripts/fuzz and scripts/fuzz-ci (sourced, not run): the fuzz
# build folder and one target's run with its corpus.
fuzz_dir=$PWD/build/fuzz

# Configures and builds the targets named (all when none) in the clang
# build; a missing clang fails, as the targets cannot be built without it.
fuzz_build() {
  local cxx=${TQ_FUZZ_CXX:-clang++-14} cc=${TQ_FUZZ_CC:-clang-14}
  if ! command -v "$cxx" >/dev/null || ! command -v "$cc" >/dev/null; then
    echo "fuzz: $cxx not found (scripts/install-deps installs clang-14)" >&2
    return 1
  fi
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$fuzz_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQ_FUZZ=ON \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" >/dev/null
  local targets=()
  for t in "$@"; do targets+=("fuzz_$t"); done
  [ ${#targets[@]} -eq 0 ] && targets=(fuzz)
  cmake --build "$fuzz_dir" -j "${FUZZ_BUILD_JOBS:-$(nproc)}" --target "${targets[@]}"
}

# The targets tests/fuzz/CMakeLists.txt names.
fuzz_targets() {
  sed -n 's/^tq_fuzz_target(\([a-z0-9_]*\).*/\1/p' tests/fuzz/CMakeLists.txt
}

# fuzz_run TARGET SECONDS: replays the target's corpus, then fuzzes it for
# SECONDS, new inputs going to build/fuzz/work/TARGET. A crash, a sanitizer
# report, a leak or an input that takes over 10 s fails it, and leaves the
# input in build/fuzz/findings/TARGET/ with REPLAY, the command that runs
# it again. The output goes to build/fuzz/logs/TARGET.log.
fuzz_run() {
  local t=$1 seconds=$2
  local bin=$fuzz_dir/tests/fuzz/fuzz_$t corpus=$PWD/tests/fuzz/corpus/$t
  local work=$fuzz_dir/work/$t found=$fuzz_dir/findings/$t log=$fuzz_dir/logs/$t.log
  mkdir -p "$work" "$found" "$fuzz_dir/logs" "$corpus"
  rm -f "$found"/crash-* "$found"/leak-* "$found"/timeout-* "$found"/oom-* "$found/REPLAY"
  local opts=(-timeout=10 -rss_limit_mb=2560 -malloc_limit_mb=2560 -detect_leaks=1
              -artifact_prefix="$found/" -print_final_stats=1)
  local rc=0
  {
    echo "== replay of $corpus"
    # A finding is written as the input that made it; every corpus file
    # runs, each once.
    local files=("$corpus"/*)
    if [ -e "${files[0]}" ]; then
      "$bin" "${opts[@]}" -runs=1 "${files[@]}" || rc=$?
    fi
    if [ "$rc" -eq 0 ] && [ "$seconds" -gt 0 ]; then
      echo "== fuzzing for $seconds s"
      "$bin" "${opts[@]}" -max_total_time="$seconds" "$work" "$corpus" || rc=$?
    fi
  } >"$log" 2>&1
  if [ "$rc" -ne 0 ]; then
    {
      echo "# the input(s) of this folder, as the fuzz build runs them again:"
      local a
      for a in "$found"/crash-* "$found"/leak-* "$found"/timeout-* "$found"/oom-*; do
        [ -e "$a" ] && echo "$bin $a"
      done
      echo "# log: $log"
      echo "# an input that passes alone met state an earlier one left (a cache of the"
      echo "# code under test): the corpus replay runs them all in order again:"
      echo "$bin -runs=1 $corpus/*"
    } >"$found/REPLAY"
    # A corpus file that fails in the replay is not written again by the
    # fuzzer: the last one the log says it ran is the one.
    if ! compgen -G "$found/*-*" >/dev/null; then
      local last
      last=$(grep '^Running: ' "$log" | tail -n 1 | cut -c10-)
      if [ -n "$last" ] && [ -f "$last" ]; then
        cp "$last" "$found/crash-corpus-${last##*/}"
        echo "$bin $last" >>"$found/REPLAY"
      else
        echo "# no input was written; see the log" >>"$found/REPLAY"
      fi
    fi
  fi
  return "$rc"
}
