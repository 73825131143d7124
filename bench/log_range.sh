#!/usr/bin/env bash
# Whole-process time of `kolvex log --json` over a range of 1,000 commits beside a
# 100,000-line log (the range's records spread through it, a third of them attested
# with an archive naming the model and the staged-diff hash of the commit's change,
# which the listing checks).  The log is read once and git asked once for the range
# and once for the attested commits' diffs, whatever the range's length: target,
# the median under 200 ms.
# Usage: bash bench/log_range.sh <build dir>
set -euo pipefail

build=${1:?usage: bash bench/log_range.sh <build dir>}
kolvex="$(cd "$build" && pwd)/src/kolvex"
commits=${LOG_COMMITS:-1000}
lines=${LOG_LINES:-100000}
runs=${LOG_RUNS:-20}
target_ms=200

if [ ! -x "$kolvex" ]; then
  echo "log_range: $kolvex is missing; build first" >&2
  exit 2
fi
command -v hyperfine >/dev/null || { echo "log_range: hyperfine is missing" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kolvex-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" GIT_CONFIG_NOSYSTEM=1
unset KOLVEX_DEBUG || true
mkdir -p "$HOME" "$work/repo/.kolvex/.platform/attestations"
git init -q -b main "$work/repo"

# The commits, made in one fast-import: a base and then the range.
python3 - "$commits" >"$work/stream" <<'PY'
import sys
n = int(sys.argv[1])
for i in range(n + 1):
    msg = f"change {i}\n".encode()
    data = f"{i}\n".encode()
    sys.stdout.write(f"commit refs/heads/main\nmark :{i + 1}\n"
                     f"committer Bench <bench@example.com> {1700000000 + i} +0000\n"
                     f"data {len(msg)}\n")
    sys.stdout.write(msg.decode())
    if i:
        sys.stdout.write(f"from :{i}\n")
    sys.stdout.write(f"M 644 inline f.txt\ndata {len(data)}\n{data.decode()}\n")
PY
(cd "$work/repo" && git fast-import --quiet <"$work/stream" && git checkout -q -f main)
base=$(git -C "$work/repo" rev-list --max-parents=0 HEAD)
git -C "$work/repo" rev-list "$base..HEAD" >"$work/range"
git -C "$work/repo" diff-tree --stdin --always -p -M <"$work/range" >"$work/diffs"

python3 - "$lines" "$work" <<'PY'
import hashlib
import json
import sys

total, work = int(sys.argv[1]), sys.argv[2]
ours = open(f"{work}/range").read().split()
# Each commit's change as git prints it, for the hash its attestation declares.
hashes, sha, diff = {}, None, []
for line in open(f"{work}/diffs", "rb").read().split(b"\n"):
    if line.decode() in ours:
        if sha:
            hashes[sha] = hashlib.sha256(b"\n".join(diff) + b"\n").hexdigest()
        sha, diff = line.decode(), []
    else:
        diff.append(line)
hashes[sha] = hashlib.sha256(b"\n".join(diff[:-1]) + b"\n").hexdigest()
every = total // len(ours)
with open(f"{work}/repo/.kolvex/.platform/log.jsonl", "w") as out:
    k = 0
    for i in range(total):
        if i % every == 0 and k < len(ours):
            sha, k = ours[k], k + 1
        else:
            sha = hashlib.sha1(str(i).encode()).hexdigest()
        attested = k and sha == ours[k - 1] and k % 3 == 0
        line = {"commit": sha, "branch": "main", "timestamp": "2025-01-01T00:00:00+00:00",
                "agent": "claude-code", "summary": f"change number {i}", "synced": i % 2 == 0}
        if not attested:
            line["event"] = "commit_unattested"
        line["agent_session_id"] = f"session-{i % 50}"
        out.write(json.dumps(line) + "\n")
        if attested:
            with open(f"{work}/repo/.kolvex/.platform/attestations/{sha}.yaml", "w") as a:
                a.write(f"agent: claude-code\nagent_model: claude-opus-4-6\nsummary: change {i}\n"
                        f"staged_diff_hash: {hashes[sha]}\n")
PY
echo "log: $lines lines, $(du -h "$work/repo/.kolvex/.platform/log.jsonl" | cut -f1); range: $commits commits"

cd "$work/repo"
# The listing must say what the log holds.
"$kolvex" log --json "$base..HEAD" >"$work/out.json"
python3 - "$commits" "$work/out.json" <<'PY'
import json
import sys
want, doc = int(sys.argv[1]), json.load(open(sys.argv[2]))
totals = doc["totals"]
if totals["commits"] != want or totals["not_recorded"] != 0 or totals["attested"] != want // 3:
    sys.exit(f"log_range: FAIL: totals {totals}")
PY

hyperfine --shell=none --warmup 3 --runs "$runs" --style none \
  --export-json "$work/times.json" \
  --command-name "log --json, $commits commits" "$kolvex log --json $base..HEAD" >/dev/null 2>&1

python3 - "$target_ms" "$work/times.json" <<'PY'
import json
import statistics
import sys

target = float(sys.argv[1])
result = json.load(open(sys.argv[2]))["results"][0]
median = statistics.median(result["times"]) * 1000
verdict = "within" if median < target else "OVER"
print(f"{result['command']}: median {median:.1f} ms ({len(result['times'])} runs); "
      f"{verdict} the {target:.0f} ms target")
PY
