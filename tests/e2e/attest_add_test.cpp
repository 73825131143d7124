// `kolvex attest add` end to end: backfilling a commit from its session's
// transcript, attaching a late attestation to a recorded commit, and the usage
// errors, with the built binary in a repository set up for kolvex.
#include "core/json.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace kolvex::testing {
namespace {

using core::Value;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string k_session = "3f0c8d2e-51a7-4b9c-8e1d-6a2f9b0c4d17";
const std::string k_em = "\u2014";

class AttestAddE2E : public SetUpRepoTest {
protected:
  void SetUp() override
  {
    SetUpRepoTest::SetUp();
    write_claude_response(k_session, "claude-opus-4-7", {900, 120, 0, 0});
  }

  // A commit made while no hook ran kolvex: nothing records it.
  std::string unrecorded_commit(const std::string& file)
  {
    const auto hook = repo.path() / ".git/hooks/post-commit";
    const auto aside = repo.path() / ".git/post-commit.aside";
    stdfs::rename(hook, aside);
    const auto sha = repo.commit_file(file, file + "\n", "fix: " + file);
    stdfs::rename(aside, hook);
    return sha;
  }

  [[nodiscard]] core::process::Result add(const std::vector<std::string>& args) const
  {
    std::vector<std::string> argv{"attest", "add"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_kolvex(argv, repo.path());
  }

  // Writes the pending attestation for nothing staged, as an agent does after the
  // nudge for a commit already made.
  void write_pending(const std::string& summary) const
  {
    (void)attest_staged(repo, summary, "claude-opus-4-7");
  }

  [[nodiscard]] bool pending() const
  {
    return stdfs::exists(paths::commit_attestation(repo.path()));
  }
};

TEST_F(AttestAddE2E, BackfillRecordsAPastCommitForItsSessionOnce)
{
  const auto sha = unrecorded_commit("past.txt");
  ASSERT_TRUE(records_of(sha).empty());
  const auto result =
      add({"--commit", sha.substr(0, 7), "--session", k_session, "--task-type", "bug-fix"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Recorded " + sha.substr(0, 12) + " (bug-fix)\n");
  const auto records = records_of(sha);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(*records[0].get_string("agent"), "claude-code");
  EXPECT_EQ(*records[0].get_string("agent_session_id"), k_session);
  EXPECT_THAT(archive_of(repo, sha), HasSubstr("claude-opus-4-7"));

  const auto again =
      add({"--commit", sha.substr(0, 7), "--session", k_session, "--task-type", "bug-fix"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, sha.substr(0, 12) + " already recorded\n");
  EXPECT_EQ(records_of(sha).size(), 1U);
}

TEST_F(AttestAddE2E, BackfillSaysWhenTheTranscriptCountsNoTokens)
{
  const std::string quiet = "9a8b7c6d-0000-4000-8000-000000000001";
  const auto root = repo.path().string();
  write_claude_session(quiet,
                       {core::json::dump(Value(
                           core::Map{{"type", "assistant"},
                                     {"sessionId", quiet},
                                     {"cwd", root},
                                     {"uuid", "a1"},
                                     {"timestamp", "2026-01-02T03:04:05Z"},
                                     {"message",
                                      core::Map{{"model", "claude-opus-4-7"},
                                                {"id", "m1"},
                                                {"role", "assistant"},
                                                {"content", core::List{claude_text("done")}}}}}))});
  const auto sha = unrecorded_commit("quiet.txt");
  const auto result = add({"--commit", sha, "--session", quiet, "--task-type", "docs"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "Recorded " + sha.substr(0, 12) + " (docs) " + k_em +
                " no token counts in that transcript\n");
}

TEST_F(AttestAddE2E, BackfillRefusalsNameTheCommitAsGiven)
{
  const auto sha = unrecorded_commit("past.txt");
  const auto unknown =
      add({"--commit", sha.substr(0, 7), "--session", "no-such-session", "--task-type", "chore"});
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_EQ(unknown.err,
            sha.substr(0, 7) + ": no agent transcript found for session no-such-session\n");
  EXPECT_TRUE(records_of(sha).empty());

  const auto missing = add({"--commit", "deadbee", "--session", k_session, "--task-type", "chore"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err, "deadbee: no such commit in this repo\n");
}

TEST_F(AttestAddE2E, AttachUpgradesTheRecordOfACommitMadeWithoutOne)
{
  const auto sha =
      repo.commit_file("fix.txt", "fixed\n", "fix: the bug"); // the git hook records it
  ASSERT_EQ(records_of(sha).size(), 1U);
  EXPECT_EQ(*records_of(sha)[0].get_string("event"), "commit_unattested");
  write_pending("Fixed the bug after the fact");

  const auto result = add({"--commit", sha.substr(0, 7)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Attached attestation to " + sha.substr(0, 12) + "\n");
  EXPECT_FALSE(pending());
  const auto records = records_of(sha);
  ASSERT_EQ(records.size(), 1U); // upgraded in place, not doubled
  EXPECT_EQ(records[0].get("event"), nullptr);
  EXPECT_EQ(*records[0].get("synced"), Value(false)); // to be uploaded again
  EXPECT_THAT(archive_of(repo, sha), HasSubstr("summary: Fixed the bug after the fact"));

  // A pending file for a commit that does not exist stays where it is.
  write_pending("Another");
  const auto refused = add({"--commit", "deadbee"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "deadbee: no such commit in this repo\n");
  EXPECT_TRUE(pending());
}

TEST_F(AttestAddE2E, MisuseIsAUsageErrorWithTheMessageAndStatus2)
{
  const auto usage = [](const core::process::Result& result, const std::string& message) {
    EXPECT_EQ(result.exit_code, 2) << result.err;
    EXPECT_THAT(result.err, StartsWith(message + "\n"));
    EXPECT_EQ(result.out, "");
  };
  // --agent belongs to hook rows; refused before the repository is looked for.
  TempDir outside;
  usage(run_kolvex({"attest", "add", "--agent", "claude-code", "--commit", "abc"}, outside.path()),
        "--agent is only for hook rows (with --from-hook)");
  usage(add({"--agent=", "--commit", "abc"}), "--agent is only for hook rows (with --from-hook)");

  usage(add({}), "Missing required options: --commit, --session, --task-type");
  usage(add({"--commit", "HEAD"}), "Missing required options: --session, --task-type");
  usage(add({"--session", k_session}), "Missing required options: --commit, --task-type");
  // An empty value counts as given: with a pending file this is not an attach.
  write_pending("pending");
  usage(add({"--commit", "HEAD", "--session="}), "Missing required options: --task-type");
  EXPECT_TRUE(pending());
  usage(add({"--commit="}), "Missing required options: --session, --task-type");

  const auto bad_type = add({"--commit", "HEAD", "--session", "s", "--task-type", "rewrite"});
  EXPECT_EQ(bad_type.exit_code, 2);
  EXPECT_THAT(bad_type.err, HasSubstr("--task-type"));
  const auto extra = add({"--commit", "HEAD", "--colour"});
  EXPECT_EQ(extra.exit_code, 2);
  EXPECT_THAT(extra.err, HasSubstr("--colour"));

  // Hook mode looks at nothing else and always exits 0.
  const auto hook = add({"--from-hook", "--agent", "claude-code", "--user", "--newer-flag"});
  EXPECT_EQ(hook.exit_code, 0);
  EXPECT_EQ(hook.out, "");
  EXPECT_EQ(hook.err, "");
  EXPECT_TRUE(pending()); // untouched by a row with no payload

  // Outside any repository the lookup fails as for every command: status 1.
  const auto nowhere = run_kolvex(
      {"attest", "add", "--commit", "a", "--session", "s", "--task-type", "docs"}, outside.path());
  EXPECT_EQ(nowhere.exit_code, 1);
}

TEST_F(AttestAddE2E, HelpIsItsOwnAndShowsTheParagraphsAsWritten)
{
  const auto help = add({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out,
              StartsWith("Record a commit an agent session made before kolvex was set up.\n"));
  EXPECT_THAT(help.out, HasSubstr("Exit 0 always.\n\nUsage: kolvex attest add [OPTIONS]\n"));
  EXPECT_THAT(help.out,
              HasSubstr("Example:\n"
                        "  kolvex attest add --commit a81f2c0 --session 3f0c... --task-type "
                        "bug-fix\n"));
  EXPECT_THAT(help.out, HasSubstr("With --from-hook (Claude Code's PostToolUse row, user-level)"));
  for (const char* option : {"--commit", "--session", "--task-type", "--from-hook", "--agent"}) {
    EXPECT_THAT(help.out, HasSubstr(option));
  }
  EXPECT_EQ(help.out.find("--user"), std::string::npos); // accepted, not advertised
  const auto group = run_kolvex({"attest", "--help"}, repo.path());
  EXPECT_THAT(group.out, HasSubstr("add"));
  EXPECT_THAT(group.out, HasSubstr("Record a commit an agent session made"));
}

} // namespace
} // namespace kolvex::testing
