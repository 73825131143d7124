#!/usr/bin/env bash
# Start-up cost of the whole kolvex process against a trivial C++ program built the
# same way.  Every hook pays it on every tool call, so it must stay close to the
# baseline (target: at most 1.5 ms more), and libcurl must never be linked directly.
# Usage: bash bench/startup.sh <build dir of a Release build with KOLVEX_BENCH=ON>
set -euo pipefail

build=${1:?usage: bash bench/startup.sh <build dir>}
kolvex="$build/src/kolvex"
trivial="$build/bench/trivial_main"
target_ms=1.5

for program in "$kolvex" "$trivial"; do
  if [ ! -x "$program" ]; then
    echo "startup: $program is missing; build with -DKOLVEX_BENCH=ON first" >&2
    exit 2
  fi
done

# Loading libcurl and its dependencies costs about 12 ms per process.
if ldd "$kolvex" | grep -i 'libcurl' >&2; then
  echo "startup: FAIL: $kolvex links libcurl directly (see above); it must be dlopen'ed" >&2
  exit 1
fi
echo "ldd: $(ldd "$kolvex" | wc -l) shared objects, no libcurl"

jsondir=$(mktemp -d)
trap 'rm -rf "$jsondir"' EXIT
# The machine is shared, so load drifts during a run: several short rounds, each
# timing both programs back to back, and the medians over all runs, keep a passing
# burst of load from landing on one side only.  --shell=none times the process
# itself, not a shell around it.
rounds=${STARTUP_ROUNDS:-6}
for round in $(seq "$rounds"); do
  hyperfine --shell=none --warmup 20 --runs 60 --style none --export-json "$jsondir/$round.json" \
    --command-name kolvex "$kolvex --version" \
    --command-name trivial "$trivial" >/dev/null 2>&1
done

python3 - "$target_ms" "$jsondir"/*.json <<'PY'
import json
import statistics
import sys

target = float(sys.argv[1])
times = {"kolvex": [], "trivial": []}
cpu = {"kolvex": [], "trivial": []}
for path in sys.argv[2:]:
    for result in json.load(open(path))["results"]:
        times[result["command"]].extend(result["times"])
        cpu[result["command"]].append(result["user"] + result["system"])
kolvex = statistics.median(times["kolvex"]) * 1000
trivial = statistics.median(times["trivial"]) * 1000
difference = kolvex - trivial
print(f"kolvex --version median: {kolvex:.3f} ms ({len(times['kolvex'])} runs)")
print(f"trivial_main     median: {trivial:.3f} ms ({len(times['trivial'])} runs)")
verdict = "within" if difference <= target else "OVER"
print(f"difference:              {difference:+.3f} ms ({verdict} the {target} ms target)")
# CPU time (user + system) barely moves with the load of other processes, so on a
# busy machine it is the steadier figure of the two.
kolvex_cpu = statistics.mean(cpu["kolvex"]) * 1000
trivial_cpu = statistics.mean(cpu["trivial"]) * 1000
print(f"cpu time (user+sys):     kolvex {kolvex_cpu:.3f} ms, trivial {trivial_cpu:.3f} ms, "
      f"difference {kolvex_cpu - trivial_cpu:+.3f} ms")
PY
