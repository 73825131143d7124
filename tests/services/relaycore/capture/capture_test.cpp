#include "services/relaycore/capture/capture.hpp"

#include "support/e2e.hpp"
#include "support/fake_adapter.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

namespace paths = kolvex::paths;

using kolvex::agents::ScopedAdapters;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::services::relaycore::capture::_already_recorded;
using kolvex::services::relaycore::capture::_commit_already_logged;
using kolvex::services::relaycore::capture::_resolve_full_sha;
using kolvex::services::relaycore::capture::capture_commit;
using kolvex::services::relaycore::capture::CaptureOptions;
using kolvex::services::relaycore::capture::record_backfill;
using kolvex::services::relaycore::capture::record_commit;
using kolvex::testing::archive_exists;
using kolvex::testing::FakeAdapter;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

namespace {

const std::string k_pending = ".kolvex/.commit-attestation.yaml";

class Capture : public kolvex::testing::ScratchRepoTest {
protected:
  void SetUp() override
  {
    ScratchRepoTest::SetUp();
    claude.sessions["sess-c"] = Map{{"model", "opus"}, {"tokens", Map{{"total", 10}}}};
    codex.sessions["sess-x"] = Map{{"model", "gpt"}, {"tokens", Map{}}};
  }

  // A commit authored by someone other than the developer configured here.
  std::string foreign_commit(const std::string& rel, const std::string& message)
  {
    kolvex::testing::ScopedEnv author;
    author.set("GIT_AUTHOR_NAME", "Other Person").set("GIT_AUTHOR_EMAIL", "other@example.com");
    return repo.commit_file(rel, rel + "\n", message);
  }

  // The archived record of `sha` as a map.
  Map record_of(const std::string& sha) const
  {
    return kolvex::core::yaml::load(kolvex::testing::archive_of(repo, sha)).as_map();
  }

  FakeAdapter claude{"claude-code", "anthropic"};
  FakeAdapter codex{"codex", "openai"};
  ScopedAdapters adapters{{&claude, &codex}};
};

const Map k_here{{"git_author_name", "Test Dev"}, {"git_author_email", "dev@example.com"}};
const Map k_author{{"git_author_name", "Other Person"}, {"git_author_email", "other@example.com"}};

} // namespace

// ---- Resolving and idempotence -------------------------------------------------------

TEST_F(Capture, AbbreviatedShaIsRecordedUnderTheFullSha)
{
  const std::string sha = repo.commit_file("a", "a\n", "first");
  const auto result = capture_commit(repo.path(), sha.substr(0, 7));
  EXPECT_TRUE(result.written);
  EXPECT_EQ(result.commit, sha);
  EXPECT_TRUE(archive_exists(repo, sha));
  EXPECT_EQ(_resolve_full_sha(repo.path(), "HEAD"), sha);
  EXPECT_EQ(_resolve_full_sha(repo.path(), "HEAD^{tree}"), std::nullopt);
}

TEST_F(Capture, HeadInAnEmptyRepositoryIsNoSuchCommit)
{
  const auto result = capture_commit(repo.path(), "HEAD");
  EXPECT_FALSE(result.written);
  EXPECT_EQ(result.commit, "HEAD");
  EXPECT_EQ(result.reason, "no such commit in this repo");
  EXPECT_EQ(record_commit(repo.path()), std::nullopt);
  EXPECT_FALSE(stdfs::exists(kolvex::paths::log_jsonl(repo.path())));
}

TEST_F(Capture, SecondCaptureIsAlreadyRecordedAndWritesNothing)
{
  const std::string sha = repo.commit_file("a", "a\n", "first");
  ASSERT_EQ(record_commit(repo.path()), sha);
  const auto before = log_lines(repo);
  const auto again = capture_commit(repo.path(), sha);
  EXPECT_FALSE(again.written);
  EXPECT_EQ(again.commit, sha);
  EXPECT_EQ(again.reason, "already recorded");
  // record_commit counts a commit recorded by another trigger as recorded.
  EXPECT_EQ(record_commit(repo.path()), sha);
  EXPECT_EQ(log_lines(repo), before);
}

