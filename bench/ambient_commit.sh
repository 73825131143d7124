#!/usr/bin/env bash
# What a bare harness marker costs the git post-commit hook: the whole
# `kolvex sync --record-commit` process under CLAUDECODE=1 (no session id), in a
# repository with a live Claude Code session, beside a store of 200 other
# transcripts of 2 MB each (other projects' sessions, some of them live, and this
# repository's finished ones), timed side by side in one run against the same
# commit recorded with no harness at all.  Target: at most 2x.
# Usage: bash bench/ambient_commit.sh <build dir>
set -euo pipefail

build=${1:?usage: bash bench/ambient_commit.sh <build dir>}
kolvex="$(cd "$build" && pwd)/src/kolvex"
runs=${AMBIENT_COMMIT_RUNS:-40}
target_ratio=2

if [ ! -x "$kolvex" ]; then
  echo "ambient_commit: $kolvex is missing; build first" >&2
  exit 2
fi
command -v hyperfine >/dev/null || { echo "ambient_commit: hyperfine is missing" >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kolvex-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# No harness of this machine and no dotfiles of yours take part.
export HOME="$scratch/home" CLAUDE_CONFIG_DIR="$scratch/claude" CODEX_HOME="$scratch/codex" \
  GIT_CONFIG_NOSYSTEM=1
unset CLAUDECODE CLAUDE_CODE_SESSION_ID CODEX_THREAD_ID GEMINI_CLI CURSOR_AGENT \
  CURSOR_EXTENSION_HOST_ROLE KOLVEX_DEBUG || true
mkdir -p "$HOME" "$CLAUDE_CONFIG_DIR/projects" "$CODEX_HOME" "$scratch/repo"
repo="$scratch/repo"
cd "$repo"
git init -q -b main
git config user.name "Bench Dev"
git config user.email "bench@example.com"
git config commit.gpgsign false
mkdir -p .kolvex/.platform/attestations
printf 'project_id: 42\n' > .kolvex/.platform/config.yaml
echo one > a.txt
git add a.txt
git commit -q -m "feat: the commit being recorded"
sha=$(git rev-parse HEAD)

# The store.  Every transcript is a real one in form (user prompts, responses one
# line per content block with usage, Bash calls with large results); the others
# are 2 MB each, the live session of this repository 300 KB and waiting on its
# `git commit`.
python3 - "$CLAUDE_CONFIG_DIR/projects" "$repo" <<'PY'
import json, os, random, sys, time

projects, repo = sys.argv[1], sys.argv[2]
now = time.time()
rng = random.Random(7)
words = ["def ", "return ", "self.", "\"value\"", "\\n", "if x:\n    ", "é", "→ ", "{}",
         "# comment\n", "import os\n", "\t", "0x1F ", "résumé ", "None", "True"]

def key(path):
    return "".join(c if c.isascii() and c.isalnum() else "-" for c in path)

def stamp(epoch):
    return time.strftime("%Y-%m-%dT%H:%M:%S.123Z", time.gmtime(epoch))

def session(sid, cwd, size, committing):
    out, n, when = [], 0, now - 3000
    env = lambda t: {"parentUuid": None, "isSidechain": False, "userType": "external",
                     "cwd": cwd, "sessionId": sid, "version": "2.1.152",
                     "gitBranch": "main", "type": t, "uuid": f"{sid}-{n}",
                     "timestamp": stamp(when)}
    total = 0
    while total < size:
        n += 1; when += 5
        user = env("user")
        user["message"] = {"role": "user",
                           "content": "".join(rng.choice(words) for _ in range(60))}
        out.append(json.dumps(user)); total += len(out[-1]) + 1
        n += 1; when += 1
        line = env("assistant")
        line["message"] = {"model": "claude-opus-4-7", "id": f"msg_{n}", "type": "message",
                           "role": "assistant",
                           "content": [{"type": "tool_use", "id": f"toolu_{n}", "name": "Bash",
                                        "input": {"command": "pytest -q tests/"}}],
                           "usage": {"input_tokens": 6, "cache_creation_input_tokens": 1045,
                                     "cache_read_input_tokens": 30570, "output_tokens": 420}}
        line["requestId"] = f"req_{n}"
        out.append(json.dumps(line)); total += len(out[-1]) + 1
        n += 1; when += 3
        result = env("user")
        result["message"] = {"role": "user", "content": [
            {"type": "tool_result", "tool_use_id": f"toolu_{n - 1}", "is_error": False,
             "content": "".join(rng.choice(words) for _ in range(1500))}]}
        out.append(json.dumps(result)); total += len(out[-1]) + 1
    if committing:
        n += 1
        line = env("assistant")
        line["timestamp"] = stamp(now - 2)
        line["message"] = {"model": "claude-opus-4-7", "id": f"msg_{n}", "type": "message",
                           "role": "assistant",
                           "content": [{"type": "tool_use", "id": f"toolu_{n}", "name": "Bash",
                                        "input": {"command": "git commit -m 'feat: x'"}}],
                           "usage": {"input_tokens": 6, "output_tokens": 40}}
        out.append(json.dumps(line))
    return "\n".join(out) + "\n"

def write(cwd, sid, text, mtime):
    directory = os.path.join(projects, key(cwd))
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, sid + ".jsonl")
    with open(path, "w") as f:
        f.write(text)
    os.utime(path, (mtime, mtime))

