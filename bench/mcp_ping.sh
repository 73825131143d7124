#!/usr/bin/env bash
# How long a `ping` to `kolvex mcp` waits while the server's `sync` tool is waiting
# on a slow API server (every context request delayed 8 s): pings are sent one after
# another, 100 ms apart, once the sync is under way, each timed from its line sent
# to its answer read.  Median latency; with a baseline build, both side by side.
# Target: under 50 ms.
# Usage: bash bench/mcp_ping.sh <build dir> [<baseline build dir>]
#        MCP_PING_COUNT=20
set -euo pipefail

after_build=${1:?usage: bash bench/mcp_ping.sh <build dir> [<baseline build dir>]}
before_build=${2:-}
count=${MCP_PING_COUNT:-20}
declare -A bin
bin[after]="$(cd "$after_build" && pwd)/src/kolvex"
builds=(after)
if [ -n "$before_build" ]; then
  bin[before]="$(cd "$before_build" && pwd)/src/kolvex"
  builds=(before after)
fi
devserver="$(cd "$after_build" && pwd)/tools/kolvex-devserver/kolvex-devserver"
for b in "${bin[@]}" "$devserver"; do
  [ -x "$b" ] || { echo "mcp_ping: $b is missing; build first" >&2; exit 2; }
done

. "$(dirname "$0")/sandbox.sh"
bench_sandbox mcp-ping

export KOLVEX_API_KEY=sk-mcp-ping-bench-0123456789
"$devserver" --port 0 --db "$work/server.db" --api-key "$KOLVEX_API_KEY" \
  --delay '/context$=8000' >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
KOLVEX_API_URL=$(sed -n 's/.*listening on //p' "$work/server.out" | head -1)
export KOLVEX_API_URL

for which in "${builds[@]}"; do
  repo="$work/repo-$which"
  bench_repo "$repo"
  git -C "$repo" remote add origin "git@example.com:bench/ping-$which.git"
  (cd "$repo" && "${bin[$which]}" setup --agent claude-code >/dev/null 2>&1)
  echo one >"$repo/a.txt"
  git -C "$repo" add a.txt
  git -C "$repo" commit -q -m "first"
  python3 - "${bin[$which]}" "$repo" "$count" "$which" <<'PY'
import json, os, select, statistics, subprocess, sys, time
kolvex, repo, count, which = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
child = subprocess.Popen([kolvex, "mcp"], cwd=repo, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
pending = b""

def send(message):
    child.stdin.write((json.dumps(message) + "\n").encode())
    child.stdin.flush()

def answer(wanted, limit=30.0):
    """Reads answers until the one with id `wanted`; the others are kept by id."""
    global pending
    end = time.monotonic() + limit
    while True:
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            got = json.loads(line)
            seen[got.get("id")] = time.monotonic()
            if got.get("id") == wanted:
                return got
        left = end - time.monotonic()
        if left <= 0 or not select.select([child.stdout], [], [], left)[0]:
            raise SystemExit(f"mcp_ping: no answer to {wanted}")
        chunk = os.read(child.stdout.fileno(), 65536)
        if not chunk:
            raise SystemExit(f"mcp_ping: kolvex mcp ended before answering {wanted}")
        pending += chunk

seen = {}
send({"jsonrpc": "2.0", "id": 1, "method": "initialize",
      "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                 "clientInfo": {"name": "bench", "version": "1"}}})
answer(1)
send({"jsonrpc": "2.0", "method": "notifications/initialized"})
sync_sent = time.monotonic()
send({"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "sync"}})
time.sleep(0.5)  # the sync is waiting on the server by now
latencies = []
for i in range(count):
    ping = 100 + i
    sent = time.monotonic()
    send({"jsonrpc": "2.0", "id": ping, "method": "ping"})
    answer(ping)
    latencies.append((seen[ping] - sent) * 1000)
    if 2 in seen:
        break  # the sync is over: later pings would not be measured against it
    time.sleep(0.1)
answer(2)
sync_ms = (seen[2] - sync_sent) * 1000
child.stdin.close()
child.wait(timeout=30)
during = sum(1 for i in range(len(latencies)) if seen[100 + i] < seen[2])
median = statistics.median(latencies)
verdict = "within" if median < 50 else "OVER"
print(f"{which}: ping median {median:.1f} ms over {len(latencies)} pings "
      f"({during} answered while the sync waited; the sync took {sync_ms / 1000:.1f} s); "
      f"{verdict} the 50 ms target")
PY
done