TEST_F(Capture, ALogLineAloneCountsAsRecorded)
{
  // The line the hook's shell fallback writes, with no archive.
  const std::string logged = repo.commit_file("b", "b\n", "second");
  repo.write(".kolvex/.platform/log.jsonl",
             "{\"commit\": \"" + logged + "\", \"agent\": \"unknown\"}\n");
  EXPECT_EQ(capture_commit(repo.path(), logged).reason, "already recorded");
  EXPECT_FALSE(archive_exists(repo, logged));
  EXPECT_EQ(log_lines(repo).size(), 1U);
}

// ---- The pending attestation ------------------------------------------------------------

TEST_F(Capture, PendingAttestationIsFiledForTheCommit)
{
  const std::string sha = repo.commit_file("a", "a\n", "first");
  repo.write(k_pending, "agent: codex\nsummary: from the agent\n");
  const auto result = capture_commit(repo.path(), sha);
  EXPECT_TRUE(result.written);
  EXPECT_TRUE(result.attested);
  EXPECT_FALSE(stdfs::exists(repo.path() / k_pending));
  const Map line = parsed_line(log_lines(repo).at(0));
  EXPECT_EQ(*line.find("summary"), Value("from the agent"));
  EXPECT_FALSE(line.contains("event"));
}

TEST_F(Capture, PendingFailureWritesNothingAndKeepsTheFile)
{
  const std::string sha = repo.commit_file("a", "a\n", "first");
  stdfs::create_directories(kolvex::paths::log_jsonl(repo.path()));
  repo.write(k_pending, "summary: s\n");
  ::testing::internal::CaptureStderr();
  const auto result = capture_commit(repo.path(), sha);
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(result.written);
  EXPECT_EQ(result.commit, sha);
  EXPECT_FALSE(result.reason.empty());
  EXPECT_TRUE(stdfs::exists(repo.path() / k_pending));
}

// A pending file no hook can use (here: not UTF-8) must not stop every capture: it
// is set aside for the user and the commit gets its deterministic record.
TEST_F(Capture, UnusablePendingFileIsSetAsideAndTheCommitStillRecorded)
{
  const std::string sha = repo.commit_file("a", "a\n", "feat: first");
  repo.write(k_pending, "summary: caf\xe9\n");
  ::testing::internal::CaptureStderr();
  const auto result = capture_commit(repo.path(), sha);
  const std::string warned = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(result.written) << result.reason;
  EXPECT_FALSE(result.attested);
  EXPECT_NE(warned.find("not valid UTF-8"), std::string::npos) << warned;
  EXPECT_EQ(repo.read(k_pending + ".rejected"), "summary: caf\xe9\n");
  EXPECT_FALSE(stdfs::exists(repo.path() / k_pending));
  const Map line = parsed_line(log_lines(repo).at(0));
  EXPECT_EQ(*line.find("commit"), Value(sha));
  EXPECT_EQ(*line.find("summary"), Value("feat: first"));
  EXPECT_EQ(*line.find("event"), Value("commit_unattested"));
}

TEST_F(Capture, ConsumePendingFalseLeavesTheFileAndWritesADeterministicRecord)
{
  const std::string sha = repo.commit_file("a", "a\n", "first");
  repo.write(k_pending, "summary: for the next commit\n");
  const auto result =
      capture_commit(repo.path(), sha, {.source = "catch_up", .consume_pending = false});
  EXPECT_TRUE(result.written);
  EXPECT_FALSE(result.attested);
  EXPECT_EQ(repo.read(k_pending), "summary: for the next commit\n");
  EXPECT_EQ(*record_of(sha).find("source"), Value("catch_up"));
}

TEST_F(Capture, PendingMatchingAnOlderCommitStillRecordsThisOne)
{
  repo.write("a", "a\n");
  repo.git({"add", "a"});
  const std::string hash = kolvex::testing::staged_diff_hash(repo);
  repo.git({"commit", "-q", "-m", "first"});
  const std::string older = repo.git({"rev-parse", "HEAD"});
  const std::string head = repo.commit_file("b", "b\n", "second");
  repo.write(k_pending, "staged_diff_hash: " + hash + "\nsummary: first\n");

  const auto result = capture_commit(repo.path(), head);
  EXPECT_TRUE(result.written);
  EXPECT_FALSE(result.attested);
  EXPECT_EQ(*record_of(older).find("summary"), Value("first"));
  EXPECT_EQ(*record_of(head).find("summary"), Value("second"));
  EXPECT_EQ(log_lines(repo).size(), 2U);
}

