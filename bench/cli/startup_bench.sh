#!/bin/sh
# Wall time of the whole `q9 version` and `q9 doctrine` processes: the floor under
# every call the agent makes. Uses hyperfine when installed, else startup_bench.
#   bench/cli/startup_bench.sh BUILD_DIR [RUNS]
set -eu
build=${1:?usage: startup_bench.sh BUILD_DIR [RUNS]}
runs=${2:-1000}
q9="$build/src/cli/q9"
for sub in version doctrine; do
  if command -v hyperfine >/dev/null 2>&1; then
    hyperfine -N --warmup 20 --runs "$runs" "$q9 $sub"
  else
    printf 'q9 %s: ' "$sub"
    "$build/bench/cli/startup_bench" "$runs" "$q9" "$sub"
  fi
done
