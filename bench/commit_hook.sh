#!/usr/bin/env bash
# What kolvex adds to a whole `git commit`: the same commit in a small repository
# with the post-commit hook `kolvex setup` writes, and in one without kolvex,
# interleaved run by run so both see the same machine.  CPU (user + system, the hook
# and its git processes included) and wall, medians.  With a baseline build a third
# repository runs its hook, in the same rounds.  Two more rows give the floor any
# hook pays here: a shell hook that does nothing, and one that runs a trivial
# dynamically linked C++ program (bench/trivial_main of either build, when built).
# Target: kolvex adds at most 5 ms CPU and at most 1.5x wall.
# Usage: bash bench/commit_hook.sh <build dir> [<baseline build dir>]
#        COMMIT_HOOK_RUNS=40
set -euo pipefail

after_build=${1:?usage: bash bench/commit_hook.sh <build dir> [<baseline build dir>]}
before_build=${2:-}
runs=${COMMIT_HOOK_RUNS:-40}
here=$(cd "$(dirname "$0")" && pwd)
after="$(cd "$after_build" && pwd)/src"
before=
[ -n "$before_build" ] && before="$(cd "$before_build" && pwd)/src"
for dir in "$after" ${before:+"$before"}; do
  [ -x "$dir/kolvex" ] || { echo "commit_hook: $dir/kolvex is missing; build first" >&2; exit 2; }
done

. "$here/sandbox.sh"
bench_sandbox commit

# `new_repo <dir> <kolvex dir or empty>`: a small repository with a few commits; with
# a kolvex, set up by it.
new_repo() {
  bench_repo "$1"
  for i in 1 2 3; do
    echo "$i" >"$1/file$i.txt"
    git -C "$1" add "file$i.txt"
    git -C "$1" commit -q -m "change $i"
  done
  if [ -n "$2" ]; then
    (cd "$1" && "$2/kolvex" setup --no-user-hooks >/dev/null)
  fi
}

# `floor_repo <dir> <hook body>`: a small repository whose post-commit hook is a shell
# script with that body.
floor_repo() {
  new_repo "$1" ""
  printf '#!/bin/sh\n%s\n' "$2" >"$1/.git/hooks/post-commit"
  chmod +x "$1/.git/hooks/post-commit"
}

names=(none)
new_repo "$work/none" ""
trivial=
for dir in "$after" ${before:+"$before"}; do
  [ -z "$trivial" ] && [ -x "$(dirname "$dir")/bench/trivial_main" ] && trivial="$(dirname "$dir")/bench/trivial_main"
done
if [ -n "$trivial" ]; then
  names+=(shell trivial)
  floor_repo "$work/shell" "exit 0"
  floor_repo "$work/trivial" "'$trivial' >/dev/null"
fi
if [ -n "$before" ]; then
  names+=(before)
  new_repo "$work/before" "$before"
fi
names+=(after)
new_repo "$work/after" "$after"

for run in $(seq 1 "$runs"); do
  # Each round in a different order, so that no repository always runs first.
  order=("${names[@]}")
  if [ $((run % 2)) = 0 ]; then order=($(printf '%s\n' "${names[@]}" | tac)); fi
  for name in "${order[@]}"; do
    repo="$work/$name"
    echo "$run" >"$repo/change.txt"
    git -C "$repo" add change.txt
    # The hook finds the measured kolvex first on PATH, not one the machine has
    # installed; the repositories without kolvex get the same PATH.
    dir=$after
    [ "$name" = before ] && dir=$before
    PATH="$dir:$PATH" python3 "$here/measure_process.py" "$work/$name-$run.json" "$repo" \
      git commit -q -m "feat: change number $run"
  done
done
[ "$(wc -l <"$work/after/.kolvex/.platform/log.jsonl")" -eq "$runs" ] \
  || { echo "commit_hook: FAIL: the hook did not record every commit" >&2; exit 1; }

# The git processes the hook's kolvex starts for one more commit, outside the timed
# runs: the commit is made without hooks, then its kolvex records it with a git
# first on PATH that writes down each argv and runs the real one.  (Inside a hook
# git puts its own exec path first, where no such wrapper can go.)
wrapper="$work/counting-git"
mkdir -p "$wrapper"
printf '#!/bin/sh\necho "$*" >>"%s/calls"\nexec %s "$@"\n' "$wrapper" "$(command -v git)" \
  >"$wrapper/git"
chmod +x "$wrapper/git"
counts=()
for name in ${before:+before} after; do
  repo="$work/$name"
  dir=$after
  [ "$name" = before ] && dir=$before
  : >"$wrapper/calls"
  echo counted >"$repo/change.txt"
  git -C "$repo" add change.txt
  git -C "$repo" -c core.hooksPath=/dev/null commit -q -m "feat: counted"
  (cd "$repo" && PATH="$wrapper:$PATH" "$dir/kolvex" sync --record-commit)
  counts+=("$name $(wc -l <"$wrapper/calls")")
done

python3 - "$work" "$runs" "${counts[*]}" "${names[@]}" <<'PY'
import json, statistics, sys
work, runs, counted, names = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
words = counted.split()
processes = {words[i]: words[i + 1] for i in range(0, len(words) - 1, 2)}
median = {}
for name in names:
    runs_of = [json.load(open(f"{work}/{name}-{i}.json")) for i in range(1, runs + 1)]
    median[name] = (statistics.median(r["cpu"] for r in runs_of) * 1000,
                    statistics.median(r["wall"] for r in runs_of) * 1000)
cpu0, wall0 = median["none"]
print(f"git commit without kolvex: cpu {cpu0:.2f} ms, wall {wall0:.2f} ms ({runs} runs)")
floors = {"shell": "a shell hook that does nothing", "trivial": "a hook running a trivial C++ program"}
for name in names[1:]:
    cpu, wall = median[name]
    added, ratio = cpu - cpu0, wall / wall0
    if name in floors:
        print(f"floor, {floors[name]}: cpu {cpu:.2f} ms (+{added:.2f} ms), "
              f"wall {wall:.2f} ms ({ratio:.2f}x)")
        continue
    verdict = "within" if added <= 5 and ratio <= 1.5 else "OVER"
    print(f"git commit with the hook ({name}): cpu {cpu:.2f} ms (+{added:.2f} ms), "
          f"wall {wall:.2f} ms ({ratio:.2f}x); {verdict} the +5 ms cpu, 1.5x wall target; "
          f"{processes.get(name, '?')} git processes per commit")
PY