// ---- Attribution of the deterministic record ---------------------------------------------

TEST_F(Capture, SessionKnownToAStoreIsThatAdapters)
{
  const std::string sha = foreign_commit("a", "fix: x");
  // The caller names claude-code, but codex's store is the one that knows the session.
  const auto result = capture_commit(repo.path(), sha, {.session_id = "sess-x", .agent = "Claude"});
  EXPECT_TRUE(result.written);
  EXPECT_FALSE(result.tokens);                                 // codex's tokens are empty
  EXPECT_EQ(claude.asked, std::vector<std::string>{"sess-x"}); // named adapter asked first
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("codex"));
  EXPECT_EQ(*record.find("agent_provider"), Value("openai"));
  EXPECT_EQ(*record.find("agent_session_id"), Value("sess-x"));
  EXPECT_EQ(*record.find("agent_model"), Value("gpt"));
  EXPECT_EQ(*record.find("telemetry")->get("source"), Value("harness"));
  EXPECT_EQ(record.find("developer")->as_map(), k_here);
}

TEST_F(Capture, UnknownSessionWithAKnownAgentNameKeepsTheSessionWithoutTelemetry)
{
  const std::string sha = repo.commit_file("a", "a\n", "x");
  ASSERT_TRUE(capture_commit(repo.path(), sha, {.session_id = "sess-?", .agent = "codex"}).written);
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("codex"));
  EXPECT_EQ(*record.find("agent_session_id"), Value("sess-?"));
  EXPECT_FALSE(record.contains("telemetry"));
  EXPECT_FALSE(record.contains("agent_model"));
}

TEST_F(Capture, UnknownSessionWithoutAKnownAgentIsUnknownWithoutSession)
{
  const std::string sha = repo.commit_file("a", "a\n", "x");
  ASSERT_TRUE(
      capture_commit(repo.path(), sha, {.session_id = "sess-?", .agent = "nobody"}).written);
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("unknown"));
  EXPECT_FALSE(record.contains("agent_session_id"));
  EXPECT_FALSE(record.contains("agent_provider"));
  EXPECT_EQ(log_lines(repo).size(), 1U);
  EXPECT_FALSE(parsed_line(log_lines(repo)[0]).contains("agent_session_id"));
}

TEST_F(Capture, AmbientHarnessGivesItsCurrentSession)
{
  FakeAdapter active{"gemini-cli", std::nullopt, true};
  active.current_session = "live";
  active.sessions["live"] = Map{{"model", "gemini-3"}, {"tokens", Map{{"input", 3}}}};
  ScopedAdapters with_active({&claude, &active});
  repo.git({"checkout", "-q", "-b", "docs/x"});
  const std::string sha = foreign_commit("a", "update things");

  const auto result = capture_commit(repo.path(), sha, {.source = "post_commit"});
  EXPECT_TRUE(result.tokens);
  EXPECT_EQ(active.asked, std::vector<std::string>{"live"});
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("gemini-cli"));
  EXPECT_FALSE(record.contains("agent_provider"));
  EXPECT_EQ(*record.find("agent_session_id"), Value("live"));
  EXPECT_EQ(*record.find("telemetry")->get("session_id"), Value("live"));
  EXPECT_EQ(*record.find("telemetry")->get("source"), Value("post_commit"));
  EXPECT_EQ(record.find("developer")->as_map(), k_here);
  EXPECT_EQ(*record.find("task_type"), Value("docs")); // from the branch
}

TEST_F(Capture, AmbientHarnessWithoutSessionNamesTheAgentWithoutTelemetry)
{
  FakeAdapter active{"cursor", std::nullopt, true};
  // Telemetry "of the current session" would be a guess: it must not be asked for.
  active.sessions[""] = Map{{"model", "guessed"}, {"tokens", Map{{"input", 1}}}};
  ScopedAdapters with_active({&active});
  const std::string sha = repo.commit_file("a", "a\n", "x");
  const auto result = capture_commit(repo.path(), sha);
  ASSERT_TRUE(result.written);
  EXPECT_FALSE(result.tokens);
  EXPECT_TRUE(active.asked.empty());
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("cursor"));
  EXPECT_FALSE(record.contains("agent_session_id"));
  EXPECT_FALSE(record.contains("telemetry"));
  EXPECT_FALSE(record.contains("agent_model"));
}

