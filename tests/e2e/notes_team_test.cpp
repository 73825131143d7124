// Notes a team shares and CI trusts: three clones of one remote that commit, pull and
// push in turn with the git config `setup --notes` prints; the paths that write a
// record write its note; records signed with git's ssh signing set-up and checked
// with `kolvex log --check signed`.
#include "core/fs.hpp"
#include "core/text.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

const std::string k_ref = "refs/notes/kolvex";

kolvex::core::process::Result kolvex_in(const stdfs::path& dir,
                                        const std::vector<std::string>& args)
{
  return kolvex::testing::run_kolvex(args, dir);
}

class NotesTeamE2E : public kolvex::testing::E2E {
protected:
  void SetUp() override
  {
    E2E::SetUp();
    ASSERT_EQ(kolvex::testing::run({"git", "init", "-q", "--bare", "-b", "main", "origin.git"},
                                   remote.path())
                  .exit_code,
              0);
    url = (remote.path() / "origin.git").string();
    // The project as the team finds it: set up for kolvex, pushed.
    TempRepo seed;
    ASSERT_EQ(kolvex_in(seed.path(), {"setup", "--no-user-hooks"}).exit_code, 0);
    seed.git({"add", "-A"});
    seed.git({"commit", "-q", "-m", "chore: set up kolvex"});
    base = seed.git({"rev-parse", "HEAD"});
    seed.git({"push", "-q", url, "main"});
  }

  // A teammate's clone, set up with notes and the git config the setup printed.
  std::unique_ptr<TempRepo> join(const std::string& name) const
  {
    auto clone = std::make_unique<TempRepo>();
    clone->git({"config", "user.name", name});
    clone->git({"remote", "add", "origin", url});
    clone->git({"pull", "-q", "origin", "main"});
    clone->git({"branch", "-q", "--set-upstream-to=origin/main"});
    const auto setup = kolvex_in(clone->path(), {"setup", "--no-user-hooks", "--notes"});
    EXPECT_EQ(setup.exit_code, 0) << setup.err;
    for (const std::string_view line : kolvex::core::fs::splitlines(setup.out)) {
      const std::string_view prefix = "  git config --add ";
      if (!line.starts_with(prefix)) {
        continue;
      }
      std::vector<std::string> argv{"config", "--add"};
      for (std::string word :
           kolvex::core::text::split(std::string(line.substr(prefix.size())), ' ')) {
        std::erase(word, '\'');
        argv.push_back(word);
      }
      clone->git(argv);
    }
    EXPECT_EQ(clone->git({"config", "--get-all", "remote.origin.fetch"}).find('\n') !=
                  std::string::npos,
              true)
        << "the setup printed no fetch refspec";
    return clone;
  }

  static void expect_all_attested(const TempRepo& clone, const std::string& range, int count)
  {
    const auto checked = kolvex_in(clone.path(), {"log", "--check", "attested", range});
    EXPECT_EQ(checked.exit_code, 0) << clone.path() << "\n" << checked.out << checked.err;
    EXPECT_THAT(checked.out,
                HasSubstr(std::to_string(count) + " commits in " + range + ": " +
                          std::to_string(count) + " attested"));
  }

  TempDir remote;
  std::string url;
  std::string base;
};

TEST_F(NotesTeamE2E, ThreeClonesCommitPullAndPushInTurnAndEachSeesEveryNote)
{
  const auto ana = join("Ana");
  const auto ben = join("Ben");
  const auto cai = join("Cai");
  struct Turn {
    const TempRepo* clone;
    std::vector<std::string> pull;
  };
  const std::vector<Turn> turns{{ana.get(), {"pull", "-q", "--no-rebase", "--no-edit"}},
                                {ben.get(), {"pull", "-q", "--no-rebase", "--no-edit"}},
                                {cai.get(), {"pull", "-q", "--rebase"}}};
  int made = 0;
  for (int round = 0; round < 2; ++round) {
    for (const Turn& turn : turns) {
      // Every git command here throws, failing the test, unless it exits 0.
      turn.clone->git(turn.pull);
      kolvex::testing::attested_commit(*turn.clone,
                                       "change-" + std::to_string(made) + ".txt",
                                       "change\n",
                                       "change " + std::to_string(made));
      ++made;
      turn.clone->git({"push", "-q"});
    }
  }
  // A fetch alone brings the notes for `kolvex log`, before any merge.
  ana->git({"fetch", "-q"});
  expect_all_attested(*ana, base + "..origin/main", made);
  for (const Turn& turn : turns) {
    turn.clone->git(turn.pull);
    turn.clone->git({"push", "-q"});
    expect_all_attested(*turn.clone, base + "..HEAD", made);
  }
  // The remote's notes are the union: a fresh clone that fetched them sees them all.
  TempDir ci;
  ASSERT_EQ(kolvex::testing::run({"git", "clone", "-q", url, "work"}, ci.path()).exit_code, 0);
  const stdfs::path work = ci.path() / "work";
  ASSERT_EQ(kolvex::testing::run({"git", "fetch", "-q", "origin", "+" + k_ref + ":" + k_ref}, work)
                .exit_code,
            0);
  const auto checked = kolvex_in(work, {"log", "--check", "attested", base + "..HEAD"});
  EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
}

