#include "support/e2e.hpp"

#include "agents/claude_code.hpp"

#include <cstdlib>

namespace kolvex::testing {

namespace {

// Puts the environment of every end-to-end test in place; true, to initialise the
// member that orders this before the repository is made.
bool isolate(ScopedEnv& env, const TempDir& home, const E2EOptions& options)
{
  isolate_environment(env, home);
  // Nothing from the machine signs the test in, names a session or skips the
  // pre-commit check.
  for (const char* name :
       {"KOLVEX_API_KEY", "KOLVEX_API_URL", "AGENT_SESSION_ID", "KOLVEX_NO_VERIFY"}) {
    env.unset(name);
  }
  // Nor does anything land in the user's own caches.
  env.set("XDG_CACHE_HOME", (home.path() / ".cache").string());
  env.set("XDG_DATA_HOME", (home.path() / ".local" / "share").string());
  env.set("XDG_STATE_HOME", (home.path() / ".local" / "state").string());
  if (options.kolvex_on_path || !options.path.empty()) {
    const char* inherited = std::getenv("PATH");
    const std::string rest =
        options.path.empty() ? std::string(inherited != nullptr ? inherited : "") : options.path;
    // An empty entry would be the working directory: the repository's own programs.
    const std::string first = options.kolvex_on_path ? kolvex_dir() : "";
    env.set("PATH", first.empty() || rest.empty() ? first + rest : first + ":" + rest);
  }
  if (options.skip_platform_skills) {
    env.set("KOLVEX_SKIP_PLATFORM_SKILLS", "1");
  }
  for (const auto& [name, value] : options.env) {
    env.set(name, value);
  }
  return true;
}

} // namespace

std::string kolvex_dir()
{
  return stdfs::path(KOLVEX_BIN).parent_path().string();
}

E2E::E2E(E2EOptions options)
    : m_options(std::move(options)), m_isolated(isolate(env, home, m_options))
{
}

void E2E::SetUp()
{
  if (!m_options.hooks_path) {
    repo.git({"config", "--unset", "core.hooksPath"});
  }
  if (!m_options.origin.empty()) {
    repo.git({"remote", "add", "origin", m_options.origin});
  }
  if (m_options.initial_commit) {
    repo.commit_file("README", "readme\n", "initial");
  }
  if (!m_options.setup.empty()) {
    const auto setup = run_kolvex(m_options.setup, repo.path());
    ASSERT_EQ(setup.exit_code, 0) << setup.out << setup.err;
  }
}

void E2E::write_claude_session(const std::string& id, const std::vector<std::string>& lines) const
{
  home.write(stdfs::path("claude") / "projects" / agents::claude_project_key(repo.path().string()) /
                 (id + ".jsonl"),
             AgentEnv::join_lines(lines));
}

void E2E::write_claude_response(const std::string& id,
                                const std::string& model,
                                const ClaudeUsage& usage) const
{
  const auto root = repo.path().string();
  write_claude_session(id,
                       {claude_user(id, root, "u1", "2026-01-02T03:04:00Z", "commit the fix"),
                        claude_assistant(id,
                                         root,
                                         "a1",
                                         "2026-01-02T03:04:05Z",
                                         "m1",
                                         "r1",
                                         model,
                                         usage,
                                         {claude_bash("t1", "git commit -m fix")})});
}

DevServer& E2E::devserver(DevServer::Options options)
{
  if (!m_devserver) {
    m_devserver = std::make_unique<DevServer>(std::move(options));
  }
  return *m_devserver;
}

void E2E::sign_in(const DevServer& server)
{
  env.set("KOLVEX_API_KEY", server.api_key());
  env.set("KOLVEX_API_URL", server.url());
}

SetUpRepoTest::SetUpRepoTest()
    : E2E({.path = "",
           .origin = "git@example.com:acme/widgets.git",
           .setup = {"setup", "--agent", "claude-code"},
           .skip_platform_skills = true})
{
}

void SetUpRepoTest::SetUp()
{
  E2E::SetUp();
  if (!HasFatalFailure()) {
    repo.commit_file("a.txt", "one\n", "first");
  }
}

} // namespace kolvex::testing
