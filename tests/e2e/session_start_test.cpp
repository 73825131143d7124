// `kolvex session-start` end to end: the built binary as a harness's hook runs it.
#include "core/json.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using kolvex::testing::run_kolvex;
using kolvex::testing::TempDir;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

const std::string k_em = "\u2014";

class SessionStartE2E : public kolvex::testing::E2E {
protected:
  SessionStartE2E() : E2E({.kolvex_on_path = false, .path = ""}) {}

  void configure(const std::string& config = "project_id: 42\n") const
  {
    repo.write(".kolvex/.platform/config.yaml", config);
  }

  [[nodiscard]] bool archived(const std::string& sha) const
  {
    return stdfs::exists(repo.path() / ".kolvex/.platform/attestations" / (sha + ".yaml"));
  }
};

TEST_F(SessionStartE2E, OutsideAnyRepositoryNothingHappens)
{
  TempDir plain;
  const auto result = run_kolvex({"session-start", "--agent", "claude-code"}, plain.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(stdfs::is_empty(plain.path()));
}

TEST_F(SessionStartE2E, RepositoryNeverSetUpGainsNothing)
{
  const auto sha = repo.commit_file("a.txt", "a\n", "first");
  const auto result = run_kolvex({"session-start", "--agent", "claude-code"},
                                 repo.path(),
                                 R"({"session_id": "s1", "cwd": ")" + repo.path().string() +
                                     R"(", "hook_event_name": "SessionStart"})");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));
  EXPECT_EQ(repo.git({"status", "--porcelain"}), "");
  (void)sha;
}

TEST_F(SessionStartE2E, RecordsTheBacklogAndHandsClaudeTheSummary)
{
  configure();
  const auto first = repo.commit_file("a.txt", "a\n", "first");
  const auto second = repo.commit_file("b.txt", "b\n", "second");

  const auto result = run_kolvex({"session-start", "--agent", "claude-code"}, repo.path());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(archived(first));
  EXPECT_TRUE(archived(second));

  // One line of JSON carrying the summary as the hook's additional context.
  ASSERT_FALSE(result.out.empty());
  EXPECT_EQ(result.out.find('\n'), result.out.size() - 1);
  const auto output = kolvex::core::json::parse(result.out);
  const auto* specific = output.get("hookSpecificOutput");
  ASSERT_NE(specific, nullptr);
  EXPECT_EQ(*specific->get_string("hookEventName"), "SessionStart");
  EXPECT_EQ(*specific->get_string("additionalContext"),
            "kolvex session context loaded\n"
            "  project: 42\n"
            "  agent: claude-code\n"
            "  elements: 0\n"
            "  rules: not cached " +
                k_em +
                " run 'kolvex sync'\n"
                "  specs: 0\n"
                "  cache: empty " +
                k_em +
                " run 'kolvex sync' to populate\n"
                "  2 attestation(s) pending upload " +
                k_em + " run 'kolvex sync'");

  // The next session start finds nothing new and says the same.
  const auto again = run_kolvex({"session-start", "--agent", "claude-code"}, repo.path());
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, result.out);
}

TEST_F(SessionStartE2E, PlainTextForOtherCallersAndThePayloadsDirectory)
{
  configure("{}\n");
  repo.commit_file("a.txt", "a\n", "first");
  TempDir elsewhere;
  // The harness may start the hook anywhere; the payload's cwd names the project.
  const auto result =
      run_kolvex({"session-start"},
                 elsewhere.path(),
                 R"({"session_id": "s1", "cwd": ")" + repo.path().string() + R"("})");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "kolvex session context loaded\n"
            "  elements: 0\n"
            "  rules: not cached " +
                k_em +
                " run 'kolvex sync'\n"
                "  specs: 0\n"
                "  cache: empty " +
                k_em +
                " run 'kolvex sync' to populate\n"
                "  1 attestation(s) recorded locally, waiting for a project\n");
  EXPECT_TRUE(stdfs::is_empty(elsewhere.path()));
}

TEST_F(SessionStartE2E, DetectedHarnessIsNamedButNotCredited)
{
  configure();
  const auto sha = repo.commit_file("a.txt", "a\n", "first");
  env.set("CODEX_THREAD_ID", "thread-1");
  const auto result = run_kolvex({"session-start"}, repo.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out, HasSubstr("\n  agent: codex\n"));
  const auto record = repo.read(".kolvex/.platform/attestations/" + sha + ".yaml");
  EXPECT_THAT(record, HasSubstr("agent: unknown"));
}

TEST_F(SessionStartE2E, BrokenConfigurationStillExitsZero)
{
  configure("project_id: [unclosed\n");
  repo.commit_file("a.txt", "a\n", "first");
  const auto result =
      run_kolvex({"session-start", "--agent", "claude", "--future-flag"}, repo.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  const auto output = kolvex::core::json::parse(result.out);
  const auto context = *output.get("hookSpecificOutput")->get_string("additionalContext");
  EXPECT_THAT(context, HasSubstr("  agent: claude-code\n"));
  EXPECT_EQ(context.find("project:"), std::string::npos);
}

} // namespace
