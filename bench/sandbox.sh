# Sourced by the benchmarks.  `bench_sandbox NAME` makes a scratch folder `$work`,
# removed on exit together with the server `$server_pid` when one was started, and
# gives the run a HOME, git configuration and harness folders of its own: neither the
# user's dotfiles nor an agent session that runs the benchmark changes what is measured.
bench_sandbox() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/kolvex-$1.XXXXXX")
  server_pid=
  trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
  export HOME="$work/home" GIT_CONFIG_NOSYSTEM=1 CLAUDE_CONFIG_DIR="$work/claude" \
    CODEX_HOME="$work/codex" KOLVEX_SKIP_PLATFORM_SKILLS=1
  unset CLAUDECODE CLAUDE_CODE_SESSION_ID CODEX_THREAD_ID GEMINI_CLI CURSOR_AGENT \
    CURSOR_EXTENSION_HOST_ROLE KOLVEX_DEBUG KOLVEX_API_KEY KOLVEX_API_URL AGENT_SESSION_ID || true
  mkdir -p "$HOME" "$CLAUDE_CONFIG_DIR" "$CODEX_HOME"
}

# `bench_repo DIR`: a new git repository with an identity of its own and signing off,
# so that commits work whatever the machine's git configuration.
bench_repo() {
  git init -q -b main "$1"
  git -C "$1" config user.name "Bench Dev"
  git -C "$1" config user.email bench@example.com
  git -C "$1" config commit.gpgsign false
}

# `bench_kolvex_repo DIR`: such a repository with one commit and kolvex's local
# configuration (no agent harness), as setup would leave it.
bench_kolvex_repo() {
  bench_repo "$1"
  echo one >"$1/a.txt"
  git -C "$1" add a.txt
  git -C "$1" commit -q -m "feat: the commit being recorded"
  mkdir -p "$1/.kolvex/.platform/attestations"
  printf 'agents: []\n' >"$1/.kolvex/.platform/config.yaml"
}
