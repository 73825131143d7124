// The post-tool row in-process: which payloads it acts on, how it finds the
// repository and judges HEAD, and the one line it hands the harness.
#include "commands/attest/hook_row.hpp"

#include "core/clock.hpp"
#include "core/json.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <re2/re2.h>

#include <string>

namespace {

namespace attest = kolvex::commands::attest;
namespace stdfs = std::filesystem;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;

Value parse(const std::string& json)
{
  return kolvex::core::json::parse(json);
}

TEST(HookRowPayload, ToolFailedReadsOnlyTheBooleanAndIntegerSignals)
{
  const auto failed = [](const std::string& response) {
    return attest::_tool_failed(parse(R"({"tool_response": )" + response + "}"));
  };
  EXPECT_TRUE(failed(R"({"interrupted": true})"));
  EXPECT_TRUE(failed(R"({"exit_code": 1})"));
  EXPECT_TRUE(failed(R"({"exitCode": 128})"));
  EXPECT_TRUE(failed(R"({"exit_code": 0, "exitCode": -1})"));
  EXPECT_FALSE(failed(R"({"exit_code": 0})"));
  EXPECT_FALSE(failed(R"({"exit_code": "1"})"));
  EXPECT_FALSE(failed(R"({"exit_code": true})"));
  EXPECT_FALSE(failed(R"({"exit_code": 1.0})"));
  EXPECT_FALSE(failed(R"({"interrupted": 1})"));
  EXPECT_FALSE(failed(R"({"interrupted": false, "stdout": "x"})"));
  EXPECT_FALSE(failed(R"("exit_code 1")"));
  EXPECT_FALSE(failed("[1]"));
  EXPECT_FALSE(attest::_tool_failed(parse("{}")));
  EXPECT_FALSE(attest::_tool_failed(parse("[]")));
}

TEST(HookRowPayload, TheCommitPatternIsASearchAnywhereInTheCommand)
{
  const RE2 re{std::string(attest::GIT_COMMIT_RE)};
  for (const char* yes : {"git commit -m x",
                          "git add . && git commit -m x",
                          "git -C sub commit",
                          "git status && echo commit",
                          "cd repo; git commit --amend --no-edit"}) {
    EXPECT_TRUE(RE2::PartialMatch(yes, re)) << yes;
  }
  for (const char* no : {"git status",
                         "gitx commit",
                         "git commits",
                         "legit commit",
                         "commit git",
                         "git log\ncommit"}) {
    EXPECT_FALSE(RE2::PartialMatch(no, re)) << no;
  }
}

TEST(HookRowPayload, OnlyPayloadsThatCannotNameACommitAreRuledOutUnparsed)
{
  // Spelled with a \u escape, "commit" is still there once decoded.
  const std::string escaped =
      R"({"tool_name": "Bash", "tool_input": {"command": "git \u0063ommit -m x"}})";
  EXPECT_TRUE(attest::_may_name_commit(escaped));
  EXPECT_TRUE(attest::_is_commit_call(parse(escaped)));
  EXPECT_TRUE(attest::_may_name_commit(R"({"tool_input": {"command": "git commit"}})"));
  EXPECT_TRUE(attest::_may_name_commit("commit"));
  EXPECT_FALSE(attest::_may_name_commit(
      R"({"tool_name": "Bash", "tool_input": {"command": "git status"}, "x": "\n\t"})"));
  EXPECT_FALSE(attest::_may_name_commit(""));
  EXPECT_FALSE(attest::_is_commit_call(
      parse(R"({"tool_name": "Bash", "tool_input": {"command": "git status"}})")));
  EXPECT_FALSE(attest::_is_commit_call(parse(
      R"({"tool_name": "Bash", "tool_input": {"command": "git commit"}, "tool_response": {"exit_code": 2}})")));
}

TEST(HookRowRepository, FoundFromSubdirectoriesAndThroughAWorktreesGitFile)
{
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "first");
  const auto sub = repo.path() / "deep" / "er";
  stdfs::create_directories(sub);
  EXPECT_EQ(attest::_repo_root_for(sub), repo.path());
  EXPECT_EQ(attest::_repo_root_for(repo.path()), repo.path());

