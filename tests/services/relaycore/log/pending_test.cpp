#include "services/relaycore/log/pending.hpp"

#include "core/fs.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace paths = kolvex::paths;

using kolvex::agents::ScopedAdapters;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::services::relaycore::log::_find_commit_by_diff_hash;
using kolvex::services::relaycore::log::_parse_attestation_yaml;
using kolvex::services::relaycore::log::attach_pending_attestation;
using kolvex::services::relaycore::log::process_pending_attestation;
using kolvex::testing::archive_exists;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::ScopedEnv;
using kolvex::testing::staged_diff_hash;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
namespace stdfs = std::filesystem;

namespace {

const std::string k_pending = ".kolvex/.commit-attestation.yaml";

class Pending : public kolvex::testing::ScratchRepoTest {
protected:
  // Stages `rel` with `content`, returns the hash an agent would attest, commits.
  std::pair<std::string, std::string>
  attested_commit(const std::string& rel, const std::string& content, const std::string& message)
  {
    repo.write(rel, content);
    repo.git({"add", "--", rel});
    const std::string hash = staged_diff_hash(repo);
    repo.git({"commit", "-q", "-m", message});
    return {hash, repo.git({"rev-parse", "HEAD"})};
  }

  void write_pending(const std::string& body) const { repo.write(k_pending, body); }

  ScopedAdapters no_harness{{}};
};

} // namespace

// ---- Which commit an attestation belongs to ---------------------------------------

TEST_F(Pending, FilesUnderTheCommitWhoseDiffMatchesNotTheOverride)
{
  const auto [hash, older] = attested_commit("a.txt", "a\n", "first");
  const std::string head = repo.commit_file("b.txt", "b\n", "second");
  write_pending("---\nstaged_diff_hash: " + hash + "\nsummary: first change\n---\n");

  const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
  EXPECT_TRUE(result.found);
  EXPECT_EQ(result.matched_commit, older);
  EXPECT_FALSE(result.error);
  EXPECT_TRUE(archive_exists(repo, older));
  EXPECT_FALSE(archive_exists(repo, head));
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(parsed_line(lines[0]).find("commit")->as_string(), older);
  EXPECT_FALSE(stdfs::exists(repo.path() / k_pending));

  // Consumed: a second call finds nothing and touches nothing.
  const auto again = process_pending_attestation(repo.path(), {.commit_override = head});
  EXPECT_FALSE(again.found);
  EXPECT_FALSE(again.matched_commit);
  EXPECT_EQ(log_lines(repo).size(), 1U);
}

TEST_F(Pending, NoMatchFilesUnderTheOverrideElseHead)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  write_pending("staged_diff_hash: " + std::string(64, 'f') + "\n");
  auto result = process_pending_attestation(repo.path(), {.commit_override = "feedface"});
  EXPECT_EQ(result.matched_commit, "feedface");
  EXPECT_TRUE(archive_exists(repo, "feedface"));

  write_pending("summary: no hash at all\n");
  result = process_pending_attestation(repo.path());
  EXPECT_TRUE(result.found);
  EXPECT_FALSE(result.matched_commit);
  EXPECT_TRUE(archive_exists(repo, head));
}

TEST_F(Pending, DiffHashWindowIsTwentyCommits)
{
  const auto [hash, oldest] = attested_commit("f0.txt", "0\n", "c0");
  for (int i = 1; i <= 20; ++i) {
    repo.commit_file("f" + std::to_string(i) + ".txt", std::to_string(i) + "\n", "c");
  }
  // `oldest` is now the 21st commit counted from HEAD.
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), hash), std::nullopt);
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), hash, 21), oldest);
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), ""), std::nullopt);
}

TEST_F(Pending, RootAndMergeCommitsAreDiffedAgainstTheEmptyTree)
{
  const auto [root_hash, root] = attested_commit("a.txt", "a\n", "root");
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), root_hash), root);

  repo.git({"checkout", "-q", "-b", "side"});
  repo.commit_file("side.txt", "s\n", "side");
  repo.git({"checkout", "-q", "main"});
  repo.commit_file("main.txt", "m\n", "main");
  repo.git({"merge", "-q", "--no-edit", "side"});
  const std::string merge = repo.git({"rev-parse", "HEAD"});
  const auto whole_tree = kolvex::testing::run(
      {"git", "diff", std::string(kolvex::services::relaycore::log::EMPTY_TREE_SHA1), merge},
      repo.path());
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), kolvex::core::sha256_hex(whole_tree.out)),
            merge);
}