TEST_F(NotesTeamE2E, EveryPathThatWritesARecordWritesItsNote)
{
  const auto ana = join("Ana");
  // attest add --commit: the upgrade of a commit recorded without an attestation.
  const std::string plain = ana->commit_file("plain.txt", "plain\n", "fix: plain");
  EXPECT_THAT(ana->git({"notes", "--ref=kolvex", "show", plain}), HasSubstr("commit_unattested"));
  (void)kolvex::testing::attest_staged(*ana, "attested after the fact");
  ASSERT_EQ(kolvex_in(ana->path(), {"attest", "add", "--commit", plain}).exit_code, 0);
  const std::string upgraded = ana->git({"notes", "--ref=kolvex", "show", plain});
  EXPECT_THAT(upgraded, HasSubstr("attested after the fact"));
  EXPECT_THAT(upgraded, Not(HasSubstr("commit_unattested")));

  // The session start's catch-up of a commit no hook recorded.
  ana->git({"config", "core.hooksPath", "/dev/null"});
  const std::string missed = ana->commit_file("missed.txt", "missed\n", "fix: missed");
  ana->git({"config", "core.hooksPath", ".git/hooks"});
  ASSERT_EQ(kolvex_in(ana->path(), {"session-start"}).exit_code, 0);
  EXPECT_THAT(ana->git({"notes", "--ref=kolvex", "show", missed}), HasSubstr(missed));
}

// Signing with real ssh keys: one the allowed-signers file trusts, one it does not.
class SignedNotesE2E : public NotesTeamE2E {
protected:
  void SetUp() override
  {
    NotesTeamE2E::SetUp();
    for (const char* name : {"trusted", "stranger"}) {
      ASSERT_EQ(kolvex::testing::run({"ssh-keygen",
                                      "-q",
                                      "-t",
                                      "ed25519",
                                      "-N",
                                      "",
                                      "-C",
                                      name,
                                      "-f",
                                      (keys.path() / name).string()},
                                     keys.path())
                    .exit_code,
                0);
    }
    keys.write("allowed_signers", "dev@example.com " + keys.read("trusted.pub"));
    clone = join("Ana");
    clone->git({"config", "gpg.format", "ssh"});
    sign_with("trusted");
    clone->git(
        {"config", "gpg.ssh.allowedSignersFile", (keys.path() / "allowed_signers").string()});
  }

  void sign_with(const std::string& key) const
  {
    clone->git({"config", "user.signingKey", (keys.path() / key).string()});
  }

  [[nodiscard]] kolvex::core::process::Result check_signed() const
  {
    return kolvex_in(clone->path(), {"log", "--check", "signed", base + "..HEAD"});
  }

  std::string commit(const std::string& summary) const
  {
    return kolvex::testing::attested_commit(*clone, summary + ".txt", summary + "\n", summary);
  }

  TempDir keys;
  std::unique_ptr<TempRepo> clone;
};