  TempDir elsewhere;
  const auto linked = elsewhere.path() / "linked";
  repo.git({"worktree", "add", "-q", linked.string()});
  ASSERT_TRUE(stdfs::is_regular_file(linked / ".git"));
  EXPECT_EQ(attest::_repo_root_for(linked), linked);
  EXPECT_EQ(attest::_repo_root_for(elsewhere.path()), std::nullopt);
  EXPECT_EQ(attest::_repo_root_for(elsewhere.path() / "missing" / "dir"), std::nullopt);
}

TEST(HookRowFreshness, UpToHalfAnHourOldAndNeverFromTheFuture)
{
  EXPECT_TRUE(attest::_is_fresh(1000, 1000));
  EXPECT_TRUE(attest::_is_fresh(1000, 1000 + 1800));
  EXPECT_FALSE(attest::_is_fresh(1000, 1000 + 1800.5));
  EXPECT_FALSE(attest::_is_fresh(1000, 999.5));

  TempRepo repo;
  EXPECT_FALSE(attest::_head_is_fresh(repo.path())); // no commits yet
  const auto now = static_cast<long long>(kolvex::core::clock::now_seconds());
  repo.commit_file_at("a.txt", "a\n", "old", "@" + std::to_string(now - 3600) + " +0000");
  EXPECT_FALSE(attest::_head_is_fresh(repo.path()));
  repo.commit_file_at("b.txt", "b\n", "recent", "@" + std::to_string(now - 600) + " +0000");
  EXPECT_TRUE(attest::_head_is_fresh(repo.path()));
  repo.commit_file_at("c.txt", "c\n", "ahead", "@" + std::to_string(now + 3600) + " +0000");
  EXPECT_FALSE(attest::_head_is_fresh(repo.path()));
}

TEST(HookRowNudge, NamesTheShortShaTwiceInClaudeCodesShape)
{
  const std::string sha = "a81f2c0d9e8b7a6f5e4d3c2b1a0f9e8d7c6b5a49";
  EXPECT_EQ(attest::_nudge_text(sha),
            "kolvex recorded commit a81f2c0 without an attestation. Write "
            ".kolvex/.commit-attestation.yaml for it (format: `kolvex attest --example`), then "
            "run `kolvex attest add --commit a81f2c0` to attach it. Skip if this commit was "
            "intentionally unattested.");
  const auto line = attest::_nudge(sha);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->find('\n'), std::string::npos);
  const Value output = parse(*line);
  const Value* specific = output.get("hookSpecificOutput");
  ASSERT_NE(specific, nullptr);
  EXPECT_EQ(*specific->get_string("hookEventName"), "PostToolUse");
  EXPECT_EQ(*specific->get_string("additionalContext"), attest::_nudge_text(sha));
}

// The row against a real repository, with no harness around and no credentials.
class HookRowCapture : public kolvex::testing::ScratchRepoTest {
protected:
  void set_up_repo() const { repo.write(".kolvex/.platform/config.yaml", "project_id: 7\n"); }

  [[nodiscard]] Value payload(const std::string& command, const std::string& extra = "") const
  {
    return parse(R"({"session_id": "s-1", "tool_name": "Bash", "cwd": ")" + repo.path().string() +
                 R"(", "tool_input": {"command": )" + kolvex::core::json::dump(Value(command)) +
                 "}" + extra + "}");
  }

  [[nodiscard]] std::vector<std::string> log() const
  {
    if (!stdfs::exists(kolvex::paths::log_jsonl(repo.path()))) {
      return {};
    }
    return kolvex::testing::log_lines(repo);
  }
};