TEST_F(Capture, AmbientWithoutHarnessIsUnknownWithTheDeveloperAndBranch)
{
  repo.git({"checkout", "-q", "-b", "fix/login"});
  const std::string sha = foreign_commit("a", "login works again");
  ASSERT_TRUE(capture_commit(repo.path(), sha).written);
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("unknown"));
  EXPECT_FALSE(record.contains("agent_session_id"));
  EXPECT_EQ(record.find("developer")->as_map(), k_here);
  EXPECT_EQ(*record.find("task_type"), Value("bug-fix"));
  EXPECT_TRUE(claude.asked.empty());
  EXPECT_TRUE(codex.asked.empty());
}

TEST_F(Capture, NotAmbientIsUnknownWithTheCommitsAuthorAndNoBranch)
{
  FakeAdapter active{"gemini-cli", std::nullopt, true};
  active.current_session = "live";
  ScopedAdapters with_active({&active});
  repo.git({"checkout", "-q", "-b", "fix/login"});
  const std::string sha = foreign_commit("a", "login works again");
  ASSERT_TRUE(
      capture_commit(repo.path(), sha, {.source = "catch_up", .attribute_ambient = false}).written);
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("unknown"));
  EXPECT_FALSE(record.contains("agent_session_id"));
  EXPECT_FALSE(record.contains("task_type"));
  EXPECT_EQ(record.find("developer")->as_map(), k_author);
  EXPECT_TRUE(active.asked.empty());
}

TEST_F(Capture, FailureBecomesTheReasonWithTheClassName)
{
  const std::string sha = repo.commit_file("a", "a\n", "x");
  repo.write(".kolvex/.platform/attestations", "a file where a directory belongs\n");
  const auto result = capture_commit(repo.path(), sha.substr(0, 10));
  EXPECT_FALSE(result.written);
  EXPECT_EQ(result.commit, sha.substr(0, 10));
  EXPECT_EQ(result.reason.rfind("system_error: ", 0), 0U) << result.reason;
  EXPECT_EQ(record_commit(repo.path()), std::nullopt);
}

// ---- Backfill ------------------------------------------------------------------------------

TEST_F(Capture, BackfillIsAttributedByTheStoreThatKnowsTheSession)
{
  const std::string sha = repo.commit_file("a", "a\n", "feat: x");
  const auto result = record_backfill(repo.path(), sha.substr(0, 9), "sess-c", "refactor");
  EXPECT_TRUE(result.written);
  EXPECT_TRUE(result.tokens);
  EXPECT_EQ(result.commit, sha);
  const Map record = record_of(sha);
  EXPECT_EQ(*record.find("agent"), Value("claude-code"));
  EXPECT_EQ(*record.find("task_type"), Value("refactor"));
  EXPECT_EQ(*record.find("task_type_source"), Value("declared"));
  EXPECT_EQ(*record.find("provenance"), Value(Map{{"type", "ad-hoc"}, {"ref", "backfill"}}));
  EXPECT_FALSE(record.contains("developer"));
  EXPECT_FALSE(parsed_line(log_lines(repo).at(0)).contains("event"));

  EXPECT_EQ(record_backfill(repo.path(), sha, "sess-c", "refactor").reason, "already recorded");
  EXPECT_EQ(log_lines(repo).size(), 1U);
}

TEST_F(Capture, BackfillRefusesRatherThanRecordingUnknown)
{
  const std::string sha = repo.commit_file("a", "a\n", "x");
  EXPECT_EQ(record_backfill(repo.path(), "nope", "sess-c", "docs").reason,
            "no such commit in this repo");
  EXPECT_EQ(record_backfill(repo.path(), sha, "sess-none", "docs").reason,
            "no agent transcript found for session sess-none");
  codex.sessions["no-model"] = Map{{"tokens", Map{{"total", 1}}}};
  EXPECT_EQ(record_backfill(repo.path(), sha, "no-model", "docs").reason,
            "transcript for session no-model names no model");
  EXPECT_FALSE(stdfs::exists(kolvex::paths::log_jsonl(repo.path())));
  EXPECT_FALSE(archive_exists(repo, sha));
}

