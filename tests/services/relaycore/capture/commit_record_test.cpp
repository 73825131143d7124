#include "services/relaycore/capture/commit_record.hpp"

#include "support/e2e.hpp"

#include <gtest/gtest.h>

using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::services::relaycore::capture::_write_commit_record;
using kolvex::services::relaycore::capture::CommitRecordOptions;
using kolvex::services::relaycore::capture::infer_task_type;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;

namespace {

std::vector<std::string> keys_of(const Map& map)
{
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) {
    keys.push_back(key);
  }
  return keys;
}

class CommitRecord : public kolvex::testing::ScratchRepoTest {
protected:
  // Writes the record of `sha` with `options` and returns the archived map.
  Map write(const std::string& sha, CommitRecordOptions options)
  {
    last = _write_commit_record(repo.handle(), sha, std::move(options));
    return kolvex::core::yaml::load(kolvex::testing::archive_of(repo, sha)).as_map();
  }

  kolvex::services::relaycore::capture::BackfillResult last;
};

} // namespace

TEST(InferTaskType, SubjectPrefixWinsThenBranchPrefix)
{
  EXPECT_EQ(infer_task_type("feat(auth): add login"), "feature");
  EXPECT_EQ(infer_task_type("Fix!: crash"), "bug-fix");
  EXPECT_EQ(infer_task_type("  Docs: z"), "docs");
  EXPECT_EQ(infer_task_type("\u00a0\u3000perf: faster"), "chore"); // Unicode blanks too
  EXPECT_EQ(infer_task_type("refactor(a\nb)!: x"), "refactor");
  EXPECT_EQ(infer_task_type("update readme", "docs/readme"), "docs");
  EXPECT_EQ(infer_task_type("wip: x", "main"), std::nullopt);
  EXPECT_EQ(infer_task_type("wip: x", "hotfix/login"), "bug-fix");
  EXPECT_EQ(infer_task_type("test: x", "docs/readme"), "test");
  EXPECT_EQ(infer_task_type("x", "Feature/x"), "feature");
}

TEST(InferTaskType, NearMissesDeclareNothing)
{
  for (const char* subject : {"feat x", "feat-x: y", "3fix: z", "fix(: z", "", "feat(a)(b): x"}) {
    EXPECT_EQ(infer_task_type(subject), std::nullopt) << subject;
  }
  for (const char* branch : {"fix-login", "v2/fix", "team/fix/x", "/fix", ""}) {
    EXPECT_EQ(infer_task_type("", branch), std::nullopt) << branch;
  }
}

TEST_F(CommitRecord, InferredTaskTypesFromSubjectAndBranch)
{
  const std::string feat = repo.commit_file("a", "a\n", "feat(auth): add login");
  Map record = write(feat, {.source = "harness", .agent_name = "unknown"});
  EXPECT_EQ(*record.find("task_type"), Value("feature"));
  EXPECT_EQ(*record.find("task_type_source"), Value("inferred"));

  const std::string fix = repo.commit_file("b", "b\n", "Fix!: crash");
  EXPECT_EQ(*write(fix, {.source = "harness", .agent_name = "unknown"}).find("task_type"),
            Value("bug-fix"));

  const std::string docs = repo.commit_file("c", "c\n", "update readme");
  EXPECT_EQ(*write(docs, {.source = "harness", .agent_name = "unknown", .branch = "docs/readme"})
                 .find("task_type"),
            Value("docs"));

  const std::string wip = repo.commit_file("d", "d\n", "wip: x");
  record = write(wip, {.source = "harness", .agent_name = "unknown", .branch = "main"});
  EXPECT_FALSE(record.contains("task_type"));
  EXPECT_FALSE(record.contains("task_type_source"));
  EXPECT_EQ(keys_of(record), (std::vector<std::string>{"source", "timestamp", "agent", "summary"}));
  EXPECT_EQ(*record.find("summary"), Value("wip: x"));
}

