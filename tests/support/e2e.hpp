#pragma once

// The world of an end-to-end test: a scratch git repository, a scratch HOME (and XDG
// and harness directories under it) with no harness markers, no credentials and no
// system git configuration from the machine, PATH as the test asks, and, on demand, a
// real kolvex-devserver.  The built kolvex runs by argv (run_kolvex) and hands back
// its stdout, stderr and exit status.  Every change to the environment is undone
// when the test ends.
//
//   class WorktreeE2E : public kolvex::testing::E2E {
//   protected:
//     WorktreeE2E() : E2E({.hooks_path = false, .initial_commit = true,
//                          .setup = {"setup", "--no-user-hooks"}}) {}
//   };

#include "support/agent_env.hpp"
#include "support/devserver.hpp"
#include "support/records.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kolvex::testing {

// The system's own tools, without whatever the machine adds to PATH.
inline const std::string k_system_path = "/usr/local/bin:/usr/bin:/bin";

// The directory of the built kolvex, which hooks find on PATH.
std::string kolvex_dir();

struct E2EOptions {
  // PATH: the built kolvex's directory first (when `kolvex_on_path`), then `path`;
  // an empty `path` keeps the test process's PATH after it.  Neither leaves PATH as
  // it is.
  bool kolvex_on_path = true;
  std::string path = k_system_path;
  // Whether the repository keeps its hooks in .git/hooks through core.hooksPath, or
  // leaves git (and hook managers) their default.
  bool hooks_path = true;
  // A remote named origin with this URL, when not empty.
  std::string origin{};
  // A first commit ("README") before `setup`.
  bool initial_commit = false;
  // `kolvex <setup...>` in the repository, which must succeed, when not empty.
  std::vector<std::string> setup{};
  // No `npx` for the platform's skills.
  bool skip_platform_skills = false;
  // Further variables, set after the isolation.
  std::vector<std::pair<std::string, std::string>> env{};
};

class E2E : public ::testing::Test {
protected:
  explicit E2E(E2EOptions options = {});

  // The repository as the options describe it.
  void SetUp() override;

  // Writes the Claude Code transcript of session `id` (its `lines`) where the
  // adapter looks for it: the project directory of the repository under the
  // scratch CLAUDE_CONFIG_DIR.
  void write_claude_session(const std::string& id, const std::vector<std::string>& lines) const;

  // A session `id` of the repository with one prompt and one response of `model`
  // using `usage` tokens.
  void write_claude_response(const std::string& id,
                             const std::string& model,
                             const ClaudeUsage& usage) const;

  // A kolvex-devserver, started on the first call with `options` (later calls
  // return the same one).
  DevServer& devserver(DevServer::Options options = {});

  // Signs in to `server` through the environment, as CI would.
  void sign_in(const DevServer& server);

  // The log lines of the repository that name `sha`, parsed.
  [[nodiscard]] std::vector<core::Value> records_of(const std::string& sha) const
  {
    return kolvex::testing::records_of(repo, sha);
  }

  ScopedEnv env;
  TempDir home;

private:
  E2EOptions m_options;
  bool m_isolated;
  std::unique_ptr<DevServer> m_devserver;

protected:
  // Made after the isolation, so that even its `git init` sees the scratch HOME.
  TempRepo repo;
};

// A repository with an origin remote, set up with `kolvex setup --agent claude-code`
// and one commit recorded, the test process's PATH after the built kolvex (the
// post-commit hook runs it): the starting point of the sync and tool-server tests.
class SetUpRepoTest : public E2E {
protected:
  SetUpRepoTest();
  void SetUp() override;
};

// The same world for in-process tests of code that works on a repository: they run
// no kolvex, so PATH stays the test process's.
class ScratchRepoTest : public E2E {
protected:
  ScratchRepoTest() : E2E({.kolvex_on_path = false, .path = ""}) {}
};

} // namespace kolvex::testing
