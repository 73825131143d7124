#!/usr/bin/env bash
# A log of one long line (a hand edit, a runaway tool): `kolvex status --json` and the
# post-commit hook's `kolvex sync --record-commit` must read it in time linear in
# its size.  Times and peak memory for single-line logs of 64 MB and 256 MB (override
# with LONG_LINE_SIZES, in MB).
# Usage: bash bench/long_line.sh <build dir>
set -euo pipefail

build=${1:?usage: bash bench/long_line.sh <build dir>}
kolvex="$(cd "$build" && pwd)/src/kolvex"
sizes=${LONG_LINE_SIZES:-64 256}

if [ ! -x "$kolvex" ]; then
  echo "long_line: $kolvex is missing; build first" >&2
  exit 2
fi

. "$(dirname "$0")/sandbox.sh"
bench_sandbox long-line
repo="$work/repo"
bench_kolvex_repo "$repo"
log="$repo/.kolvex/.platform/log.jsonl"

# Runs "$@" in the repository; prints "<seconds> s, <peak KiB> KiB".
measure() {
  python3 - "$repo" "$@" <<'PY'
import os
import resource
import subprocess
import sys
import time

start = time.monotonic()
subprocess.run(sys.argv[2:], cwd=sys.argv[1], stdout=subprocess.DEVNULL, check=True)
seconds = time.monotonic() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(f"{seconds:6.2f} s, peak {peak / 1024:6.0f} MB")
PY
}

for mb in $sizes; do
  python3 - "$log" "$mb" <<'PY'
import json
import sys

path, mb = sys.argv[1], int(sys.argv[2])
summary = "x" * (mb * 1024 * 1024 - 200)
with open(path, "w") as out:
    out.write(json.dumps({"commit": "0" * 40, "summary": summary, "synced": False}) + "\n")
PY
  echo "status --json, one line of $mb MB:        $(measure "$kolvex" status --json)"
  rm -rf "$repo/.kolvex/.platform/attestations"
  echo "sync --record-commit, one line of $mb MB: $(measure "$kolvex" sync --record-commit)"
  if ! grep -q "\"commit\": \"$(git -C "$repo" rev-parse HEAD)\"" "$log"; then
    echo "long_line: FAIL: the commit was not recorded" >&2
    exit 1
  fi
done