TEST_F(CommitRecord, DeclaredTaskTypeWinsAndBackfillCarriesProvenance)
{
  const std::string sha = repo.commit_file("a", "a\n", "feat: new thing");
  const Map record = write(sha,
                           {.source = "backfill",
                            .agent_name = "codex",
                            .task_type = "refactor",
                            .archive_ledger = false});
  EXPECT_EQ(*record.find("task_type"), Value("refactor"));
  EXPECT_EQ(*record.find("task_type_source"), Value("declared"));
  EXPECT_EQ(*record.find("provenance"), Value(Map{{"type", "ad-hoc"}, {"ref", "backfill"}}));
  EXPECT_EQ(keys_of(record),
            (std::vector<std::string>{"source",
                                      "timestamp",
                                      "agent",
                                      "provenance",
                                      "task_type",
                                      "task_type_source",
                                      "summary"}));

  for (const char* source : {"harness", "post_commit", "catch_up"}) {
    const std::string other = repo.commit_file(source, "x\n", "chore: x");
    EXPECT_FALSE(write(other, {.source = source, .agent_name = "unknown"}).contains("provenance"));
  }
}

TEST_F(CommitRecord, TelemetryModelTokensAndSessionId)
{
  const std::string with = repo.commit_file("a", "a\n", "x");
  Map record = write(with,
                     {.source = "harness",
                      .agent_name = "claude-code",
                      .session_id = "sess-1",
                      .telemetry = Map{{"model", "m-1"}, {"tokens", Map{{"total", 5}}}}});
  EXPECT_TRUE(last.tokens);
  EXPECT_EQ(*record.find("agent_model"), Value("m-1"));
  EXPECT_EQ(*record.find("agent_session_id"), Value("sess-1"));
  EXPECT_EQ(record.find("telemetry")->as_map(),
            (Map{{"model", "m-1"}, {"tokens", Map{{"total", 5}}}, {"session_id", "sess-1"}}));

  // No model, tokens 0, and a session id of its own, which it keeps.
  const std::string without = repo.commit_file("b", "b\n", "x");
  record = write(without,
                 {.source = "harness",
                  .agent_name = "claude-code",
                  .session_id = "sess-2",
                  .telemetry = Map{{"tokens", 0}, {"session_id", "own"}}});
  EXPECT_FALSE(last.tokens);
  EXPECT_FALSE(record.contains("agent_model"));
  EXPECT_EQ(*record.find("agent_session_id"), Value("sess-2"));
  EXPECT_EQ(*record.find("telemetry")->get("session_id"), Value("own"));

  const std::string none = repo.commit_file("c", "c\n", "x");
  record = write(none, {.source = "harness", .agent_name = "unknown", .telemetry = Map{}});
  EXPECT_FALSE(last.tokens);
  EXPECT_FALSE(record.contains("telemetry"));
}

TEST_F(CommitRecord, DeveloperFromTheCommitsAuthor)
{
  const Map given{{"git_author_name", "Configured Here"}};
  const std::string sha = repo.commit_file("a", "a\n", "x");
  Map record = write(sha, {.source = "catch_up", .agent_name = "unknown", .developer = given});
  EXPECT_EQ(record.find("developer")->as_map(), given);

  record = write(sha,
                 {.source = "catch_up",
                  .agent_name = "unknown",
                  .developer = given,
                  .developer_from_commit = true});
  EXPECT_EQ(record.find("developer")->as_map(),
            (Map{{"git_author_name", "Test Dev"}, {"git_author_email", "dev@example.com"}}));

  // git will not make a commit without an author name; write one by hand.
  const std::string tree = repo.git({"rev-parse", "HEAD^{tree}"});
  const auto made = kolvex::testing::run(
      {"git", "hash-object", "-t", "commit", "-w", "--literally", "--stdin"},
      repo.path(),
      "tree " + tree + "\nauthor <> 1700000000 +0000\ncommitter <> 1700000000 +0000\n\nanon\n");
  ASSERT_EQ(made.exit_code, 0) << made.err;
  const std::string anonymous = made.out.substr(0, 40);
  record = write(anonymous,
                 {.source = "catch_up",
                  .agent_name = "unknown",
                  .developer = given,
                  .developer_from_commit = true});
  EXPECT_FALSE(record.contains("developer"));
  EXPECT_EQ(*record.find("summary"), Value("anon"));
}

TEST_F(CommitRecord, UnknownCommitIsStillWrittenWithEmptyGitFields)
{
  repo.commit_file("a", "a\n", "x");
  const std::string ghost(40, 'e');
  const Map record =
      write(ghost, {.source = "harness", .agent_name = "unknown", .event = "attestation_skipped"});
  EXPECT_TRUE(last.written);
  EXPECT_EQ(*record.find("timestamp"), Value(""));
  EXPECT_EQ(*record.find("summary"), Value(""));
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(*parsed_line(lines[0]).find("event"), Value("attestation_skipped"));
}
