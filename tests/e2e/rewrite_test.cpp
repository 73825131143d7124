// Records that survive rewrites, end to end: `kolvex setup` installs the post-rewrite
// hook, and real `git commit --amend` and `git rebase` runs carry each record to the
// commit that replaced it.
#include "paths.hpp"
#include "services/relaycore/capture/capture_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

const std::string k_system_path = "/usr/local/bin:/usr/bin:/bin";

class RewriteE2E : public ::testing::Test {
protected:
  void SetUp() override
  {
    kolvex::testing::isolate_environment(environment, home);
    environment.set("PATH", stdfs::path(KOLVEX_BIN).parent_path().string() + ":" + k_system_path);
    environment.set("GIT_EDITOR", "true");
    const auto setup = kolvex::testing::run_kolvex({"setup", "--no-user-hooks"}, repo.path());
    ASSERT_EQ(setup.exit_code, 0) << setup.err;
    ASSERT_THAT(setup.out, HasSubstr("post-rewrite"));
    base = repo.commit_file("base.txt", "base\n", "base");
  }

  // Commits `file` with an attestation saying `summary`; returns the sha.
  std::string attested_commit(const std::string& file,
                              const std::string& content,
                              const std::string& summary) const
  {
    return kolvex::testing::attested_commit(repo, file, content, summary);
  }

  // The first log line of `sha`.
  [[nodiscard]] std::optional<Map> line_of(const std::string& sha) const
  {
    for (const std::string& line : log_lines(repo)) {
      if (!line.empty()) {
        Map parsed = parsed_line(line);
        if (*parsed.find("commit") == Value(sha)) {
          return parsed;
        }
      }
    }
    return std::nullopt;
  }

  [[nodiscard]] std::size_t lines_naming(const std::string& sha) const
  {
    std::size_t count = 0;
    for (const std::string& line : log_lines(repo)) {
      count += line.find("\"commit\": \"" + sha + "\"") != std::string::npos ? 1 : 0;
    }
    return count;
  }

  // Runs `git` with `args` in the repository, returning the whole result.
  [[nodiscard]] kolvex::core::process::Result git_result(const std::vector<std::string>& args) const
  {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    return kolvex::testing::run(argv, repo.path());
  }

  TempDir home;
  kolvex::testing::ScopedEnv environment;
  TempRepo repo;
  std::string base;
};

Value shas(std::vector<std::string> list)
{
  kolvex::core::List values;
  for (auto& sha : list) {
    values.emplace_back(std::move(sha));
  }
  return Value(std::move(values));
}

TEST_F(RewriteE2E, AmendCarriesTheAttestationWithALinkAndRunningAgainChangesNothing)
{
  const std::string old = attested_commit("a.txt", "a\n", "added a");
  repo.git({"commit", "-q", "--amend", "-m", "feat: added a, reworded"});
  const std::string amended = repo.git({"rev-parse", "HEAD"});
  ASSERT_NE(old, amended);

  const auto line = line_of(amended);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line->find("summary"), Value("added a"));
  EXPECT_FALSE(line->contains("event")) << "the amended commit's own record was not upgraded";
  EXPECT_EQ(*line->find("rewritten_from"), shas({old}));
  EXPECT_EQ(*line->find("synced"), Value(false));
  EXPECT_EQ(lines_naming(amended), 1U);
  EXPECT_EQ(lines_naming(old), 1U) << "the old commit's own record stays";
  const std::string archive = kolvex::testing::archive_of(repo, amended);
  EXPECT_THAT(archive, HasSubstr("agent_model: claude-opus-4-6"));
  EXPECT_THAT(archive, HasSubstr("rewritten_from:\n- " + old));

  const auto shown = kolvex::testing::run_kolvex({"log", base + "..HEAD"}, repo.path());
  EXPECT_THAT(shown.out,
              HasSubstr(amended.substr(0, 7) +
                        "  feat: added a, reworded  -- attested: claude-opus-4-6, "
                        "\"added a\" (carried from " +
                        old.substr(0, 7) + ")"));

  // git's own input on stdin, a second time: the record is left as it is.
  const std::string before = repo.read(kolvex::paths::log_jsonl(repo.path()));
  const auto again = kolvex::testing::run_kolvex(
      {"sync", "--record-rewrite"}, repo.path(), old + " " + amended + "\n");
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(repo.read(kolvex::paths::log_jsonl(repo.path())), before);
}