TEST_F(Pending, CrLfInTheDiffHashesAsLf)
{
  repo.write("win.txt", "one\r\ntwo\r\n");
  repo.git({"add", "win.txt"});
  const auto staged = kolvex::testing::run({"git", "diff", "--staged"}, repo.path());
  ASSERT_NE(staged.out.find("\r\n"), std::string::npos);
  std::string lf_only;
  for (std::size_t i = 0; i < staged.out.size(); ++i) {
    if (!(staged.out[i] == '\r' && i + 1 < staged.out.size() && staged.out[i + 1] == '\n')) {
      lf_only += staged.out[i];
    }
  }
  repo.git({"commit", "-q", "-m", "crlf"});
  const std::string head = repo.git({"rev-parse", "HEAD"});
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), kolvex::core::sha256_hex(lf_only)), head);
  // The hash `kolvex attest` takes of the raw pipeline output finds it too.
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), kolvex::core::sha256_hex(staged.out)), head);
}

TEST_F(Pending, SearchesTheGivenRepositoryNotTheWorkingDirectory)
{
  const auto [hash, sha] = attested_commit("a.txt", "a\n", "first");
  TempRepo elsewhere;
  elsewhere.commit_file("b.txt", "b\n", "other");
  env.chdir(elsewhere.path());
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), hash), sha);
}

// A git that hangs must not hang the commit hook: the search gives up after the
// first call that runs out of time.
TEST_F(Pending, SlowHungGitEndsTheSearch)
{
  TempDir bin;
  const auto calls = bin.path() / "calls";
  bin.write("git",
            "#!/bin/sh\n"
            "echo \"$1\" >> '" +
                calls.string() +
                "'\n"
                "if [ \"$1\" = log ]; then printf '%040d\\n%040d\\n' 1 2; exit 0; fi\n"
                "exec sleep 60\n");
  ::chmod((bin.path() / "git").c_str(), 0755);
  ScopedEnv env;
  env.set("PATH", bin.path().string() + ":/usr/bin:/bin");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(_find_commit_by_diff_hash(repo.path(), std::string(64, 'a')), std::nullopt);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  EXPECT_EQ(bin.read("calls"), "log\ndiff-tree\n");
}

// ---- Reading the pending file ---------------------------------------------------------

TEST(ParseAttestationYaml, MarkersMalformedAndNonMappingsGiveAnEmptyMap)
{
  EXPECT_EQ(_parse_attestation_yaml("---\n---\n"), Map{});
  EXPECT_EQ(_parse_attestation_yaml(""), Map{});
  EXPECT_EQ(_parse_attestation_yaml("key: [unclosed\n"), Map{});
  EXPECT_EQ(_parse_attestation_yaml("- a\n- b\n"), Map{});
  EXPECT_EQ(_parse_attestation_yaml("just text\n"), Map{});
  EXPECT_EQ(_parse_attestation_yaml("---\nsummary: s\nn: 1\n---\n"),
            (Map{{"summary", "s"}, {"n", 1}}));
}

TEST_F(Pending, MarkersOnlyFileIsFiledWithEmptyFields)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  write_pending("---\n---\n");
  const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
  EXPECT_FALSE(result.error);
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0],
            "{\"commit\": \"" + head +
                "\", \"branch\": \"main\", \"timestamp\": \"\", \"agent\": \"\", \"summary\": "
                "\"\", \"synced\": false, \"developer\": {\"git_author_name\": \"Test Dev\", "
                "\"git_author_email\": \"dev@example.com\"}}");
}

TEST_F(Pending, UnreadableFileIsKeptWithTheError)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  stdfs::create_directories(repo.path() / k_pending); // a directory cannot be read
  ::testing::internal::CaptureStderr();
  const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
  const std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(result.found);
  ASSERT_TRUE(result.error);
  EXPECT_NE(logged.find("Could not read attestation file: "), std::string::npos);
  EXPECT_TRUE(stdfs::is_directory(repo.path() / k_pending));
  EXPECT_FALSE(archive_exists(repo, head));
}

// ---- Filing ---------------------------------------------------------------------------

TEST_F(Pending, FailingLogWriteKeepsThePendingFile)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  stdfs::create_directories(kolvex::paths::log_jsonl(repo.path())); // the log is a directory
  write_pending("summary: keep me\n");
  ::testing::internal::CaptureStderr();
  const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
  const std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(result.found);
  ASSERT_TRUE(result.error);
  EXPECT_FALSE(result.error->empty());
  EXPECT_NE(logged.find("Could not archive attestation: "), std::string::npos);
  EXPECT_EQ(repo.read(k_pending), "summary: keep me\n");
}

