// Records that survive rewrites, end to end: `kolvex setup` installs the post-rewrite
// hook, and real `git commit --amend` and `git rebase` runs carry each record to the
// commit that replaced it.
#include "core/json.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace paths = kolvex::paths;

namespace {

using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

class RewriteE2E : public kolvex::testing::E2E {
protected:
  RewriteE2E() : E2E({.env = {{"GIT_EDITOR", "true"}}}) {}

  void SetUp() override
  {
    E2E::SetUp();
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

  // Runs `git rebase -i` with `args` onto `onto`, with `todo` as the whole todo list.
  [[nodiscard]] kolvex::core::process::Result
  rebase(const std::string& todo, const std::vector<std::string>& args, const std::string& onto)
  {
    const stdfs::path editor =
        repo.path().parent_path() / (repo.path().filename().string() + "-todo");
    {
      std::ofstream script(editor);
      script << "#!/bin/sh\nprintf '" << todo << "' > \"$1\"\n";
    }
    ::chmod(editor.c_str(), 0755);
    env.set("GIT_SEQUENCE_EDITOR", editor.string());
    std::vector<std::string> argv{"rebase", "-q", "-i"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(onto);
    auto result = git_result(argv);
    stdfs::remove(editor);
    return result;
  }

  // `kolvex log --json` of `range`, parsed.
  [[nodiscard]] Value log_json(const std::string& range) const
  {
    const auto shown = kolvex::testing::run_kolvex({"log", "--json", range}, repo.path());
    return kolvex::core::json::parse(shown.out);
  }

  // Commits `file` without running any hook: a commit kolvex never saw.
  std::string unrecorded_commit(const std::string& file, const std::string& content)
  {
    repo.write(file, content);
    repo.git({"add", file});
    repo.git({"-c", "core.hooksPath=/nonexistent", "commit", "-q", "-m", "manual " + file});
    return repo.git({"rev-parse", "HEAD"});
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
  env.set("GIT_SEQUENCE_EDITOR", todo.string());
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
  // The resolution made a change other than the attested one.
  const auto check =
      kolvex::testing::run_kolvex({"log", "--check", "attested", "main..HEAD"}, repo.path());
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_THAT(check.out, HasSubstr("attested, changed since: claude-opus-4-6, \"topic edit\""));
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
  EXPECT_THAT(kolvex::testing::archive_of(repo, amended),
              HasSubstr("agent_model: claude-opus-4-6"));
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

// Folding work nobody attested into an attested commit (a fixup or squash in
// `git rebase -i`) must not pass it off as attested.
TEST_F(RewriteE2E, FoldingUnattestedWorkIntoAnAttestedCommitIsPartlyAttested)
{
  struct Case {
    std::string fold;
    bool recorded; // whether kolvex recorded the unattested commit
    std::string why;
  };
  for (const Case& c : {Case{"fixup", true, "unattested"},
                        Case{"squash", true, "unattested"},
                        Case{"fixup", false, "not recorded"}}) {
    SCOPED_TRACE(c.fold + (c.recorded ? "" : " of an unrecorded commit"));
    repo.git({"reset", "-q", "--hard", base});
    const std::string name = c.fold + (c.recorded ? "-recorded" : "-unrecorded");
    const std::string unattested = c.recorded
                                       ? repo.commit_file(name + "-u.txt", "u\n", "chore: " + name)
                                       : unrecorded_commit(name + "-u.txt", "u\n");
    const std::string attested = attested_commit(name + "-a.txt", "a\n", name);
    const auto rebased =
        rebase("pick " + unattested + "\\n" + c.fold + " " + attested + "\\n", {}, base);
    ASSERT_EQ(rebased.exit_code, 0) << rebased.err;
    const std::string folded = repo.git({"rev-parse", "HEAD"});

    const auto check =
        kolvex::testing::run_kolvex({"log", "--check", "attested", base + "..HEAD"}, repo.path());
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_THAT(check.out,
                HasSubstr(folded.substr(0, 7) + "  " + repo.git({"log", "-1", "--format=%s"}) +
                          "  -- partly attested: claude-opus-4-6, \"" + name +
                          "\"; absorbed without an attestation: " + unattested.substr(0, 7) + " (" +
                          c.why + ")"));
    EXPECT_THAT(check.err, HasSubstr("not attested: " + folded));
    const Value doc = log_json(base + "..HEAD");
    const Value& row = doc.get("commits")->as_list().at(0);
    EXPECT_EQ(*row.get("state"), Value("partly_attested"));
    const Value* absorbed = row.get("absorbed_unattested");
    ASSERT_NE(absorbed, nullptr);
    EXPECT_EQ(*absorbed->as_list().at(0).get("commit"), Value(unattested));
    EXPECT_EQ(*doc.get("totals")->get("partly_attested"), Value(1));
  }
}

// An attestation names one change by its staged-diff hash; a commit whose change is
// no longer that one (an amend that added a file, a conflict resolved otherwise) is
// "attested, changed since", while an unchanged one stays attested whatever its line
// ends.
TEST_F(RewriteE2E, AnAttestedRecordIsCheckedAgainstItsCommitsOwnChange)
{
  struct Case {
    std::string name;
    std::string content;
    bool amend_adds_a_file;
    std::string state;
  };
  for (const Case& c : {Case{"lf", "one\ntwo\n", false, "attested"},
                        Case{"crlf", "one\r\ntwo\r\n", false, "attested"},
                        Case{"amended", "one\n", true, "changed_since"}}) {
    SCOPED_TRACE(c.name);
    const std::string from = repo.git({"rev-parse", "HEAD"});
    attested_commit(c.name + ".txt", c.content, "change " + c.name);
    if (c.amend_adds_a_file) {
      repo.write("extra.txt", "not attested\n");
      repo.git({"add", "extra.txt"});
      repo.git({"commit", "-q", "--amend", "--no-edit"});
    }
    const Value doc = log_json(from + "..HEAD");
    EXPECT_EQ(*doc.get("commits")->as_list().at(0).get("state"), Value(c.state));
    const auto check =
        kolvex::testing::run_kolvex({"log", "--check", "attested", from + "..HEAD"}, repo.path());
    EXPECT_EQ(check.exit_code, c.state == "attested" ? 0 : 1) << check.out << check.err;
    if (c.state == "changed_since") {
      EXPECT_THAT(check.out, HasSubstr("-- attested, changed since: claude-opus-4-6"));
    }
  }
}

// A rebase onto a base that moved the attested lines keeps the patch: still attested.
TEST_F(RewriteE2E, ARebaseThatMovesTheSamePatchStaysAttested)
{
  const std::string lines = "1\n2\n3\n4\n5\n6\n7\n8\n";
  repo.commit_file("lines.txt", lines, "lines");
  repo.git({"checkout", "-q", "-b", "topic"});
  attested_commit("lines.txt", "1\n2\n3\n4\n5\n6\n7\neight\n", "last line");
  repo.git({"checkout", "-q", "main"});
  repo.commit_file("lines.txt", "0\n" + lines, "a line on top");
  repo.git({"checkout", "-q", "topic"});
  ASSERT_EQ(git_result({"rebase", "-q", "main"}).exit_code, 0);

  const auto check =
      kolvex::testing::run_kolvex({"log", "--check", "attested", "main..HEAD"}, repo.path());
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  EXPECT_THAT(kolvex::testing::archive_of(repo, repo.git({"rev-parse", "HEAD"})),
              HasSubstr("carried_diff_hash: "));
}

// The first pick of a squash exists only inside the rebase; it and the commits the
// rebase replaced are marked, kept, and no longer waiting to be sent.
TEST_F(RewriteE2E, CommitsARewriteReplacedAreMarkedAndNotPending)
{
  const std::string one = repo.commit_file("one.txt", "1\n", "chore: one");
  const std::string two = attested_commit("two.txt", "2\n", "second");
  // -f re-creates the first pick, which the post-commit hook records mid-rebase.  A
  // pick made in the same second as `one` would be `one` itself, so the rebase's
  // commits are dated later.
  env.set("GIT_COMMITTER_DATE", "@" + std::to_string(std::time(nullptr) + 100) + " +0000");
  const auto rebased = rebase("pick " + one + "\\nsquash " + two + "\\n", {"-f"}, base);
  ASSERT_EQ(rebased.exit_code, 0) << rebased.err;
  const std::string squashed = repo.git({"rev-parse", "HEAD"});

  std::vector<std::string> replaced;
  for (const std::string& line : log_lines(repo)) {
    if (line.empty()) {
      continue;
    }
    const Map parsed = parsed_line(line);
    const std::string commit = parsed.find("commit")->as_string();
    if (commit == base || commit == squashed) {
      EXPECT_FALSE(parsed.contains("replaced_by")) << commit;
    } else {
      ASSERT_TRUE(parsed.contains("replaced_by")) << commit;
      EXPECT_EQ(*parsed.find("replaced_by"), Value(squashed)) << commit;
      replaced.push_back(commit);
    }
  }
  ASSERT_EQ(replaced.size(), 3U) << "one, two and the rebase's first pick of one";
  const auto log = kolvex::services::relaycore::log::read_attestation_log(
      paths::confined(kolvex::paths::log_jsonl(repo.path())));
  EXPECT_EQ(log.replaced, 3);
  ASSERT_EQ(log.pending.size(), 2U);
  EXPECT_EQ(*log.pending[1].find("commit"), Value(squashed));
}

// A cherry-pick with the picked commit's own patch links to its record; one whose
// patch a conflict changed is recorded plainly.
TEST_F(RewriteE2E, ACherryPickOfTheSamePatchLinksToThePickedRecord)
{
  repo.git({"checkout", "-q", "-b", "topic"});
  const std::string same = attested_commit("picked.txt", "picked\n", "picked as is");
  const std::string differs = attested_commit("base.txt", "topic\n", "conflicts later");
  repo.git({"checkout", "-q", "-b", "release", base});
  repo.commit_file("base.txt", "release\n", "release edit");

  ASSERT_EQ(git_result({"cherry-pick", same}).exit_code, 0);
  const std::string picked = repo.git({"rev-parse", "HEAD"});
  ASSERT_NE(git_result({"cherry-pick", differs}).exit_code, 0) << "expected a conflict";
  repo.write("base.txt", "resolved\n");
  repo.git({"add", "base.txt"});
  ASSERT_EQ(git_result({"cherry-pick", "--continue"}).exit_code, 0);
  const std::string resolved = repo.git({"rev-parse", "HEAD"});

  const auto picked_line = line_of(picked);
  ASSERT_TRUE(picked_line.has_value());
  ASSERT_TRUE(picked_line->contains("cherry_picked_from"));
  EXPECT_EQ(*picked_line->find("cherry_picked_from"), Value(same));
  EXPECT_EQ(*picked_line->find("event"), Value("commit_unattested"));
  EXPECT_THAT(kolvex::testing::archive_of(repo, picked), HasSubstr("summary: picked as is"));
  const auto resolved_line = line_of(resolved);
  ASSERT_TRUE(resolved_line.has_value());
  EXPECT_FALSE(resolved_line->contains("cherry_picked_from"));
  EXPECT_THAT(kolvex::testing::run_kolvex({"log", "HEAD~2..HEAD"}, repo.path()).out,
              HasSubstr(picked.substr(0, 7) +
                        "  feat: picked as is  -- recorded, no attestation: "
                        "agent unknown (cherry-picked from " +
                        same.substr(0, 7) + ")"));
}

// `git merge` runs no post-commit hook: the post-merge hook records a merge commit,
// and a fast-forward, which made no commit, records nothing.
TEST_F(RewriteE2E, APostMergeHookRecordsMergeCommitsOnly)
{
  repo.git({"checkout", "-q", "-b", "side"});
  const std::string side = unrecorded_commit("side.txt", "side\n");
  repo.git({"checkout", "-q", "-b", "fast", base});
  ASSERT_EQ(git_result({"merge", "-q", "--ff-only", "side"}).exit_code, 0);
  EXPECT_EQ(lines_naming(side), 0U) << "a fast-forward is someone's earlier commit";

  repo.git({"checkout", "-q", "-b", "merged", base});
  repo.commit_file("other.txt", "other\n", "other");
  ASSERT_EQ(git_result({"merge", "-q", "--no-ff", "-m", "merge side", "side"}).exit_code, 0);
  EXPECT_EQ(lines_naming(repo.git({"rev-parse", "HEAD"})), 1U);
}

} // namespace
