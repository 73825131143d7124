#!/usr/bin/env bash
# Peak resident memory on a 1,500,000-line log (about 600 MB, made by make_log.py,
# one record in 50 not yet sent), whole processes, two builds side by side in one
# run (the baseline first; with one build it is compared with itself):
#   sync        the first `kolvex sync` to the local API server (30,000 records);
#   attest add  `kolvex attest add --commit <sha>` attaching the pending attestation
#               to a commit the log already records (its line is put in place).
# Target: under 64 MB each.  Medians of PEAK_RUNS runs.
# Usage: bash bench/peak_memory.sh <build dir> [<baseline build dir>]
#        PEAK_LINES=1500000 PEAK_RUNS=3
set -euo pipefail

after_build=${1:?usage: bash bench/peak_memory.sh <build dir> [<baseline build dir>]}
before_build=${2:-$1}
lines=${PEAK_LINES:-1500000}
runs=${PEAK_RUNS:-3}
here=$(cd "$(dirname "$0")" && pwd)
declare -A bin
bin[after]="$(cd "$after_build" && pwd)/src/kolvex"
bin[before]="$(cd "$before_build" && pwd)/src/kolvex"
devserver="$(cd "$after_build" && pwd)/tools/kolvex-devserver/kolvex-devserver"
for b in "${bin[@]}" "$devserver"; do
  [ -x "$b" ] || { echo "peak_memory: $b is missing; build first" >&2; exit 2; }
done

. "$(dirname "$0")/sandbox.sh"
bench_sandbox peak

export KOLVEX_API_KEY=sk-peak-bench-0123456789
"$devserver" --port 0 --db "$work/server.db" --api-key "$KOLVEX_API_KEY" \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
KOLVEX_API_URL=$(sed -n 's/.*listening on //p' "$work/server.out" | head -1)
export KOLVEX_API_URL

repo="$work/repo"
bench_repo "$repo"
git -C "$repo" remote add origin "git@example.com:bench/peak.git"
echo one >"$repo/a.txt"
git -C "$repo" add a.txt
git -C "$repo" commit -q -m "first"
sha=$(git -C "$repo" rev-parse HEAD)
platform="$repo/.kolvex/.platform"
mkdir -p "$platform/attestations"
python3 "$here/make_log.py" "$work/log.base" "$lines" 50
# The repository's own commit, recorded and sent, is the one `attest add` attaches to.
printf '{"commit": "%s", "branch": "main", "timestamp": "2025-06-01T10:00:00Z", "agent": "unknown", "summary": "first", "synced": true, "event": "commit_unattested"}\n' \
  "$sha" >>"$work/log.base"
echo "log: $lines lines, $(du -h "$work/log.base" | cut -f1)"

measure() { # <out json> <command...>
  python3 "$here/measure_process.py" "$1" "$repo" "${@:2}" >/dev/null 2>&1
  python3 -c 'import json,sys; m=json.load(open(sys.argv[1])); sys.exit(m["exit"])' "$1" \
    || { echo "peak_memory: FAIL: ${*:2} exited non-zero" >&2; exit 1; }
}

for which in before after; do
  for run in $(seq 1 "$runs"); do
    printf "installed_at: '2024-05-01T10:00:00Z'\n" >"$platform/config.yaml"
    cp "$work/log.base" "$platform/log.jsonl"
    measure "$work/sync-$which-$run.json" "${bin[$which]}" sync
    [ "$(grep -c '"synced": false' "$platform/log.jsonl" || true)" = 0 ] \
      || { echo "peak_memory: FAIL: the sync left records unsent" >&2; exit 1; }
    cp "$work/log.base" "$platform/log.jsonl"
    printf 'summary: attached afterwards\nmodel: claude-opus-4-6\nfiles: [a.txt]\n' \
      >"$repo/.kolvex/.commit-attestation.yaml"
    measure "$work/attest-$which-$run.json" "${bin[$which]}" attest add --commit "$sha"
    [ "$(grep -c "attached afterwards" "$platform/log.jsonl" || true)" = 1 ] \
      || { echo "peak_memory: FAIL: attest add did not put the line in place" >&2; exit 1; }
  done
  python3 - "$work" "$which" "$runs" <<'PY'
import json, statistics, sys
work, which, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
for row in ("sync", "attest"):
    got = [json.load(open(f"{work}/{row}-{which}-{i}.json")) for i in range(1, runs + 1)]
    peak = statistics.median(m["peak_rss"] for m in got) / 2**20
    wall = statistics.median(m["wall"] for m in got)
    name = "kolvex sync" if row == "sync" else "attest add"
    verdict = "within" if peak < 64 else "OVER"
    print(f"{which}: {name:11s} peak {peak:7.1f} MB, wall {wall:.2f} s; {verdict} the 64 MB target")
PY
done
