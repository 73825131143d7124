#include "services/relaycore/log/git.hpp"

#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using kolvex::services::relaycore::log::_git;
using kolvex::services::relaycore::log::_git_rev_parse;
using kolvex::services::relaycore::log::_is_valid_commit_hash;
using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
namespace stdfs = std::filesystem;

// Makes `dir/git` an executable shell script with `body`, and puts `dir` first on
// PATH until `env` goes.
void install_fake_git(ScopedEnv& env, const TempDir& dir, const std::string& body)
{
  const auto script = dir.write("git", "#!/bin/sh\n" + body);
  ::chmod(script.c_str(), 0755);
  const char* old_path = std::getenv("PATH");
  const std::string path = dir.path().string() + ":" + (old_path ? old_path : "");
  env.set("PATH", path);
}

TEST(GitQuery, DirectoryOutsideAnyRepositoryHasNoAnswer)
{
  // The process itself stands in a repository with a HEAD; the answer must be about
  // the directory asked, never about the current one.
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "first");
  ScopedEnv env;
  env.chdir(repo.path());
  TempDir outside;
  env.set("GIT_CEILING_DIRECTORIES", outside.path().parent_path().string());

  EXPECT_EQ(_git({"rev-parse", "HEAD"}, outside.path()), "");
  EXPECT_EQ(_git_rev_parse({"HEAD"}, outside.path()), "unknown");
  EXPECT_EQ(_git_rev_parse({"--abbrev-ref", "HEAD"}, outside.path()), "unknown");
}

TEST(GitQuery, MissingDirectoryHasNoAnswer)
{
  TempDir dir;
  const auto missing = dir.path() / "does" / "not" / "exist";
  EXPECT_EQ(_git({"status"}, missing), "");
  EXPECT_EQ(_git_rev_parse({"HEAD"}, missing), "unknown");
}

TEST(GitQuery, MissingGitExecutableHasNoAnswer)
{
  TempRepo repo;
  TempDir empty_bin;
  ScopedEnv env;
  env.set("PATH", empty_bin.path().string());
  EXPECT_EQ(_git({"rev-parse", "HEAD"}, repo.path()), "");
  EXPECT_EQ(_git_rev_parse({"HEAD"}, repo.path()), "unknown");
}

TEST(GitQuery, AnswersAreTrimmedAndEmptyMeansUnknown)
{
  TempRepo repo;
  const auto sha = repo.commit_file("a.txt", "a\n", "  spaced subject  ");

  const auto head = _git({"rev-parse", "HEAD"}, repo.path());
  EXPECT_EQ(head, sha);
  EXPECT_TRUE(_is_valid_commit_hash(head));
  EXPECT_EQ(_git_rev_parse({"HEAD"}, repo.path()), sha);
  EXPECT_EQ(_git_rev_parse({"--abbrev-ref", "HEAD"}, repo.path()), "main");
  // Multi-line answers keep their inner newlines; only the ends are trimmed.
  EXPECT_EQ(_git({"show", "-s", "--format=%n%an%n%ae%n", "HEAD"}, repo.path()),
            "Test Dev\ndev@example.com");
  // Success with whitespace-only output is no answer.
  EXPECT_EQ(_git({"log", "-1", "--format=%n"}, repo.path()), "");
  EXPECT_EQ(_git_rev_parse({}, repo.path()), "unknown");
  // A refusal (non-zero exit) is no answer, whatever git printed.
  EXPECT_EQ(_git({"rev-parse", "--verify", "no-such-branch^{commit}"}, repo.path()), "");
  EXPECT_EQ(_git_rev_parse({"--verify", "no-such-branch^{commit}"}, repo.path()), "unknown");
}

TEST(GitQuery, DetachedHeadIsReportedAsGitSaysIt)
{
  TempRepo repo;
  const auto first = repo.commit_file("a.txt", "a\n", "first");
  repo.commit_file("a.txt", "b\n", "second");
  repo.git({"checkout", "-q", "--detach", first});

  EXPECT_EQ(_git_rev_parse({"--abbrev-ref", "HEAD"}, repo.path()), "HEAD");
  EXPECT_EQ(_git_rev_parse({"HEAD"}, repo.path()), first);
  EXPECT_EQ(_git_rev_parse({"--verify", first.substr(0, 10) + "^{commit}"}, repo.path()), first);
}