// ---- Whether the log names a commit ----------------------------------------------------------

TEST(CommitAlreadyLogged, JudgesEveryLineAsAFullParseWould)
{
  TempDir dir;
  const std::string sha = "0123456789abcdef0123456789abcdef01234567";
  const auto log = dir.path() / "log.jsonl";
  const auto holds = [&](const std::string& text) {
    dir.write("log.jsonl", text);
    return _commit_already_logged(log, sha);
  };
  EXPECT_FALSE(_commit_already_logged(dir.path() / "missing.jsonl", sha));
  EXPECT_FALSE(_commit_already_logged(dir.path(), sha)); // a directory
  EXPECT_FALSE(holds(""));
  EXPECT_TRUE(holds("{\"commit\": \"" + sha + "\", \"synced\": true}\n"));
  EXPECT_TRUE(holds("\n\nnot json\n[1]\r\n  {\"commit\": \"" + sha + "\"}  \r\n"));
  EXPECT_TRUE(holds("\u00a0{\"commit\": \"" + sha + "\"}\u3000\n")); // Unicode blanks stripped
  // The sha elsewhere in a line, in a list, in a broken line, or as a prefix.
  EXPECT_FALSE(holds("{\"commit\": \"x\", \"summary\": \"" + sha + "\"}\n"));
  EXPECT_FALSE(holds("[\"" + sha + "\"]\n\"" + sha + "\"\n"));
  EXPECT_FALSE(holds("{\"commit\": \"" + sha + "\"\n"));
  EXPECT_FALSE(holds("{\"commit\": \"" + sha + "ffffffffffffffffffffffff\"}\n"));
  EXPECT_FALSE(holds("{\"nested\": {\"commit\": \"" + sha + "\"}}\n"));
  // The last of two "commit" members counts, as json.loads keeps it.
  EXPECT_FALSE(holds("{\"commit\": \"" + sha + "\", \"commit\": \"other\"}\n"));
  EXPECT_TRUE(holds("{\"commit\": \"other\", \"commit\": \"" + sha + "\"}\n"));
  // Escaped spellings of the key or of the sha itself.
  EXPECT_TRUE(holds("{\"\\u0063ommit\": \"" + sha + "\"}\n"));
  EXPECT_TRUE(holds("{\"commit\": \"\\u0030123456789\\u0061bcdef0123456789abcdef01234567\"}\n"));
  EXPECT_FALSE(holds("{\"commit\": \"\\u0031123456789abcdef0123456789abcdef01234567\"}\n"));
  // A line boundary inside the object splits it, as str.splitlines() does.
  EXPECT_FALSE(holds("{\"commit\": \"" + sha + "\", \"x\": \"a\u2028b\"}\n"));
  EXPECT_TRUE(holds("x\u2029{\"commit\": \"" + sha + "\"}\x1c" + "y\n"));
  // A stray byte that is not UTF-8 elsewhere does not hide the line.
  EXPECT_TRUE(holds("{\"summary\": \"\xff\"}\n{\"commit\": \"" + sha + "\"}\n"));
}

TEST(CommitAlreadyLogged, AnyCommitTextNotJustShas)
{
  TempDir dir;
  const auto log = dir.write("log.jsonl",
                             "{\"commit\": \"unknown\"}\n{\"commit\": \"\"}\n"
                             "{\"commit\": \"a/b \\\"q\\\"\"}\n");
  EXPECT_TRUE(_commit_already_logged(log, "unknown"));
  EXPECT_TRUE(_commit_already_logged(log, ""));
  EXPECT_TRUE(_commit_already_logged(log, "a/b \"q\""));
  EXPECT_FALSE(_commit_already_logged(log, "a/b"));
}

