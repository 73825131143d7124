// The git file parsers on the forms git writes and on the ones they must hand back
// to git (Unusual) rather than read some other way.
#include "core/git_files.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace git = kolvex::core::git;

const std::string k_a(40, 'a');
const std::string k_b(40, 'b');

std::string commit_object(const std::string& body)
{
  return "commit " + std::to_string(body.size()) + std::string(1, '\0') + body;
}

std::string commit_body(const std::string& author, const std::string& message)
{
  return "tree " + k_a + "\nparent " + k_b + "\nauthor " + author + "\ncommitter " + author +
         "\n\n" + message;
}

struct Unreadable {
  const char* name;
  // Throws Unusual for this input, or the test fails.
  void (*parse)();
};

class GitFilesRefused : public ::testing::TestWithParam<Unreadable> {};

TEST_P(GitFilesRefused, IsLeftToGit)
{
  EXPECT_THROW(GetParam().parse(), git::Unusual);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs,
    GitFilesRefused,
    ::testing::Values(
        Unreadable{"RefWithoutNewline", [] { (void)git::parse_ref_file(k_a); }},
        Unreadable{"ShortObjectName", [] { (void)git::parse_ref_file("abc\n"); }},
        Unreadable{"SymrefWithSpace", [] { (void)git::parse_ref_file("ref: refs/heads/a b\n"); }},
        Unreadable{"GitfileOtherKey", [] { (void)git::parse_gitfile("worktree: /x\n"); }},
        Unreadable{"PackedRefsTorn",
                   [] { (void)git::packed_ref(k_a + " refs/heads/main", "refs/heads/main"); }},
        Unreadable{"PackedRefsGarbage",
                   [] { (void)git::packed_ref("not a ref line\n", "refs/heads/main"); }},
        Unreadable{"ReflogTornLastLine",
                   [] {
                     (void)git::newest_reflog_entry(k_a + " " + k_b +
                                                    " A <a@b> 1700000000 +0000\tcommit: x");
                   }},
        Unreadable{"ReflogSignedTime",
                   [] {
                     (void)git::newest_reflog_entry(k_a + " " + k_b +
                                                    " A <a@b> +17 +0000\tcommit: x\n");
                   }},
        Unreadable{
            "ReflogZeroTime",
            [] { (void)git::newest_reflog_entry(k_a + " " + k_b + " A <a@b> 0 +0000\tx\n"); }},
        Unreadable{"CommitOfAnotherSize",
                   [] {
                     (void)git::parse_commit_object("commit 999" + std::string(1, '\0') +
                                                    commit_body("A <a@b> 1 +0000", "s\n"));
                   }},
        Unreadable{"TreeObject",
                   [] { (void)git::parse_commit_object("tree 0" + std::string(1, '\0')); }},
        Unreadable{
            "AuthorWithoutDate",
            [] { (void)git::parse_commit_object(commit_object(commit_body("A <a@b>", "s"))); }},
        Unreadable{"AuthorWithTwoClosingBrackets",
                   [] {
                     (void)git::parse_commit_object(
                         commit_object(commit_body("A <a@b> > 1 +0000", "s")));
                   }},
        Unreadable{"ZoneCarriesBeforeTheEpoch", [] { (void)git::iso8601_strict(60, -200); }}),
    [](const ::testing::TestParamInfo<Unreadable>& info) { return info.param.name; });

TEST(GitFiles, BranchNamesGitWouldRefuseAreNotPlain)
{
  for (const char* name : {"main", "fix/the-bug", "caf\xc3\xa9", "v1.2"}) {
    EXPECT_TRUE(git::plain_branch_name(name)) << name;
  }
  for (const char* name : {"", "a..b", "a/.hidden", "x.lock", "a b", "a~1", "a/", "@", "a@{1"}) {
    EXPECT_FALSE(git::plain_branch_name(name)) << name;
  }
}

TEST(GitFiles, CommitAuthorAsGitPrintsIt)
{
  const auto commit = git::parse_commit_object(commit_object(
      "tree " + k_a +
      "\nauthor Old <o@x> 1 +0000\nauthor  Ann  Lee  <ann@x> 1700000000 -0930\n"
      "committer C <c@x> 2 +0100\ngpgsig -----BEGIN-----\n author Fake <f@x> 3 +0000\n\n\n  \n"
      "subject\n"));
  EXPECT_EQ(commit.author.name, " Ann  Lee");
  EXPECT_EQ(commit.author.tz, -930);
  EXPECT_EQ(commit.committer.name, "C");
  EXPECT_EQ(git::parse_commit_object(commit_object(commit_body("A <a@b> 1 +0000", ""))).subject,
            "");
}

TEST(GitFiles, ConfigThatChangesHowARepositoryIsReadIsNotPlain)
{
  git::UserConfig user;
  EXPECT_TRUE(git::plain_config("[core]\n\tbare = false\n\thooksPath = .git/hooks\n"
                                "[remote \"origin\"]\n\turl = x # comment\n"
                                "[User]\n\tName = Ann Lee\n\temail = a@x\n[user]\n\tname = Bo\n",
                                &user));
  EXPECT_EQ(user.name, "Bo");
  EXPECT_EQ(user.email, "a@x");
  EXPECT_TRUE(user.plain);
  for (const char* text : {"[extensions]\n\tobjectFormat = sha256\n",
                           "[include]\n\tpath = x\n",
                           "[includeIf \"gitdir:~/\"]\n\tpath = x\n",
                           "[core]\n\tworktree = ../w\n",
                           "[core]\n\tbare = true\n",
                           "[i18n]\n\tlogOutputEncoding = latin1\n",
                           "[log]\n\tshowSignature = true\n",
                           "[core] bare = true\n",
                           "[core]\n\tsshCommand = ssh \\\n -v\n"}) {
    EXPECT_FALSE(git::plain_config(text)) << text;
  }
  git::UserConfig quoted;
  EXPECT_TRUE(git::plain_config("[user]\n\tname = \"Ann \"\n", &quoted));
  EXPECT_FALSE(quoted.plain);
}

} // namespace