TEST_F(Pending, LegacyLogIsMergedBeforeTheNewLineUnderThePendingFileOnly)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvex/.platform/log.jsonl", "{\"commit\": \"current\"}\n");
  repo.write(".kolvexlog", "{\"commit\": \"legacy-1\"}\n{\"commit\": \"legacy-2\"}\n");

  // Without a pending file the legacy log is left alone.
  EXPECT_FALSE(process_pending_attestation(repo.path()).found);
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvexlog"));

  write_pending("summary: s\n");
  ASSERT_FALSE(process_pending_attestation(repo.path(), {.commit_override = head}).error);
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[0], "{\"commit\": \"current\"}");
  EXPECT_EQ(lines[1], "{\"commit\": \"legacy-1\"}");
  EXPECT_EQ(lines[2], "{\"commit\": \"legacy-2\"}");
  EXPECT_EQ(parsed_line(lines[3]).find("commit")->as_string(), head);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvexlog"));
}

// Lines without their final newline on either side would otherwise be glued into
// one line that no reader can parse, losing two records.
TEST_F(Pending, LegacyMergeNeverGluesTwoLinesTogether)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvex/.platform/log.jsonl", "{\"commit\": \"current\"}");
  repo.write(".kolvexlog", "{\"commit\": \"legacy\"}");
  write_pending("summary: s\n");
  ASSERT_FALSE(process_pending_attestation(repo.path(), {.commit_override = head}).error);
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0], "{\"commit\": \"current\"}");
  EXPECT_EQ(lines[1], "{\"commit\": \"legacy\"}");
  EXPECT_EQ(parsed_line(lines[2]).find("commit")->as_string(), head);
}

// A legacy log written by another tool in another encoding: what it adds to the log
// is UTF-8 (U+FFFD for each bad sequence, as git's output is read), so the log
// stays readable and its records countable.
TEST_F(Pending, LegacyLogThatIsNotUtf8IsMergedAsUtf8)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvexlog",
             "{\"commit\": \"" + std::string(40, 'a') + "\", \"summary\": \"caf\xe9 \xc0\xaf\"}\n");
  write_pending("summary: s\n");
  ASSERT_FALSE(process_pending_attestation(repo.path(), {.commit_override = head}).error);
  const std::string log = repo.read(".kolvex/.platform/log.jsonl");
  EXPECT_TRUE(kolvex::core::fs::is_valid_utf8(log));
  EXPECT_NE(log.find("caf\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\""), std::string::npos) << log;
  const auto read = kolvex::services::relaycore::log::read_attestation_log(
      paths::confined(kolvex::paths::log_jsonl(repo.path())));
  EXPECT_EQ(read.size(), 2U);
  EXPECT_EQ(read.corrupt, 0);
}

// A legacy log that is a link would copy whatever it points at into the log (and
// the link would then be deleted): it is left alone, and the commit still gets
// its record.
TEST_F(Pending, LegacyLogThatIsALinkIsNeitherReadNorRemoved)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  TempDir outside;
  const auto secret = outside.write("secret", "{\"token\": \"hunter2\"}\n");
  stdfs::create_symlink(secret, repo.path() / ".kolvexlog");
  write_pending("summary: s\n");
  ::testing::internal::CaptureStderr();
  const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
  const std::string logged = ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(result.error);
  EXPECT_NE(logged.find("refusing " + (repo.path() / ".kolvexlog").string()), std::string::npos)
      << logged;
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(parsed_line(lines[0]).find("commit")->as_string(), head);
  EXPECT_TRUE(stdfs::is_symlink(repo.path() / ".kolvexlog"));
  EXPECT_EQ(outside.read("secret"), "{\"token\": \"hunter2\"}\n");
}

TEST_F(Pending, ProcessSectionWithoutAnyLedgerIsDropped)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  write_pending("summary: s\nprocess:\n  slug: no-such-change\n  events: 3\n");
  ASSERT_FALSE(process_pending_attestation(repo.path(), {.commit_override = head}).error);
  EXPECT_EQ(kolvex::testing::archive_of(repo, head).find("process"), std::string::npos);
}