TEST_F(RewriteE2E, InteractiveRebaseThatReordersAndSquashesKeepsEveryRecord)
{
  const std::string one = attested_commit("one.txt", "1\n", "first change");
  const std::string two = attested_commit("two.txt", "2\n", "second change");
  const std::string three = repo.commit_file("three.txt", "3\n", "chore: unattested");
  // Reorder (three first) and squash two into one, without an editor.
  const stdfs::path todo = repo.path().parent_path() / (repo.path().filename().string() + "-todo");
  {
    std::ofstream script(todo);
    script << "#!/bin/sh\nprintf 'pick " << three << "\\npick " << one << "\\nsquash " << two
           << "\\n' > \"$1\"\n";
  }
  ::chmod(todo.c_str(), 0755);
  environment.set("GIT_SEQUENCE_EDITOR", todo.string());
  const auto rebase = git_result({"rebase", "-q", "-i", base});
  stdfs::remove(todo);
  ASSERT_EQ(rebase.exit_code, 0) << rebase.err;

  const std::string squashed = repo.git({"rev-parse", "HEAD"});
  const std::string moved = repo.git({"rev-parse", "HEAD~1"});
  const auto squashed_line = line_of(squashed);
  ASSERT_TRUE(squashed_line.has_value());
  EXPECT_EQ(*squashed_line->find("summary"), Value("first change"));
  EXPECT_FALSE(squashed_line->contains("event"));
  EXPECT_EQ(*squashed_line->find("rewritten_from"), shas({one, two}));
  const std::string archive = kolvex::testing::archive_of(repo, squashed);
  EXPECT_THAT(archive, HasSubstr("absorbed_records:"));
  EXPECT_THAT(archive, HasSubstr("commit: " + two));
  EXPECT_THAT(archive, HasSubstr("summary: second change"));

  // The unattested commit carries what it was, and says so: no attestation invented.
  const auto moved_line = line_of(moved);
  ASSERT_TRUE(moved_line.has_value());
  EXPECT_EQ(*moved_line->find("event"), Value("commit_unattested"));
  EXPECT_EQ(*moved_line->find("rewritten_from"), shas({three}));
  EXPECT_EQ(lines_naming(squashed), 1U);
  EXPECT_EQ(lines_naming(moved), 1U);

  const auto check =
      kolvex::testing::run_kolvex({"log", "--check", "attested", base + "..HEAD"}, repo.path());
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_THAT(check.err, HasSubstr("not attested: " + moved));
  EXPECT_THAT(check.out,
              HasSubstr("(carried from " + one.substr(0, 7) + ", " + two.substr(0, 7) + ")"));
}

TEST_F(RewriteE2E, RebaseThroughAConflictCarriesTheRecordOnceItIsResolved)
{
  repo.git({"checkout", "-q", "-b", "topic"});
  const std::string old = attested_commit("base.txt", "topic\n", "topic edit");
  repo.git({"checkout", "-q", "main"});
  repo.commit_file("base.txt", "main\n", "main edit");
  repo.git({"checkout", "-q", "topic"});

  const auto stopped = git_result({"rebase", "-q", "main"});
  ASSERT_NE(stopped.exit_code, 0) << "expected a conflict";
  repo.write("base.txt", "resolved\n");
  repo.git({"add", "base.txt"});
  const auto resumed = git_result({"rebase", "--continue"});
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err;

  const std::string rebased = repo.git({"rev-parse", "HEAD"});
  ASSERT_NE(rebased, old);
  const auto line = line_of(rebased);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line->find("summary"), Value("topic edit"));
  EXPECT_FALSE(line->contains("event"));
  EXPECT_EQ(*line->find("rewritten_from"), shas({old}));
  EXPECT_EQ(kolvex::testing::run_kolvex({"log", "--check", "attested", "main..HEAD"}, repo.path())
                .exit_code,
            0);
}

TEST_F(RewriteE2E, ARecordKeptOnlyAsAGitNoteIsCarriedFromTheNote)
{
  const std::string old = attested_commit("a.txt", "a\n", "noted only");
  ASSERT_EQ(kolvex::testing::run_kolvex({"notes", "write", base + "..HEAD"}, repo.path()).exit_code,
            0);
  // What a fresh clone that fetched the notes has: neither the log nor the archives.
  stdfs::remove(kolvex::paths::log_jsonl(repo.path()));
  stdfs::remove_all(kolvex::paths::attestations_dir(repo.path()));

  repo.git({"commit", "-q", "--amend", "-m", "feat: reworded in the clone"});
  const std::string amended = repo.git({"rev-parse", "HEAD"});
  const auto line = line_of(amended);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line->find("summary"), Value("noted only"));
  EXPECT_FALSE(line->contains("event"));
  EXPECT_EQ(*line->find("rewritten_from"), shas({old}));
  EXPECT_THAT(kolvex::testing::archive_of(repo, amended), HasSubstr("agent_model: claude-opus-4-6"));
}

TEST_F(RewriteE2E, ANewCommitsOwnAttestationIsKeptAndTheOldRecordAbsorbed)
{
  const std::string old = attested_commit("a.txt", "a\n", "old attestation");
  repo.write("a.txt", "a2\n");
  repo.git({"add", "a.txt"});
  (void)kolvex::testing::attest_staged(repo, "new attestation", "claude-sonnet-4-5");
  repo.git({"commit", "-q", "--amend", "--no-edit"});
  const std::string amended = repo.git({"rev-parse", "HEAD"});
  const auto line = line_of(amended);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line->find("summary"), Value("new attestation"));
  EXPECT_EQ(*line->find("rewritten_from"), shas({old}));
  EXPECT_THAT(kolvex::testing::archive_of(repo, amended), HasSubstr("summary: old attestation"));
}

} // namespace