two_mb = 2 << 20
# 150 sessions of 30 other projects, a third of them live right now.
for p in range(30):
    cwd = f"/home/dev/projects/service-{p}"
    body = session("template", cwd, two_mb, False)
    for s in range(5):
        sid = f"other-{p}-{s}"
        write(cwd, sid, body.replace("template", sid), now - (60 if s < 2 else 86400 * (s + 1)))
# 50 finished sessions of this repository, from an hour to fifty days ago.
body = session("template", repo, two_mb, False)
for s in range(50):
    sid = f"finished-{s}"
    write(repo, sid, body.replace("template", sid), now - 3600 - 86400 * s)
write(repo, "live-session", session("live-session", repo, 300 << 10, True), now - 2)
PY
store_mb=$(du -sm "$CLAUDE_CONFIG_DIR/projects" | cut -f1)
echo "store: $(find "$CLAUDE_CONFIG_DIR/projects" -name '*.jsonl' | wc -l) transcripts, ${store_mb} MB"

live="$CLAUDE_CONFIG_DIR/projects/$(python3 -c 'import sys; print("".join(c if c.isascii() and c.isalnum() else "-" for c in sys.argv[1]))' "$repo")/live-session.jsonl"
cat > "$scratch/prepare.sh" <<SH
#!/bin/sh
rm -f "$repo/.kolvex/.platform/log.jsonl" "$repo/.kolvex/.platform/attestations/$sha.yaml"
touch "$live"
SH
chmod +x "$scratch/prepare.sh"

# Under the marker the record must name the live session, with its telemetry.
"$scratch/prepare.sh"
env CLAUDECODE=1 "$kolvex" sync --record-commit
if ! grep -q "agent_session_id: live-session" ".kolvex/.platform/attestations/$sha.yaml"; then
  echo "ambient_commit: FAIL: the record does not name the live session" >&2
  cat ".kolvex/.platform/attestations/$sha.yaml" >&2
  exit 1
fi

hyperfine --shell=none --warmup 3 --runs "$runs" --style none \
  --prepare "$scratch/prepare.sh" --export-json "$scratch/times.json" \
  --command-name "no harness" "env -u CLAUDECODE $kolvex sync --record-commit" \
  --command-name "CLAUDECODE=1" "env CLAUDECODE=1 $kolvex sync --record-commit" >/dev/null

python3 - "$target_ratio" "$scratch/times.json" <<'PY'
import json, statistics, sys
target = float(sys.argv[1])
results = {r["command"]: r for r in json.load(open(sys.argv[2]))["results"]}
bare, marked = results["no harness"], results["CLAUDECODE=1"]
median = lambda r: statistics.median(r["times"]) * 1000
ratio = median(marked) / median(bare)
print(f"no harness   median {median(bare):7.2f} ms, cpu {(bare['user'] + bare['system']) * 1000:.2f} ms")
print(f"CLAUDECODE=1 median {median(marked):7.2f} ms, cpu {(marked['user'] + marked['system']) * 1000:.2f} ms")
verdict = "within" if ratio <= target else "OVER"
print(f"ratio: {ratio:.2f}x ({len(marked['times'])} runs each); {verdict} the {target:.0f}x target")
PY
