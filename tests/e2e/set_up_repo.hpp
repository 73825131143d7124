#pragma once

// The starting point of the sync and tool-server tests: a repository with an origin
// remote, set up with `kolvex setup --agent claude-code` and one commit recorded, a
// scratch HOME, no credentials from the environment, and the built kolvex first on
// PATH (the post-commit hook runs it).

#include "services/relaycore/capture/capture_support.hpp"
#include "support/devserver.hpp"
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
