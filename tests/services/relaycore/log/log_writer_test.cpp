#include "services/relaycore/log/log_writer.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "support/repo.hpp"
#include "utils/filelock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kolvex::services::relaycore::log {
namespace {

namespace stdfs = std::filesystem;
using testing::TempDir;
using testing::TempRepo;

const std::string k_sha1 = "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7";
const std::string k_other = "0123456789abcdef0123456789abcdef01234567";

std::vector<std::string> lines_of(const std::string& text)
{
  std::vector<std::string> lines;
  for (const auto line : core::fs::splitlines(text)) {
    lines.emplace_back(line);
  }
  return lines;
}

std::string golden(const std::string& rel)
{
  return core::fs::read_text(stdfs::path(KOLVEX_GOLDEN_DIR) / "log" / rel);
}

core::Map parse_line(const std::string& line)
{
  return core::json::parse(line).as_map();
}

// A repository with one commit on "main", and a log location inside it.
struct Fixture {
  TempRepo repo;
  stdfs::path log = repo.path() / ".kolvex/.platform/log.jsonl";
  stdfs::path dir = repo.path() / ".kolvex/.platform/attestations";
  // The same, as the writers take them.
  core::fs::Confined log_at = paths::confined(log);
  core::fs::Confined dir_at = paths::confined(dir);
  std::string head = repo.commit_file("a.txt", "a\n", "first");
};

TEST(LogAttestationGolden, LinesAndArchivesAreTheBytesPythonWrites)
{
  Fixture f;
  const auto cases = lines_of(golden("cases.jsonl"));
  const auto lines = lines_of(golden("lines.jsonl"));
  ASSERT_EQ(cases.size(), lines.size());
  ASSERT_GE(cases.size(), 5u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const core::Map c = parse_line(cases[i]);
    const std::string name = c.find("name")->as_string();
    SCOPED_TRACE(name);
    const std::string commit = c.find("commit")->as_string();
    const core::Value loaded = core::yaml::load(c.find("input")->as_string());
    const core::Map parsed = loaded.is_map() ? loaded.as_map() : core::Map{};
    LogAttestationOptions options{.commit_override = commit, .repo_root = f.repo.path()};
    if (c.find("event")->is_string()) {
      options.event = c.find("event")->as_string();
    }
    stdfs::remove(f.log);
    _log_attestation(f.log_at, f.dir_at, parsed, options);
    EXPECT_EQ(core::fs::read_text(f.log), lines[i] + "\n");
    EXPECT_EQ(core::fs::read_text(f.dir / (commit + ".yaml")), golden(name + ".archive.yaml"));
  }
}

TEST(LogAttestation, OverrideNamesTheCommitWhileBranchIsTheCurrentOne)
{
  Fixture f;
  f.repo.git({"checkout", "-q", "-b", "feature/login"});
  const std::string newer = f.repo.commit_file("b.txt", "b\n", "second");
  _log_attestation(f.log_at,
                   f.dir_at,
                   core::Map{{"summary", "old work"}},
                   {.commit_override = f.head, .repo_root = f.repo.path()});
  const core::Map line = parse_line(core::fs::read_text(f.log));
  EXPECT_EQ(line.find("commit")->as_string(), f.head);
  EXPECT_EQ(line.find("branch")->as_string(), "feature/login");
  EXPECT_TRUE(stdfs::exists(f.dir / (f.head + ".yaml")));

  // Without an override the record goes to HEAD; an empty override counts as none.
  _log_attestation(
      f.log_at, f.dir_at, core::Map{}, {.commit_override = "", .repo_root = f.repo.path()});
  const auto lines = lines_of(core::fs::read_text(f.log));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parse_line(lines[1]).find("commit")->as_string(), newer);

  f.repo.git({"checkout", "-q", "--detach"});
  _log_attestation(f.log_at, f.dir_at, core::Map{}, {.repo_root = f.repo.path()});
  EXPECT_EQ(parse_line(lines_of(core::fs::read_text(f.log)).back()).find("branch")->as_string(),
            "HEAD");
}

