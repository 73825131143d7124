// `kolvex log` end to end: the built binary listing real repositories' commits with
// the state of their records.
#include "core/json.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string k_log = ".kolvex/.platform/log.jsonl";

class LogE2E : public kolvex::testing::E2E {};

std::string line_for(const std::string& sha, const std::string& rest)
{
  return R"({"commit": ")" + sha + R"(", "branch": "main", )" + rest + "}\n";
}

// Three commits: one attested (its model in the archive), one recorded without an
// attestation, one not recorded.
struct ThreeCommits {
  TempRepo repo;
  std::string base, attested, recorded, missing;
  ThreeCommits()
  {
    base = repo.commit_file("a.txt", "a\n", "base");
    attested = repo.commit_file("b.txt", "b\n", "feat: rate limiting");
    recorded = repo.commit_file("c.txt", "c\n", "fix: typo");
    missing = repo.commit_file("d.txt", "d\n", "manual change");
    repo.write(".kolvex/.platform/attestations/" + attested + ".yaml",
               "agent: claude-code\nagent_model: claude-opus-4-6\nsummary: Added rate limiting\n");
    // An unrelated corrupt line, a line naming its commit through an escape, and a
    // last line still being appended must not confuse the one-pass read.
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(recorded[0]));
    const std::string escaped = escape + recorded.substr(1);
    repo.write(
        k_log,
        "not json\n" +
            line_for(
                attested,
                R"("timestamp": "", "agent": "claude-code", "summary": "Added rate limiting", "synced": false)") +
            R"({"commit": ")" + escaped +
            R"(", "agent": "claude-code", "summary": "", "synced": true, "event": "commit_unattested", "agent_session_id": "sess-42", "timestamp": "2026-01-02T03:04:05+00:00"})"
            "\n" +
            R"({"commit": ")" + missing + R"(", "agent": "x", "summary": "torn")");
  }
};

TEST_F(LogE2E, ListsEachCommitWithItsRecordAndTheTotals)
{
  ThreeCommits fx;
  const auto result = kolvex::testing::run_kolvex({"log", fx.base + "..HEAD"}, fx.repo.path());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(
      result.out,
      HasSubstr(fx.attested.substr(0, 7) +
                "  feat: rate limiting  -- attested: claude-opus-4-6, \"Added rate limiting\""));
  EXPECT_THAT(
      result.out,
      HasSubstr(fx.recorded.substr(0, 7) +
                "  fix: typo  -- recorded, no attestation: agent claude-code, session sess-42"));
  EXPECT_THAT(result.out, HasSubstr(fx.missing.substr(0, 7) + "  manual change  -- not recorded"));
  EXPECT_THAT(result.out, Not(HasSubstr("base")));
  EXPECT_THAT(result.out,
              HasSubstr("3 commits in " + fx.base +
                        "..HEAD: 1 attested, 1 recorded without an attestation, 1 not recorded"));

  const auto json =
      kolvex::testing::run_kolvex({"log", "--json", fx.base + "..HEAD"}, fx.repo.path());
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const auto doc = kolvex::core::json::parse(json.out);
  const auto& commits = doc.get("commits")->as_list();
  ASSERT_EQ(commits.size(), 3U);
  EXPECT_EQ(commits[0].get("commit")->as_string(), fx.missing); // newest first
  EXPECT_EQ(commits[0].get("state")->as_string(), "not_recorded");
  EXPECT_EQ(commits[1].get("state")->as_string(), "recorded");
  EXPECT_EQ(commits[1].get("agent_session_id")->as_string(), "sess-42");
  EXPECT_EQ(commits[1].get("timestamp")->as_string(), "2026-01-02T03:04:05Z"); // one UTC spelling
  EXPECT_EQ(commits[2].get("state")->as_string(), "attested");
  EXPECT_EQ(commits[2].get("model")->as_string(), "claude-opus-4-6");
  EXPECT_EQ(commits[2].get("source")->as_string(), "log");
  EXPECT_EQ(doc.get("totals")->get("attested")->as_int(), 1);
  EXPECT_EQ(doc.get("totals")->get("not_recorded")->as_int(), 1);
}

