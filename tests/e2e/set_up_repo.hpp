#pragma once

// The starting point of the sync and tool-server tests: a repository with an origin
// remote, set up with `kolvex setup --agent claude-code` and one commit recorded, a
// scratch HOME, no credentials from the environment, and the built kolvex first on
// PATH (the post-commit hook runs it).

#include "services/relaycore/capture/capture_support.hpp"
#include "support/devserver.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kolvex::testing {

class SetUpRepoTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    isolate_environment(home);
    ::unsetenv("KOLVEX_API_KEY");
    ::unsetenv("KOLVEX_API_URL");
    ::unsetenv("AGENT_SESSION_ID");
    const std::string bin = stdfs::path(KOLVEX_BIN).parent_path().string();
    ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
    repo.git({"remote", "add", "origin", "git@example.com:acme/widgets.git"});
    ASSERT_EQ(run_kolvex({"setup", "--agent", "claude-code"}, repo.path()).exit_code, 0);
    repo.commit_file("a.txt", "one\n", "first");
  }

  // Signs in to `server` through the environment, as CI would.
  static void sign_in(const DevServer& server)
  {
    ::setenv("KOLVEX_API_KEY", server.api_key().c_str(), 1);
    ::setenv("KOLVEX_API_URL", server.url().c_str(), 1);
  }

  TempDir home;
  TempRepo repo;
};

} // namespace kolvex::testing