TEST(LogAttestation, WithoutAnswerFromGitTheRecordIsUnknownAndUnaddressable)
{
  TempDir plain; // not a repository
  const auto log = plain.path() / "log.jsonl";
  _log_attestation(paths::confined(log),
                   paths::confined(plain.path() / "att"),
                   core::Map{{"agent", "unknown"}},
                   {.repo_root = plain.path()});
  EXPECT_TRUE(stdfs::exists(plain.path() / "att/unknown.yaml"));
  const core::Map line = parse_line(core::fs::read_text(log));
  EXPECT_EQ(line.find("commit")->as_string(), "unknown");
  EXPECT_EQ(line.find("branch")->as_string(), "unknown");
  const AttestationLog read = read_attestation_log(paths::confined(log));
  EXPECT_EQ(read.unaddressable, 1);
  EXPECT_EQ(read.size(), 0u);
}

TEST(LogAttestation, EmptyEventAndEmptyCopiedValuesAddNoKeys)
{
  Fixture f;
  const core::Map parsed{{"agent_provider", ""},
                         {"agent_id", core::Value()},
                         {"agent_session_id", 0},
                         {"developer", core::Map{}},
                         {"telemetry", core::List{}},
                         {"summary", core::Value()}};
  _log_attestation(f.log_at,
                   f.dir_at,
                   parsed,
                   {.commit_override = k_sha1, .repo_root = f.repo.path(), .event = ""});
  EXPECT_EQ(
      core::fs::read_text(f.log),
      R"({"commit": ")" + k_sha1 +
          R"(", "branch": "main", "timestamp": "", "agent": "", "summary": null, "synced": false})"
          "\n");
}

TEST(LogAttestation, ReplaceExistingRewritesTheLineOrAppendsWhenThereIsNone)
{
  Fixture f;
  const LogAttestationOptions replace{
      .commit_override = k_sha1, .repo_root = f.repo.path(), .replace_existing = true};
  // Missing log: appended, the file is created.
  _log_attestation(f.log_at, f.dir_at, core::Map{{"summary", "first"}}, replace);
  ASSERT_EQ(lines_of(core::fs::read_text(f.log)).size(), 1u);
  // A log without a line for the commit: appended.
  _append_log_entry(f.log_at, core::Map{{"commit", k_other}, {"synced", true}});
  _log_attestation(
      f.log_at,
      f.dir_at,
      core::Map{{"summary", "second"}},
      {.commit_override = k_other, .repo_root = f.repo.path(), .event = "commit_unattested"});
  // Now mark the first sent, then upgrade it in place: it goes back to unsent.
  ASSERT_TRUE(_replace_log_entry(f.log_at, core::Map{{"commit", k_sha1}, {"synced", true}}));
  _log_attestation(f.log_at, f.dir_at, core::Map{{"summary", "upgraded"}}, replace);
  const auto lines = lines_of(core::fs::read_text(f.log));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(parse_line(lines[0]).find("summary")->as_string(), "upgraded");
  EXPECT_EQ(parse_line(lines[0]).find("synced")->as_bool(), false);
  EXPECT_EQ(parse_line(lines[2]).find("summary")->as_string(), "second");
  EXPECT_EQ(read_attestation_log(f.log_at).size(), 2u);
}

TEST(LogAttestation, NothingIsLoggedWhenTheArchiveCannotBeWrittenOrTheCommitIsNoFileName)
{
  Fixture f;
  const auto blocker = f.repo.write("blocker", "a file where a directory should be\n");
  EXPECT_THROW(_log_attestation(f.log_at,
                                paths::confined(blocker / "att"),
                                core::Map{},
                                {.commit_override = k_sha1, .repo_root = f.repo.path()}),
               std::system_error);
  EXPECT_FALSE(stdfs::exists(f.log));
  for (const std::string bad : {"../escape", "a/b", "..", "."}) {
    EXPECT_THROW(
        _log_attestation(
            f.log_at, f.dir_at, core::Map{}, {.commit_override = bad, .repo_root = f.repo.path()}),
        std::system_error)
        << bad;
  }
  EXPECT_FALSE(stdfs::exists(f.log));
  EXPECT_FALSE(stdfs::exists(f.repo.path() / ".kolvex/.platform/escape.yaml"));
}

