#!/usr/bin/env bash
# Whole-process time of `kolvex status --json` on a 100,000-line log, side by side for
# three mixes of its lines: all uploaded, a third still unsent, and all unsent (a
# repository that never synced, the usual state).  Counting must not build the
# unsent records: target, the all-unsent median under 1.5 times the all-uploaded
# one, measured in the same run.
# Usage: bash bench/status.sh <build dir>
set -euo pipefail

build=${1:?usage: bash bench/status.sh <build dir>}
kolvex="$(cd "$build" && pwd)/src/kolvex"
lines=${STATUS_LINES:-100000}
runs=${STATUS_RUNS:-40}
target_ratio=1.5

if [ ! -x "$kolvex" ]; then
  echo "status: $kolvex is missing; build first" >&2
  exit 2
fi
command -v hyperfine >/dev/null || { echo "status: hyperfine is missing" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kolvex-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" GIT_CONFIG_NOSYSTEM=1
unset KOLVEX_DEBUG || true
mkdir -p "$HOME" "$work/repo/.kolvex/.platform"
git init -q -b main "$work/repo"
log="$work/repo/.kolvex/.platform/log.jsonl"

python3 - "$lines" "$work" <<'PY'
import hashlib
import json
import sys

total, work = int(sys.argv[1]), sys.argv[2]
for mix, unsent_every in (("synced", 0), ("third", 3), ("unsent", 1)):
    with open(f"{work}/log.{mix}", "w") as out:
        for i in range(total):
            sha = hashlib.sha1(str(i).encode()).hexdigest()
            line = {"commit": sha, "branch": "main", "timestamp": "2025-01-01T00:00:00+00:00",
                    "agent": "claude-code", "summary": f"change number {i}",
                    "synced": not (unsent_every and i % unsent_every == 0),
                    "event": "commit_unattested",
                    "developer": {"git_author_name": "Bench Dev",
                                  "git_author_email": "bench@example.com"}}
            if i % 3:
                line["telemetry"] = {"model": "claude-opus-4-6",
                                     "tokens": {"input": 1000 + i % 997, "output": 200 + i % 89}}
            out.write(json.dumps(line) + "\n")
PY
echo "log: $lines lines, $(du -h "$work/log.synced" | cut -f1)"

# Each mix must count what it holds.
for mix in synced third unsent; do
  cp "$work/log.$mix" "$log"
  (cd "$work/repo" && "$kolvex" status --json) >"$work/counts.$mix"
done
python3 - "$lines" "$work" <<'PY'
import json
import sys

total, work = int(sys.argv[1]), sys.argv[2]
want = {"synced": 0, "third": (total + 2) // 3, "unsent": total}
for mix, pending in want.items():
    got = json.load(open(f"{work}/counts.{mix}"))["pending"]
    if got != pending:
        sys.exit(f"status: FAIL: {mix} counts {got} pending, not {pending}")
PY

cd "$work/repo"
hyperfine --shell=none --warmup 3 --runs "$runs" --style none \
  --export-json "$work/times.json" \
  --prepare "cp $work/log.{mix} $log" -L mix synced,third,unsent \
  --command-name "status --json, {mix}" "$kolvex status --json" >/dev/null 2>&1

python3 - "$target_ratio" "$work/times.json" <<'PY'
import json
import statistics
import sys

target = float(sys.argv[1])
results = json.load(open(sys.argv[2]))["results"]
medians = {}
for result in results:
    median = statistics.median(result["times"]) * 1000
    cpu = (result["user"] + result["system"]) * 1000
    medians[result["command"].rsplit(", ", 1)[1]] = median
    print(f"{result['command']:<24} median {median:7.2f} ms (cpu {cpu:.2f}, "
          f"{len(result['times'])} runs)")
ratio = medians["unsent"] / medians["synced"]
third = medians["third"] / medians["synced"]
verdict = "within" if ratio < target else "OVER"
print(f"ratio to all uploaded: unsent {ratio:.2f}x, a third unsent {third:.2f}x; "
      f"{verdict} the {target}x target")
PY