TEST(GitQuery, InvalidUtf8OutputIsReplacedNotFatal)
{
  TempRepo repo;
  // git would re-encode a message it finds invalid as UTF-8; declared Latin-1, the
  // bytes are stored and printed as written.
  repo.write("a.txt", "a\n");
  repo.git({"add", "a.txt"});
  const auto message = repo.write("msg.txt", std::string("bad \xff\xfe bytes\n"));
  repo.git({"-c", "i18n.commitEncoding=ISO-8859-1", "commit", "-q", "-F", message.string()});
  EXPECT_EQ(
      _git({"-c", "i18n.logOutputEncoding=ISO-8859-1", "log", "-1", "--format=%s"}, repo.path()),
      "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");

  // Blobs are printed as stored; a truncated sequence is one replacement character.
  repo.commit_file("bad.txt", std::string("x \xc3\x28 \xe2\x82 end\n"), "raw bytes");
  EXPECT_EQ(_git({"show", "HEAD:bad.txt"}, repo.path()), "x \xEF\xBF\xBD( \xEF\xBF\xBD end");
}

TEST(GitQuerySlow, HangingGitIsAbandonedAfterTheLimit)
{
  TempDir bin;
  TempDir scratch;
  const auto pid_file = scratch.path() / "sleeper.pid";
  // The sleeper is a grandchild: it must die with the group, or it would hold the
  // captured pipes open past the limit.
  ScopedEnv env;
  install_fake_git(env, bin, "sleep 60 &\necho $! > '" + pid_file.string() + "'\nwait\n");

  const auto start = std::chrono::steady_clock::now();
  const auto answer = _git_rev_parse({"HEAD"}, scratch.path());
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(answer, "unknown");
  EXPECT_GE(elapsed, std::chrono::seconds(9));
  EXPECT_LT(elapsed, std::chrono::seconds(30));

  std::ifstream in(pid_file);
  pid_t sleeper = 0;
  ASSERT_TRUE(in >> sleeper);
  // Once killed it is reaped by whoever adopted it; give that a moment.
  bool gone = false;
  for (int i = 0; i < 50 && !gone; ++i) {
    std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
    std::string pid, name, state;
    gone = !(stat >> pid >> name >> state) || state == "Z";
    if (!gone) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  EXPECT_TRUE(gone) << "the sleeping grandchild " << sleeper << " outlived the time-out";
}

TEST(GitHash, AcceptsOnlyFullLowerCaseObjectNames)
{
  const std::string sha1(40, 'a');
  const std::string sha256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  EXPECT_TRUE(_is_valid_commit_hash(sha1));
  EXPECT_TRUE(_is_valid_commit_hash(sha256));
  EXPECT_TRUE(_is_valid_commit_hash("0123456789abcdef0123456789abcdef01234567"));

  EXPECT_FALSE(_is_valid_commit_hash(std::string(39, 'a')));
  EXPECT_FALSE(_is_valid_commit_hash(std::string(41, 'a')));
  EXPECT_FALSE(_is_valid_commit_hash(std::string(63, 'a')));
  EXPECT_FALSE(_is_valid_commit_hash(std::string(65, 'a')));
  EXPECT_FALSE(_is_valid_commit_hash(std::string(40, 'A')));
  EXPECT_FALSE(_is_valid_commit_hash("0123456789ABCDEF0123456789abcdef01234567"));
  EXPECT_FALSE(_is_valid_commit_hash(std::string(39, 'a') + "g"));
  EXPECT_FALSE(_is_valid_commit_hash("abc1234"));
  EXPECT_FALSE(_is_valid_commit_hash("unknown"));
  EXPECT_FALSE(_is_valid_commit_hash(""));
  EXPECT_FALSE(_is_valid_commit_hash(sha1 + "\n"));
  EXPECT_FALSE(_is_valid_commit_hash(" " + sha1));
}

} // namespace