TEST(AppendLogEntry, CreatesTheDirectoriesAndWritesOneWholeLine)
{
  TempDir dir;
  const auto log = dir.path() / "deep/er/log.jsonl";
  _append_log_entry(paths::confined(log),
                    core::Map{{"commit", k_sha1}, {"summary", "na\xc3\xafve \xf0\x9f\x98\x80"}});
  _append_log_entry(paths::confined(log), core::Map{{"commit", k_other}});
  EXPECT_EQ(core::fs::read_text(log),
            R"({"commit": ")" + k_sha1 +
                R"(", "summary": "na\u00efve \ud83d\ude00"})"
                "\n"
                R"({"commit": ")" +
                k_other +
                R"("})"
                "\n");
}

// What a killed rewrite leaves beside the log goes with the next writer, whichever
// it is; other files there stay.
TEST(LogLock, TheNextWriterRemovesTheTemporaryFilesAKilledRewriteLeft)
{
  const std::vector<std::pair<const char*, std::function<void(const stdfs::path&)>>> writers = {
      {"append",
       [](const stdfs::path& log) {
         _append_log_entry(paths::confined(log), {{"commit", k_other}});
       }},
      {"replace",
       [](const stdfs::path& log) {
         (void)_replace_log_entry(paths::confined(log), {{"commit", k_sha1}});
       }},
  };
  for (const auto& [name, write] : writers) {
    TempDir dir;
    const auto log = dir.write("log.jsonl", R"({"commit": ")" + k_sha1 + "\"}\n");
    dir.write("log.jsonl.a1B2c3.tmp", "half a rewrite");
    dir.write("log.jsonl.lock", "");
    dir.write("other.yaml.x.tmp", "not ours");
    write(log);
    EXPECT_FALSE(stdfs::exists(dir.path() / "log.jsonl.a1B2c3.tmp")) << name;
    EXPECT_TRUE(stdfs::exists(dir.path() / "log.jsonl.lock")) << name;
    EXPECT_TRUE(stdfs::exists(dir.path() / "other.yaml.x.tmp")) << name;
  }
}

TEST(ReplaceLogEntry, OnlyTheFirstMatchChangesAndEveryOtherLineKeepsItsBytes)
{
  TempDir dir;
  const std::string torn = R"({"commit": ")" + k_sha1 + R"(", "summ)";
  const std::string array = R"(["commit", ")" + k_sha1 + R"("])";
  const std::string spaced = R"(  {"commit":")" + k_other + R"(","x":1}  )";
  const std::string first = R"({"commit": ")" + k_sha1 + R"(", "synced": true})";
  const std::string second = R"({"commit": ")" + k_sha1 + R"(", "n": 2})";
  const auto log = dir.write("log.jsonl",
                             torn + "\r\n" + array + "\r\n\r\n" + spaced + "\n" + first + "\r" +
                                 second + "\n\xc2\xa0{\"commit\": \"" + k_sha1 + "\"}\n");
  const core::Map entry{{"commit", k_sha1}, {"summary", "caf\xc3\xa9"}, {"synced", false}};
  ASSERT_TRUE(_replace_log_entry(paths::confined(log), entry));
  EXPECT_EQ(core::fs::read_text(log),
            torn + "\n" + array + "\n\n" + spaced + "\n" + log_line_text(entry) + second +
                "\n\xc2\xa0{\"commit\": \"" + k_sha1 + "\"}\n");
  const auto mode = stdfs::status(log).permissions();
  EXPECT_EQ(mode & stdfs::perms::all, stdfs::perms::owner_read | stdfs::perms::owner_write);
  // No temporary file is left beside the log.
  for (const auto& item : stdfs::directory_iterator(dir.path())) {
    EXPECT_NE(item.path().extension(), ".tmp") << item.path();
  }
}

