#!/usr/bin/env bash
# What starting kolvex costs a hook: `kolvex sync --record-commit` on a commit the log
# already holds, which reads a few files and exits, so that nearly all of its CPU is
# the process start: the exec, mapping the shared libraries and the dynamic loader's
# symbol bindings.  The figure that link options (-Bsymbolic-functions, the static
# archives folded into librelaycore, --as-needed) move.  CPU (user + system) of each
# process from wait4, medians; with a baseline build, both run interleaved, and with
# the same layout (bin or src beside lib/kolvex) a copy of an old build serves.
# Usage: bash bench/hook_start.sh <build dir> [<baseline build dir>]
#        HOOK_START_RUNS=300
set -euo pipefail

after_build=${1:?usage: bash bench/hook_start.sh <build dir> [<baseline build dir>]}
before_build=${2:-}
runs=${HOOK_START_RUNS:-300}
here=$(cd "$(dirname "$0")" && pwd)
programs=("after=$(cd "$after_build" && pwd)/src/kolvex")
[ -n "$before_build" ] && programs=("before=$(cd "$before_build" && pwd)/src/kolvex" "${programs[@]}")
for entry in "${programs[@]}"; do
  [ -x "${entry#*=}" ] || { echo "hook_start: ${entry#*=} is missing; build first" >&2; exit 2; }
done

. "$here/sandbox.sh"
bench_sandbox hook-start
repo="$work/repo"
bench_kolvex_repo "$repo"
for entry in "${programs[@]}"; do
  (cd "$repo" && "${entry#*=}" sync --record-commit)
done
[ "$(wc -l <"$repo/.kolvex/.platform/log.jsonl")" -eq 1 ] ||
  { echo "hook_start: FAIL: HEAD was not recorded exactly once" >&2; exit 1; }

python3 - "$repo" "$runs" "${programs[@]}" <<'PY'
import os, statistics, subprocess, sys
repo, runs, entries = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
programs = [entry.split("=", 1) for entry in entries]

def loader(path, what):
    """Lines of the loader's LD_DEBUG report: objects loaded, symbols bound."""
    env = dict(os.environ, LD_DEBUG=what)
    err = subprocess.run([path, "sync", "--record-commit"], cwd=repo, env=env,
                         capture_output=True, text=True, check=True).stderr
    needle = "calling init:" if what == "libs" else "binding file"
    return sum(needle in line for line in err.splitlines())

cpu = {name: [] for name, _ in programs}
for run in range(runs):
    # Each round in the other order, so that neither always runs first.
    for name, path in programs if run % 2 == 0 else reversed(programs):
        child = subprocess.Popen([path, "sync", "--record-commit"], cwd=repo,
                                 stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"hook_start: FAIL: {name} exited {os.waitstatus_to_exitcode(status)}")
        cpu[name].append((usage.ru_utime + usage.ru_stime) * 1000)
for name, path in programs:
    print(f"{name}: cpu median {statistics.median(cpu[name]):.3f} ms ({runs} runs), "
          f"{loader(path, 'libs')} objects initialised, "
          f"{loader(path, 'bindings')} symbol bindings")
if len(programs) == 2:
    difference = statistics.median(cpu["after"]) - statistics.median(cpu["before"])
    print(f"difference: {difference:+.3f} ms cpu")
PY
