#!/usr/bin/env bash
# The log at scale, whole processes, two builds side by side in one run (the
# baseline first; with one build it is compared with itself):
#   record   `kolvex sync --record-commit` of a new commit on a 1,000,000-line log
#            against the same on a 1,000-line log (target: within 1.2x);
#   status   `kolvex status --json` and `kolvex session-start` with no backlog on the
#            1,000,000-line log (target: under 150 ms each);
#   catchup  a session start that records 30 commits on a 200,000-line log against
#            the same on an empty log (target: within 1.2x plus one read of the log);
#   sync     the first `kolvex sync` of 20,000 and of 100,000 records to the local
#            API server: kolvex's CPU time, bytes it wrote (target: under 2 s, at
#            most 3x the log, and 100,000 at most 5.5x 20,000).
# Each log is made here, records as the capture path writes them, a mix of synced
# and unsent.  The log keeps its file between runs (cut back to its size, as a real
# log only grows), so what a build keeps beside it is used as it would be.
# Usage: bash bench/scale.sh <build dir> [<baseline build dir>]
#        SCALE_ROWS="record status catchup sync" SCALE_RUNS=15
#        SCALE_SYNC_RECORDS="20000 100000" (a baseline that rewrites the log per batch
#        takes minutes on 100,000)
set -euo pipefail

after_build=${1:?usage: bash bench/scale.sh <build dir> [<baseline build dir>]}
before_build=${2:-$1}
rows=${SCALE_ROWS:-record status catchup sync}
runs=${SCALE_RUNS:-15}
here=$(cd "$(dirname "$0")" && pwd)
declare -A bin
bin[after]="$(cd "$after_build" && pwd)/src/kolvex"
bin[before]="$(cd "$before_build" && pwd)/src/kolvex"
devserver="$(cd "$after_build" && pwd)/tools/kolvex-devserver/kolvex-devserver"
for b in "${bin[@]}"; do
  [ -x "$b" ] || { echo "scale: $b is missing; build first" >&2; exit 2; }
done
command -v hyperfine >/dev/null || { echo "scale: hyperfine is missing" >&2; exit 2; }

. "$(dirname "$0")/sandbox.sh"
bench_sandbox scale

# `make_log <file> <lines> <unsent every>`: realistic records (attested and not,
# developer and telemetry maps, some non-ASCII), one in <unsent every> not sent.
make_log() {
  python3 "$here/make_log.py" "$@"
}

# `new_repo <dir> <commits>`: a repository set up for kolvex with that many commits.
new_repo() {
  bench_repo "$1"
  mkdir -p "$1/.kolvex/.platform/attestations"
  printf "project_id: 42\ninstalled_at: '2024-05-01T10:00:00Z'\n" >"$1/.kolvex/.platform/config.yaml"
  for i in $(seq 1 "$2"); do
    echo "$i" >"$1/file$i.txt"
    git -C "$1" add "file$i.txt"
    git -C "$1" commit -q -m "change $i"
  done
}

# `cut_back <log> <bytes>` as the prepare step: the log back to its size, same file.
cat >"$work/cut_back.sh" <<'SH'
#!/bin/sh
# <log> <bytes> [<repo>]: and the records of the repository's commits undone.
truncate -s "$2" "$1"
if [ -n "${3:-}" ]; then
  rm -rf "$3/.kolvex/.platform/attestations"
  mkdir -p "$3/.kolvex/.platform/attestations"
fi
SH
chmod +x "$work/cut_back.sh"

median() { # <hyperfine json> <command name>
  python3 -c 'import json,statistics,sys
r={x["command"]:x for x in json.load(open(sys.argv[1]))["results"]}[sys.argv[2]]
print("%.1f" % (statistics.median(r["times"])*1000))' "$1" "$2"
}

if [[ " $rows " == *" record "* ]]; then
  echo "== record: a new commit, 1,000,000-line log against 1,000 lines"
  for size in 1000 1000000; do
    new_repo "$work/rec$size" 1
    make_log "$work/rec$size/.kolvex/.platform/log.jsonl" "$size" 50
  done
  for which in before after; do
    for size in 1000 1000000; do
      log="$work/rec$size/.kolvex/.platform/log.jsonl"
      bytes=$(stat -c %s "$log")
      (cd "$work/rec$size" && hyperfine --shell=none --warmup 3 --runs "$runs" --style none \
        --prepare "$work/cut_back.sh $log $bytes $work/rec$size" \
        --export-json "$work/rec-$which-$size.json" --command-name "$which $size" \
        "${bin[$which]} sync --record-commit" >/dev/null)
      truncate -s "$bytes" "$log"
    done
    small=$(median "$work/rec-$which-1000.json" "$which 1000")
    large=$(median "$work/rec-$which-1000000.json" "$which 1000000")
    echo "$which: 1,000 lines ${small} ms, 1,000,000 lines ${large} ms, ratio $(python3 -c "print('%.2f' % ($large / $small))")"
  done
fi