// The rewrite streams through its temporary copy: a bad byte far past the line it
// replaced stops it with the log as it was and no copy left beside it.
TEST(ReplaceLogEntry, AFailurePastTheFirstBlockLeavesTheLogAsItWas)
{
  TempDir dir;
  std::string text = R"({"commit": ")" + k_sha1 + "\"}\n";
  while (text.size() < 3'000'000) {
    text += R"({"commit": "0000000000000000000000000000000000000000", "summary": "filler"})"
            "\n";
  }
  text += "\xff\n";
  const auto log = dir.write("log.jsonl", text);
  EXPECT_THROW(
      (void)_replace_log_entry(paths::confined(log), core::Map{{"commit", k_sha1}, {"n", 1}}),
      core::fs::DecodeError);
  EXPECT_EQ(core::fs::read_bytes(log), text);
  for (const auto& item : stdfs::directory_iterator(dir.path())) {
    EXPECT_NE(item.path().extension(), ".tmp") << item.path();
  }
}

TEST(ReplaceLogEntry, MatchesAnEscapedCommitAndNothingElse)
{
  TempDir dir;
  const std::string escaped = R"({"commit": "\u0033)" + k_sha1.substr(1) + R"("})";
  const std::string nested = R"({"x": {"commit": ")" + k_sha1 + R"("}})";
  const std::string number = R"({"commit": 3})";
  const auto log = dir.write("log.jsonl", nested + "\n" + number + "\n" + escaped + "\n");
  ASSERT_TRUE(_replace_log_entry(paths::confined(log), core::Map{{"commit", k_sha1}}));
  EXPECT_EQ(core::fs::read_text(log),
            nested + "\n" + number + "\n" + R"({"commit": ")" + k_sha1 + "\"}\n");
}

TEST(ReplaceLogEntry, NoMatchOrNoLogLeavesEverythingAsItWas)
{
  TempDir dir;
  const auto missing = dir.path() / "log.jsonl";
  EXPECT_FALSE(_replace_log_entry(paths::confined(missing), core::Map{{"commit", k_sha1}}));
  EXPECT_FALSE(stdfs::exists(missing));
  const std::string text = R"({"commit": ")" + k_other + "\"}\r\nnot json\r\n";
  const auto log = dir.write("log.jsonl", text);
  stdfs::permissions(
      log, stdfs::perms::owner_read | stdfs::perms::owner_write | stdfs::perms::group_read);
  EXPECT_FALSE(_replace_log_entry(paths::confined(log), core::Map{{"commit", k_sha1}}));
  EXPECT_EQ(core::fs::read_text(log), text);
  EXPECT_TRUE((stdfs::status(log).permissions() & stdfs::perms::group_read) != stdfs::perms::none);
  EXPECT_THROW((void)_replace_log_entry(paths::confined(log), core::Map{{"summary", "no commit"}}),
               std::invalid_argument);
}

// The lock is fail-open: a holder that never lets go delays a rewrite by the
// lock's time-out, it does not stop it.
TEST(ReplaceLogEntrySlow, ProceedsWhenAnotherProcessHoldsTheLockPastTheTimeout)
{
  TempDir dir;
  const auto log = dir.write("log.jsonl", R"({"commit": ")" + k_sha1 + "\"}\n");
  const auto ready = dir.path() / "ready";
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const auto lock = utils::filelock::locked(paths::confined(log));
    core::fs::append_line(ready, "held\n");
    ::sleep(60);
    ::_exit(0);
  }
  while (!stdfs::exists(ready)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto start = std::chrono::steady_clock::now();
  const bool replaced =
      _replace_log_entry(paths::confined(log), core::Map{{"commit", k_sha1}, {"synced", false}});
  const auto waited = std::chrono::steady_clock::now() - start;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(replaced);
  EXPECT_GE(waited, std::chrono::duration<double>(utils::filelock::DEFAULT_TIMEOUT_SECONDS * 0.9));
  EXPECT_EQ(core::fs::read_text(log),
            R"({"commit": ")" + k_sha1 +
                R"(", "synced": false})"
                "\n");
}

} // namespace
} // namespace kolvex::services::relaycore::log
