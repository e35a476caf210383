#!/bin/sh
# Wall time of the whole `q9 report big.json --out big.html` process (read, parse,
# render, atomic write, gate) on a record with ~2 MB of section bodies.
#   bench/report/process_bench.sh BUILD_DIR [RUNS]
set -eu
build=${1:?usage: process_bench.sh BUILD_DIR [RUNS]}
runs=${2:-50}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/report/render_bench" --write-json "$work/big.json" >/dev/null
"$build/src/cli/q9" report "$work/big.json" --out "$work/big.html"
python3 - "$build/src/cli/q9" "$work" "$runs" <<'PY'
import subprocess, sys, time
q9, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
times = []
for _ in range(runs):
    t = time.perf_counter()
    subprocess.run([q9, "report", f"{work}/big.json", "--out", f"{work}/big.html"],
                   check=False, stdout=subprocess.DEVNULL)
    times.append((time.perf_counter() - t) * 1e3)
times.sort()
print(f"q9 report big.json --out big.html: {runs} runs, min {times[0]:.1f} ms, "
      f"median {times[len(times) // 2]:.1f} ms, max {times[-1]:.1f} ms")
PY