TEST_F(Pending, AttachRewritesTheCommitsLineInPlace)
{
  const std::string first = repo.commit_file("a.txt", "a\n", "first");
  const std::string head = repo.commit_file("b.txt", "b\n", "second");
  namespace capture = kolvex::services::relaycore::capture;
  ASSERT_TRUE(capture::capture_commit(repo.path(), first).written);
  ASSERT_TRUE(capture::capture_commit(repo.path(), head).written);
  // Pretend the first line was uploaded: attaching must send it again.
  const auto log_path = kolvex::paths::log_jsonl(repo.path());
  auto lines = log_lines(repo);
  lines[0].replace(lines[0].find("\"synced\": false"), 15, "\"synced\": true");
  repo.write(".kolvex/.platform/log.jsonl", lines[0] + "\n" + lines[1] + "\n");

  EXPECT_EQ(attach_pending_attestation(repo.path(), first.substr(0, 8)).reason,
            "no pending attestation file");
  write_pending("agent: codex\nsummary: the real story\n");
  const auto result = attach_pending_attestation(repo.path(), first.substr(0, 8));
  EXPECT_TRUE(result.written);
  EXPECT_TRUE(result.attested);
  EXPECT_EQ(result.commit, first);
  lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 2U);
  const Map line = parsed_line(lines[0]);
  EXPECT_EQ(line.find("commit")->as_string(), first);
  EXPECT_EQ(line.find("summary")->as_string(), "the real story");
  EXPECT_EQ(*line.find("synced"), Value(false));
  EXPECT_FALSE(line.contains("event"));
  EXPECT_EQ(parsed_line(lines[1]).find("commit")->as_string(), head);
  EXPECT_NE(kolvex::testing::archive_of(repo, first).find("the real story"), std::string::npos);

  const auto missing = attach_pending_attestation(repo.path(), "nope");
  EXPECT_EQ(missing.commit, "nope");
  EXPECT_EQ(missing.reason, "no such commit in this repo");
}

// ---- A pending file that cannot be an attestation ---------------------------------------

TEST_F(Pending, UnusableFilesAreSetAsideWithAWarningAndNothingFiled)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  const std::string rejected = ".kolvex/.commit-attestation.yaml.rejected";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"summary: [unclosed\n", "not valid YAML"},
      {"---\n- a list\n- of things\n---\n", "not a mapping of fields but a list"},
      {"just text\n", "not a mapping of fields but a str"},
      {"summary: ok\ndeveloper: someone\n", "developer: a str where a mapping belongs"},
      {"summary:\n  nested: map\n", "summary: a dict where text belongs"},
      {"summary: caf\xe9\n", "not valid UTF-8"},
      {"summary: " + std::string(5U << 20, 'x') + "\n", "larger than 4 MiB"},
  };
  for (const auto& [content, why] : cases) {
    SCOPED_TRACE(why);
    write_pending(content);
    ::testing::internal::CaptureStderr();
    const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
    const std::string logged = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(result.found);
    EXPECT_FALSE(result.error);
    ASSERT_TRUE(result.rejected);
    EXPECT_NE(result.rejected->find(why), std::string::npos) << *result.rejected;
    EXPECT_NE(logged.find("cannot be used (" + *result.rejected + "); it was moved to"),
              std::string::npos)
        << logged;
    EXPECT_FALSE(stdfs::exists(repo.path() / k_pending));
    // A later rejection replaces the earlier one, byte for byte.
    EXPECT_EQ(repo.read(rejected), content);
    EXPECT_FALSE(archive_exists(repo, head));
    EXPECT_FALSE(stdfs::exists(kolvex::paths::log_jsonl(repo.path())));
  }
  // An empty document is an empty attestation, not an unusable one.
  write_pending("---\n---\n");
  EXPECT_FALSE(process_pending_attestation(repo.path(), {.commit_override = head}).rejected);
  EXPECT_TRUE(archive_exists(repo, head));
}

TEST_F(Pending, AnEmptyListOrMapWhereAMappingBelongsIsEmptyNotWrong)
{
  int n = 0;
  for (const std::string field : {"developer", "telemetry", "process", "provenance"}) {
    for (const std::string empty : {"[]", "{}"}) {
      SCOPED_TRACE(field + ": " + empty);
      const std::string head = repo.commit_file(std::to_string(++n) + ".txt", "x\n", "change");
      write_pending("summary: s\n" + field + ": " + empty + "\n");
      const auto result = process_pending_attestation(repo.path(), {.commit_override = head});
      EXPECT_FALSE(result.rejected) << *result.rejected;
      EXPECT_THAT(kolvex::testing::archive_of(repo, head), ::testing::HasSubstr("summary: s"));
    }
  }
  const std::string head = repo.commit_file("last.txt", "x\n", "change");
  write_pending("summary: s\ndeveloper: [someone]\n");
  ::testing::internal::CaptureStderr();
  const auto listed = process_pending_attestation(repo.path(), {.commit_override = head});
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(listed.rejected);
  EXPECT_EQ(*listed.rejected, "developer: a list where a mapping belongs");
}

TEST_F(Pending, AttachRefusesAnUnusableFileAndSaysWhereItWent)
{
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  write_pending("- not\n- a mapping\n");
  ::testing::internal::CaptureStderr();
  const auto result = attach_pending_attestation(repo.path(), head);
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(result.written);
  EXPECT_NE(result.reason.find("cannot be used"), std::string::npos) << result.reason;
  EXPECT_NE(result.reason.find(".commit-attestation.yaml.rejected"), std::string::npos);
}