TEST_F(LogE2E, ARepositoryWithoutCommitsHasNothingToListAndNoGitError)
{
  const auto result = kolvex::testing::run_kolvex({"log"}, repo.path());
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "No commits in this repository (it has no commit yet).\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(LogE2E, CheckFailsNamingEachCommitThatFallsShort)
{
  ThreeCommits fx;
  const auto recorded = kolvex::testing::run_kolvex(
      {"log", "--check", "recorded", fx.base + "..HEAD"}, fx.repo.path());
  EXPECT_EQ(recorded.exit_code, 1);
  EXPECT_THAT(recorded.err, HasSubstr("not recorded: " + fx.missing));
  EXPECT_THAT(recorded.err, Not(HasSubstr(fx.recorded)));
  EXPECT_THAT(recorded.err, HasSubstr("1 of 3 commits"));

  const auto attested = kolvex::testing::run_kolvex(
      {"log", "--check", "attested", fx.base + "..HEAD"}, fx.repo.path());
  EXPECT_EQ(attested.exit_code, 1);
  EXPECT_THAT(attested.err, HasSubstr("not attested: " + fx.missing));
  EXPECT_THAT(attested.err, HasSubstr("not attested: " + fx.recorded));
  EXPECT_THAT(attested.err, Not(HasSubstr(fx.attested)));

  // A range of attested commits only passes.
  const auto passes = kolvex::testing::run_kolvex(
      {"log", "--check", "attested", fx.base + ".." + fx.attested}, fx.repo.path());
  EXPECT_EQ(passes.exit_code, 0) << passes.err;
  EXPECT_EQ(kolvex::testing::run_kolvex({"log", "--check", "everything"}, fx.repo.path()).exit_code,
            2);
}

TEST_F(LogE2E, DefaultRangeIsTheBranchAheadOfItsUpstreamElseTheLastTwenty)
{
  TempRepo origin;
  for (int i = 0; i < 22; ++i) {
    origin.commit_file("f.txt", std::to_string(i) + "\n", "commit " + std::to_string(i));
  }
  const auto last = kolvex::testing::run_kolvex({"log", "--json"}, origin.path());
  ASSERT_EQ(last.exit_code, 0) << last.err;
  const auto doc = kolvex::core::json::parse(last.out);
  EXPECT_EQ(doc.get("commits")->as_list().size(), 20U);
  EXPECT_EQ(doc.get("commits")->as_list()[0].get("subject")->as_string(), "commit 21");

  TempDir place;
  kolvex::testing::run({"git", "clone", "-q", origin.path().string(), "clone"}, place.path());
  const auto clone = place.path() / "clone";
  kolvex::testing::run({"git",
                        "-c",
                        "user.name=T",
                        "-c",
                        "user.email=t@example.com",
                        "commit",
                        "-q",
                        "--allow-empty",
                        "-m",
                        "ahead of upstream"},
                       clone);
  const auto ahead = kolvex::testing::run_kolvex({"log"}, clone);
  ASSERT_EQ(ahead.exit_code, 0) << ahead.err;
  EXPECT_THAT(ahead.out, HasSubstr("ahead of upstream  -- not recorded"));
  EXPECT_THAT(ahead.out, HasSubstr("1 commit in origin/main..HEAD"));
  EXPECT_THAT(ahead.out, Not(HasSubstr("commit 21")));
}

TEST_F(LogE2E, ARangeThatIsNotOneIsRefusedWithoutRunningIt)
{
  repo.commit_file("a.txt", "a\n", "first");
  const auto option = kolvex::testing::run_kolvex({"log", "--", "--output=stolen"}, repo.path());
  EXPECT_NE(option.exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(repo.path() / "stolen"));
  const auto unknown = kolvex::testing::run_kolvex({"log", "nosuchbranch..HEAD"}, repo.path());
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_THAT(unknown.err, HasSubstr("cannot list the commits of that range"));
}

} // namespace
