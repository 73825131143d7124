#pragma once

// The starting point of the sync and tool-server tests: a repository with an origin
// remote, set up with `kolvex setup --agent claude-code` and one commit recorded, a
// scratch HOME, no credentials from the environment, and the built kolvex first on
// PATH (the post-commit hook runs it).

#include "agents/claude_code.hpp"
#include "support/agent_env.hpp"
#include "support/devserver.hpp"
#include "support/records.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kolvex::testing {

class SetUpRepoTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    isolate_environment(env, home);
    env.unset("KOLVEX_API_KEY");
    env.unset("KOLVEX_API_URL");
    env.unset("AGENT_SESSION_ID");
    env.set("KOLVEX_SKIP_PLATFORM_SKILLS", "1"); // no npx from the tests
    const std::string bin = stdfs::path(KOLVEX_BIN).parent_path().string();
    env.set("PATH", bin + ":" + std::getenv("PATH"));
    repo.git({"remote", "add", "origin", "git@example.com:acme/widgets.git"});
    ASSERT_EQ(run_kolvex({"setup", "--agent", "claude-code"}, repo.path()).exit_code, 0);
    repo.commit_file("a.txt", "one\n", "first");
  }

  // Writes the Claude Code transcript of session `id` (its `lines`) where the
  // adapter looks for it: the project directory of the repository under the
  // scratch CLAUDE_CONFIG_DIR.
  void write_claude_session(const std::string& id, const std::vector<std::string>& lines) const
  {
    home.write(stdfs::path("claude") / "projects" /
                   agents::claude_project_key(repo.path().string()) / (id + ".jsonl"),
               AgentEnv::join_lines(lines));
  }

  // A session `id` of the repository with one prompt and one response of `model`
  // using `usage` tokens.
  void write_claude_response(const std::string& id,
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

  // Signs in to `server` through the environment, as CI would.
  void sign_in(const DevServer& server)
  {
    env.set("KOLVEX_API_KEY", server.api_key());
    env.set("KOLVEX_API_URL", server.url());
  }

  kolvex::testing::ScopedEnv env;
  TempDir home;
  TempRepo repo;
};

} // namespace kolvex::testing
