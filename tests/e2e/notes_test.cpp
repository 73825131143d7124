// Records as git notes end to end: `kolvex notes write`, `kolvex setup --notes`, and a
// fresh clone that fetched the notes checking a branch with `kolvex log --check`.
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

const std::string k_ref = "refs/notes/kolvex";

class NotesE2E : public kolvex::testing::E2E {
protected:
  NotesE2E() : E2E({.setup = {"setup", "--no-user-hooks"}}) {}

  void SetUp() override
  {
    E2E::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    base = repo.commit_file("base.txt", "base\n", "base");
  }

  std::string attested_commit(const std::string& file, const std::string& summary) const
  {
    return kolvex::testing::attested_commit(repo, file, summary + "\n", summary);
  }

  [[nodiscard]] kolvex::core::process::Result git_in(const stdfs::path& dir,
                                                     const std::vector<std::string>& args) const
  {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    return kolvex::testing::run(argv, dir);
  }

  std::string base;
};

TEST_F(NotesE2E, AFreshCloneThatFetchedTheNotesPassesTheCheckAndFailsWithoutOne)
{
  const std::string one = attested_commit("one.txt", "first change");
  const std::string two = attested_commit("two.txt", "second change");
  const auto written =
      kolvex::testing::run_kolvex({"notes", "write", base + "..HEAD"}, repo.path());
  ASSERT_EQ(written.exit_code, 0) << written.err;
  EXPECT_THAT(written.out + written.err, HasSubstr("2 notes written, 0 already up to date"));

  // Plain JSON, the upload record, and nothing of this machine's.
  const std::string note = repo.git({"notes", "--ref=kolvex", "show", one});
  const Map record = kolvex::core::json::parse(note).as_map();
  EXPECT_EQ(*record.find("commit"), Value(one));
  EXPECT_EQ(*record.find("summary"), Value("first change"));
  EXPECT_EQ(*record.find("attestation")->get("agent_model"), Value("claude-opus-4-6"));
  EXPECT_FALSE(record.contains("synced"));
  EXPECT_THAT(note, Not(HasSubstr(repo.path().string())));
  EXPECT_THAT(note, Not(HasSubstr(home.path().string())));

  // Idempotent: the notes ref does not move.
  const std::string notes_tip = repo.git({"rev-parse", k_ref});
  const auto again = kolvex::testing::run_kolvex({"notes", "write", base + "..HEAD"}, repo.path());
  EXPECT_THAT(again.out + again.err, HasSubstr("0 notes written, 2 already up to date"));
  EXPECT_EQ(repo.git({"rev-parse", k_ref}), notes_tip);

  // Push the branch and the notes, clone fresh, fetch the notes.
  TempDir remote;
  ASSERT_EQ(git_in(remote.path(), {"init", "-q", "--bare", "origin.git"}).exit_code, 0);
  const std::string url = (remote.path() / "origin.git").string();
  repo.git({"remote", "add", "origin", url});
  repo.git({"push", "-q", "origin", base + ":refs/heads/main", "HEAD:refs/heads/topic", k_ref});
  TempDir ci;
  const auto cloned = git_in(ci.path(), {"clone", "-q", "-b", "topic", url, "work"});
  ASSERT_EQ(cloned.exit_code, 0) << cloned.err;
  const stdfs::path work = ci.path() / "work";
  ASSERT_EQ(git_in(work, {"fetch", "-q", "origin", k_ref + ":" + k_ref}).exit_code, 0);
  ASSERT_FALSE(stdfs::exists(work / ".kolvex/.platform/log.jsonl"));

  const auto passes =
      kolvex::testing::run_kolvex({"log", "--check", "attested", "origin/main..HEAD"}, work);
  EXPECT_EQ(passes.exit_code, 0) << passes.out << passes.err;
  EXPECT_THAT(passes.out, HasSubstr("attested: claude-opus-4-6, \"second change\" [git note]"));

  const auto removed = git_in(work,
                              {"-c",
                               "user.name=CI",
                               "-c",
                               "user.email=ci@example.com",
                               "notes",
                               "--ref=kolvex",
                               "remove",
                               one});
  ASSERT_EQ(removed.exit_code, 0) << removed.err;
  const auto fails =
      kolvex::testing::run_kolvex({"log", "--check", "attested", "origin/main..HEAD"}, work);
  EXPECT_EQ(fails.exit_code, 1);
  EXPECT_THAT(fails.err, HasSubstr("not attested: " + one));
  EXPECT_THAT(fails.err, Not(HasSubstr(two)));
}

TEST_F(NotesE2E, ANoteNamingAnotherCommitOrNotJsonIsNoRecord)
{
  const std::string one = attested_commit("one.txt", "first change");
  const std::string two = repo.commit_file("two.txt", "2\n", "second");
  // The local log would answer for both: take it away, as in a fresh clone.
  stdfs::remove(kolvex::paths::log_jsonl(repo.path()));
  repo.git({"notes",
            "--ref=kolvex",
            "add",
            "-m",
            R"({"commit": ")" + one + R"(", "summary": "x"})",
            two});
  repo.git({"notes", "--ref=kolvex", "add", "-m", "not json at all", one});
  const auto shown = kolvex::testing::run_kolvex({"log", "--json", base + "..HEAD"}, repo.path());
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  const auto doc = kolvex::core::json::parse(shown.out);
  EXPECT_EQ(doc.get("totals")->get("not_recorded")->as_int(), 2);
}

TEST_F(NotesE2E, SetupNotesMakesTheCommitHooksWriteTheNote)
{
  const auto setup =
      kolvex::testing::run_kolvex({"setup", "--no-user-hooks", "--notes"}, repo.path());
  ASSERT_EQ(setup.exit_code, 0) << setup.err;
  // Forced into a ref of their own, and a pattern: a fetch never fails over notes.
  EXPECT_THAT(setup.out,
              HasSubstr("git config --add remote.origin.fetch '+" + k_ref +
                        "*:refs/notes/remotes/origin/kolvex*'"));
  EXPECT_THAT(setup.out, Not(HasSubstr("remote.origin.push")));

  const std::string one = attested_commit("one.txt", "hooked change");
  const std::string note = repo.git({"notes", "--ref=kolvex", "show", one});
  EXPECT_THAT(note, HasSubstr("\"summary\": \"hooked change\""));

  // An amend carries the record, and its note follows.
  repo.git({"commit", "-q", "--amend", "-m", "feat: hooked change, reworded"});
  const std::string amended = repo.git({"rev-parse", "HEAD"});
  const std::string carried = repo.git({"notes", "--ref=kolvex", "show", amended});
  EXPECT_THAT(carried, HasSubstr("\"rewritten_from\": [\"" + one + "\"]"));
  EXPECT_THAT(carried, HasSubstr("\"summary\": \"hooked change\""));
}

} // namespace