TEST_F(Capture, AlreadyRecordedAsksTheLogAndTheArchiveOnlyWhenTheLogCannotBeRead)
{
  const std::string sha(40, 'a');
  EXPECT_FALSE(_already_recorded(repo.handle(), sha));
  repo.write(".kolvex/.platform/log.jsonl", "{\"commit\": \"" + sha + "\"}\n");
  EXPECT_TRUE(_already_recorded(repo.handle(), sha));
  stdfs::remove(kolvex::paths::log_jsonl(repo.path()));
  // An archive whose line never made it is a record cut short, not a record.
  repo.write(".kolvex/.platform/attestations/" + sha + ".yaml", "{}\n");
  EXPECT_FALSE(_already_recorded(repo.handle(), sha));
  stdfs::create_directories(kolvex::paths::log_jsonl(repo.path())); // cannot be read
  EXPECT_TRUE(_already_recorded(repo.handle(), sha));
}

// The log is read in pieces; a line across the edge of one and a line longer than
// one are judged whole all the same.  A last piece without any line end names its
// commit once it is a whole record, and nothing while it is still being appended.
TEST(CommitAlreadyLogged, LinesAcrossAndBeyondReadPieces)
{
  TempDir dir;
  const std::string sha = "89abcdef0123456789abcdef0123456789abcdef";
  const std::string line = "{\"commit\": \"" + sha + "\"}\n";
  const auto log = dir.path() / "log.jsonl";
  for (const std::size_t edge :
       {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
    for (const std::size_t before : {std::size_t{1}, std::size_t{20}, line.size() - 2}) {
      std::string text(edge - before - 1, 'x');
      text += '\n';
      dir.write("log.jsonl", text + line);
      EXPECT_TRUE(_commit_already_logged(log, sha)) << edge << " " << before;
      // The same bytes with the sha's line broken in two name nothing.
      dir.write("log.jsonl", text + line.substr(0, before) + "\n" + line.substr(before));
      EXPECT_FALSE(_commit_already_logged(log, sha)) << edge << " " << before;
    }
  }
  const std::string long_value(3U << 20, 'p');
  const std::string long_line = "{\"pad\": \"" + long_value + "\", \"commit\": \"" + sha + "\"}";
  dir.write("log.jsonl", long_line.substr(0, long_line.size() - 1)); // still being appended
  EXPECT_FALSE(_commit_already_logged(log, sha));
  dir.write("log.jsonl", long_line); // a whole record without its line end
  EXPECT_TRUE(_commit_already_logged(log, sha));
  dir.write("log.jsonl", long_line + "\n");
  EXPECT_TRUE(_commit_already_logged(log, sha));
  dir.write("log.jsonl", long_line + "\r"); // any line end makes it whole
  EXPECT_TRUE(_commit_already_logged(log, sha));
  dir.write("log.jsonl", long_value + "\n{\"commit\": \"\\u0038" + sha.substr(1) + "\"}\n");
  EXPECT_TRUE(_commit_already_logged(log, sha));
  dir.write("log.jsonl", "{\"commit\": \"" + sha + "\", \"pad\": \"" + long_value + "\n\"}\n");
  EXPECT_FALSE(_commit_already_logged(log, sha));
}

// ---- Several triggers at once ------------------------------------------------------------

// A git that answers slowly (a large repository, a network file system) must not
// make captures of one commit wait for each other's git questions: the log lock
// covers only the re-check and the write.  Were it held through them, the later
// captures would wait past the lock's ten seconds, go ahead without it, and each
// write its own line.
using CaptureSlow = Capture;
TEST_F(CaptureSlow, EightAtOnceWithASlowGitLeaveOneLine)
{
  const std::string sha = repo.commit_file("a", "a\n", "change");
  const stdfs::path bin = home.path() / "slow-git";
  stdfs::create_directories(bin);
  std::ofstream(bin / "git") << "#!/bin/sh\nsleep 3\nexec /usr/bin/git \"$@\"\n";
  ::chmod((bin / "git").c_str(), 0755);
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  auto slow_path = std::make_unique<kolvex::testing::ScopedEnv>();
  slow_path->set("PATH", bin.string() + ":" + path);
  std::vector<pid_t> captures;
  for (int i = 0; i < 8; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, 2);
      const auto result = capture_commit(repo.path(), sha);
      ::_exit(result.written || result.reason == "already recorded" ? 0 : 1);
    }
    captures.push_back(pid);
  }
  int failed = 0;
  for (const pid_t pid : captures) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
  }
  slow_path.reset();
  EXPECT_EQ(failed, 0);
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(*parsed_line(lines[0]).find("commit"), Value(sha));
}