if [[ " $rows " == *" status "* ]]; then
  echo "== status and session-start with no backlog, 1,000,000 lines"
  [ -d "$work/rec1000000" ] || { new_repo "$work/rec1000000" 1; make_log "$work/rec1000000/.kolvex/.platform/log.jsonl" 1000000 50; }
  repo="$work/rec1000000"
  (cd "$repo" && "${bin[after]}" session-start >/dev/null) # the commit recorded: no backlog
  for which in before after; do
    (cd "$repo" && hyperfine --shell=none --warmup 3 --runs "$runs" --style none \
      --export-json "$work/status-$which.json" \
      --command-name "status" "${bin[$which]} status --json" \
      --command-name "session-start" "${bin[$which]} session-start --agent claude-code" >/dev/null 2>&1)
    echo "$which: status $(median "$work/status-$which.json" status) ms, session-start $(median "$work/status-$which.json" session-start) ms"
  done
fi

if [[ " $rows " == *" catchup "* ]]; then
  echo "== catch-up of 30 commits, 200,000-line log against an empty log"
  new_repo "$work/catch" 30
  log="$work/catch/.kolvex/.platform/log.jsonl"
  make_log "$work/log.200k" 200000 50
  for which in before after; do
    for size in empty 200k; do
      if [ $size = empty ]; then : >"$log"; else cp "$work/log.200k" "$log"; fi
      bytes=$(stat -c %s "$log")
      (cd "$work/catch" && hyperfine --shell=none --warmup 2 --runs "$runs" --style none \
        --prepare "$work/cut_back.sh $log $bytes $work/catch" \
        --export-json "$work/catch-$which-$size.json" --command-name "$which $size" \
        "${bin[$which]} session-start --agent claude-code" >/dev/null 2>&1)
      [ "$(grep -c '"catch_up"' "$log" || true)" -ge 1 ] || [ "$(wc -l <"$log")" -gt "$((bytes > 0 ? 200000 : 0))" ] \
        || { echo "scale: FAIL: the catch-up recorded nothing" >&2; exit 1; }
    done
    empty=$(median "$work/catch-$which-empty.json" "$which empty")
    full=$(median "$work/catch-$which-200k.json" "$which 200k")
    echo "$which: empty log ${empty} ms, 200,000 lines ${full} ms, ratio $(python3 -c "print('%.2f' % ($full / $empty))")"
  done
fi

if [[ " $rows " == *" sync "* ]]; then
  echo "== first sync to the local API server: kolvex's CPU time and bytes written"
  [ -x "$devserver" ] || { echo "scale: $devserver is missing" >&2; exit 2; }
  export KOLVEX_API_KEY=sk-scale-bench-0123456789
  "$devserver" --port 0 --db "$work/server.db" --api-key "$KOLVEX_API_KEY" \
    >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 50); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
  KOLVEX_API_URL=$(sed -n 's/.*listening on //p' "$work/server.out" | head -1)
  export KOLVEX_API_URL
  for records in ${SCALE_SYNC_RECORDS:-20000 100000}; do
    new_repo "$work/sync$records" 1
    git -C "$work/sync$records" remote add origin "git@example.com:bench/sync$records.git"
    python3 - "$work/sync$records/.kolvex/.platform" "$records" <<'PY'
import hashlib, json, os, sys
platform, total = sys.argv[1], int(sys.argv[2])
with open(os.path.join(platform, "log.base"), "w") as out:
    for i in range(total):
        sha = hashlib.sha1(b"sync %d" % i).hexdigest()
        out.write(json.dumps({"commit": sha, "branch": "main", "timestamp": "2025-06-01T10:00:00Z",
                              "agent": "claude-code", "summary": "Change number %d" % i,
                              "synced": False}) + "\n")
        with open(os.path.join(platform, "attestations", sha + ".yaml"), "w") as a:
            a.write("summary: Change number %d\nmodel: claude-opus-4-6\nfiles: [src/a.cpp]\n" % i)
PY
  done
  for which in before after; do
    for records in ${SCALE_SYNC_RECORDS:-20000 100000}; do
      repo="$work/sync$records"
      sed -i '/^project_id/d' "$repo/.kolvex/.platform/config.yaml"
      cp "$repo/.kolvex/.platform/log.base" "$repo/.kolvex/.platform/log.jsonl"
      python3 "$here/measure_process.py" "$work/sync-$which-$records.json" \
        "$repo" "${bin[$which]}" sync >/dev/null
      python3 - "$work/sync-$which-$records.json" "$repo/.kolvex/.platform/log.jsonl" "$which" "$records" <<'PY'
import json, os, sys
m = json.load(open(sys.argv[1]))
log = os.path.getsize(sys.argv[2])
print("%s %d records: cpu %.2f s, wall %.2f s, written %.1f MB (%.2fx the log), exit %d"
      % (sys.argv[3], int(sys.argv[4]), m["cpu"], m["wall"], m["written"] / 1e6,
         m["written"] / log, m["exit"]))
PY
    done
  done
fi