TEST_F(SignedNotesE2E, OnlyRecordsSignedByATrustedKeyOverTheirOwnCommitPass)
{
  const std::string one = commit("one");
  const std::string two = commit("two");
  EXPECT_THAT(clone->git({"notes", "--ref=kolvex", "show", one}),
              HasSubstr("\"kolvex_signature\": {\"format\": \"ssh\""));
  const auto good = check_signed();
  EXPECT_EQ(good.exit_code, 0) << good.out << good.err;
  const std::string notes_tip = clone->git({"rev-parse", k_ref});
  // `signed` implies `attested`, and a forged attested note is not signed.
  const auto forged_on = [this](const std::string& sha, const std::string& text) {
    clone->git({"notes", "--ref=kolvex", "add", "-f", "-m", text, sha});
  };

  struct Forgery {
    std::string what;
    std::function<std::string()> make; // returns the commit it spoils
    std::string why;
  };
  const std::vector<Forgery> forgeries{
      {"an unsigned note",
       [&] {
         const std::string sha = clone->commit_file("u.txt", "u\n", "fix: u");
         forged_on(sha, R"({"commit": ")" + sha + R"(", "summary": "forged"})");
         return sha;
       },
       "unsigned"},
      {"a key the allowed signers do not list",
       [&] {
         sign_with("stranger");
         const std::string sha = commit("strange");
         sign_with("trusted");
         return sha;
       },
       "signed by a key not in"},
      {"an edited note",
       [&] {
         std::string note = clone->git({"notes", "--ref=kolvex", "show", two});
         note.replace(note.find("\"two\""), 5, "\"TWO\"");
         forged_on(two, note);
         return two;
       },
       "does not match this record"},
      {"a note copied to another commit",
       [&] {
         const std::string sha = clone->commit_file("c.txt", "c\n", "fix: c");
         clone->git({"notes", "--ref=kolvex", "copy", "-f", one, sha});
         return sha;
       },
       "no note"},
      {"a copied note naming its new commit",
       [&] {
         const std::string sha = clone->commit_file("d.txt", "d\n", "fix: d");
         std::string note = clone->git({"notes", "--ref=kolvex", "show", one});
         for (std::size_t at = note.find(one); at != std::string::npos; at = note.find(one, at)) {
           note.replace(at, one.size(), sha);
         }
         forged_on(sha, note);
         return sha;
       },
       "does not match this record"},
  };
  for (const Forgery& forgery : forgeries) {
    SCOPED_TRACE(forgery.what);
    const std::string spoiled = forgery.make();
    const auto checked = check_signed();
    EXPECT_EQ(checked.exit_code, 1) << checked.out << checked.err;
    EXPECT_THAT(checked.err, HasSubstr("not signed: " + spoiled));
    EXPECT_THAT(checked.err, HasSubstr(forgery.why));
    EXPECT_THAT(checked.err, Not(HasSubstr("not signed: " + one)));
    // Back to the clean range for the next case.
    clone->git({"reset", "-q", "--hard", two});
    clone->git({"update-ref", k_ref, notes_tip});
  }
}

TEST_F(SignedNotesE2E, WithoutTheToolOrATrustSetUpTheCheckSaysSoAndExits2)
{
  (void)commit("one");
  TempDir bin;
  stdfs::create_symlink("/usr/bin/git", bin.path() / "git");
  {
    kolvex::testing::ScopedEnv no_ssh;
    no_ssh.set("PATH", bin.path().string());
    const auto missing = check_signed();
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_THAT(missing.err, HasSubstr("ssh-keygen is not installed"));
  }
  clone->write("trust", keys.read("allowed_signers"));
  for (const std::string& trust : {std::string("trust"), (clone->path() / "trust").string()}) {
    clone->git({"config", "gpg.ssh.allowedSignersFile", trust});
    const auto refused = check_signed();
    EXPECT_EQ(refused.exit_code, 2) << trust;
  }
  clone->git({"config", "--unset", "gpg.ssh.allowedSignersFile"});
  const auto unset = check_signed();
  EXPECT_EQ(unset.exit_code, 2);
  EXPECT_THAT(unset.err, HasSubstr("gpg.ssh.allowedSignersFile is not set"));
}

TEST_F(SignedNotesE2E, WithoutAKeyRecordsAreWrittenUnsigned)
{
  clone->git({"config", "--unset", "user.signingKey"});
  const std::string one = commit("one");
  const std::string note = clone->git({"notes", "--ref=kolvex", "show", one});
  EXPECT_THAT(note, Not(HasSubstr("kolvex_signature")));
  EXPECT_EQ(kolvex_in(clone->path(), {"log", "--check", "attested", base + "..HEAD"}).exit_code, 0);
  const auto checked = check_signed();
  EXPECT_EQ(checked.exit_code, 1);
  EXPECT_THAT(checked.err, HasSubstr("not signed: " + one));
}

} // namespace