TEST_F(HookRowCapture, AnUnattestedCommitIsRecordedOnceAndNudgedOnce)
{
  set_up_repo();
  const auto sha = repo.commit_file("a.txt", "a\n", "first");
  const auto line = attest::_hook_row(payload("git commit -m first"), "claude-code");
  ASSERT_TRUE(line.has_value());
  EXPECT_THAT(*line, HasSubstr("commit " + sha.substr(0, 7) + " without"));
  ASSERT_EQ(log().size(), 1U);
  const Map record = kolvex::testing::parsed_line(log()[0]);
  EXPECT_EQ(*record.find("commit"), Value(sha));
  EXPECT_EQ(*record.find("agent"), Value("claude-code"));
  EXPECT_EQ(*record.find("agent_session_id"), Value("s-1"));

  // The harness fires again for the same commit (or for `git status && echo commit`).
  EXPECT_EQ(attest::_hook_row(payload("git commit -m first"), "claude-code"), std::nullopt);
  EXPECT_EQ(attest::_hook_row(payload("git status && echo commit"), "claude-code"), std::nullopt);
  EXPECT_EQ(log().size(), 1U);
}

TEST_F(HookRowCapture, AnAttestedCommitIsFiledFromThePendingFileWithoutAWord)
{
  set_up_repo();
  repo.commit_file("a.txt", "a\n", "first");
  const auto sha = kolvex::testing::attested_commit(repo, "b.txt", "b\n", "add b");
  EXPECT_EQ(attest::_hook_row(payload("git add b.txt && git commit -m b"), "claude-code"),
            std::nullopt);
  ASSERT_EQ(log().size(), 1U);
  EXPECT_TRUE(kolvex::testing::archive_exists(repo, sha));
  EXPECT_FALSE(stdfs::exists(kolvex::paths::commit_attestation(repo.path())));
  EXPECT_THAT(kolvex::testing::archive_of(repo, sha), HasSubstr("summary: add b"));
}

TEST_F(HookRowCapture, PayloadsThatAreNotACleanFreshCommitLeaveEverythingAlone)
{
  set_up_repo();
  repo.commit_file("a.txt", "a\n", "first");
  const std::vector<Value> ignored{
      parse("null"),
      parse("[1, 2]"),
      parse(R"({"tool_name": "Edit", "tool_input": {"command": "git commit"}})"),
      parse(R"({"tool_name": "bash", "tool_input": {"command": "git commit"}})"),
      parse(R"({"tool_name": "Bash", "tool_input": "git commit"})"),
      parse(R"({"tool_name": "Bash", "tool_input": {"command": ["git", "commit"]}})"),
      payload("git status"),
      payload("git commit -m x", R"(, "tool_response": {"exit_code": 1})"),
      payload("git commit -m x", R"(, "tool_response": {"interrupted": true})"),
  };
  for (const Value& each : ignored) {
    EXPECT_EQ(attest::_hook_row(each, "claude-code"), std::nullopt)
        << kolvex::core::json::dump(each);
  }
  EXPECT_TRUE(log().empty());
}

TEST_F(HookRowCapture, AStaleHeadOrARepositoryNeverSetUpIsNotTouched)
{
  repo.commit_file("a.txt", "a\n", "first");
  EXPECT_EQ(attest::_hook_row(payload("git commit -m first"), "claude-code"), std::nullopt);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));

  set_up_repo();
  const auto old = static_cast<long long>(kolvex::core::clock::now_seconds()) - 7200;
  repo.commit_file_at("b.txt", "b\n", "old", "@" + std::to_string(old) + " +0000");
  EXPECT_EQ(attest::_hook_row(payload("git commit -m old"), "claude-code"), std::nullopt);
  EXPECT_TRUE(log().empty());

  TempDir outside;
  EXPECT_EQ(attest::_hook_row(parse(R"({"tool_name": "Bash", "cwd": ")" + outside.path().string() +
                                    R"(", "tool_input": {"command": "git commit"}})"),
                              std::nullopt),
            std::nullopt);
  EXPECT_TRUE(stdfs::is_empty(outside.path()));
}

} // namespace
