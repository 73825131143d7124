// `kolvex sync` end to end: the built binary, a real repository with an origin
// remote and the local API server.
#include "core/fs.hpp"
#include "core/json.hpp"
#include "services/local_config.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <thread>

namespace {

namespace stdfs = std::filesystem;
using kolvex::core::Value;
using kolvex::testing::DevServer;
using kolvex::testing::run_kolvex;
using kolvex::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

// Directories no process may add an entry to, root included, until this is
// destroyed: a cache directory as unwritable as a read-only or full disk makes it.
class Frozen {
public:
  explicit Frozen(const std::vector<stdfs::path>& dirs)
  {
    for (const auto& dir : dirs) {
      m_fds.push_back(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
      m_ok = set(m_fds.back(), true) && m_ok;
    }
  }
  Frozen(const Frozen&) = delete;
  Frozen& operator=(const Frozen&) = delete;
  ~Frozen()
  {
    for (const int fd : m_fds) {
      (void)set(fd, false);
      ::close(fd);
    }
  }
  // False where the flag cannot be set (no CAP_LINUX_IMMUTABLE, no such flag).
  [[nodiscard]] bool ok() const { return m_ok; }

private:
  static bool set(int fd, bool on)
  {
    int flags = 0;
    if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
      return false;
    }
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  std::vector<int> m_fds;
  bool m_ok = true;
};

class SyncE2E : public kolvex::testing::SetUpRepoTest {
protected:
  void SetUp() override
  {
    SetUpRepoTest::SetUp();
    repo.commit_file("b.txt", "two\n", "second");
  }

  [[nodiscard]] std::size_t unsynced() const
  {
    std::size_t count = 0;
    const std::string log =
        kolvex::core::fs::read_text(repo.path() / ".kolvex/.platform/log.jsonl");
    for (const auto line : kolvex::core::fs::splitlines(log)) {
      count += line.find("\"synced\": false") != std::string_view::npos ? 1 : 0;
    }
    return count;
  }

  // The report of a `kolvex sync --json` that must fail with exactly one problem,
  // naming `problem`.
  [[nodiscard]] Value report_of_one_problem(const std::string& problem) const
  {
    const auto run = run_kolvex({"sync", "--json"}, repo.path());
    EXPECT_EQ(run.exit_code, 1);
    Value report = kolvex::core::json::parse(run.out);
    EXPECT_EQ(*report.get("ok"), Value(false));
    const auto& problems = report.get("problems")->as_list();
    EXPECT_EQ(problems.size(), 1U);
    if (!problems.empty()) {
      EXPECT_THAT(problems[0].as_string(), HasSubstr(problem));
    }
    return report;
  }
};

TEST_F(SyncE2E, FirstSyncLinksUploadsAndTheNextHasNothingToSend)
{
  DevServer server;
  sign_in(server);
  ASSERT_EQ(unsynced(), 2u);
  const auto first = run_kolvex({"sync"}, repo.path());
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_THAT(first.out, HasSubstr("Created project 1 (acme/widgets)"));
  EXPECT_THAT(first.out, HasSubstr("Uploaded 2 records"));
  EXPECT_THAT(first.out, HasSubstr("Context cache refreshed"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/context.yaml"));
  EXPECT_EQ(unsynced(), 0u);
  EXPECT_EQ(server.attestations().size(), 2u);
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"), Value(1));

  repo.commit_file("c.txt", "three\n", "third");
  const auto second = run_kolvex({"sync", "--json"}, repo.path());
  ASSERT_EQ(second.exit_code, 0) << second.err;
  const Value report = kolvex::core::json::parse(second.out);
  EXPECT_EQ(*report.get("attestations_uploaded"), Value(true));
  EXPECT_EQ(*report.get("cache_refreshed"), Value(true));
  EXPECT_EQ(*report.get("project_id"), Value("1"));
  EXPECT_TRUE(report.get("resolution")->is_null()); // linked: not asked again
  EXPECT_EQ(*report.get("upload")->get("uploaded"), Value(1));
  EXPECT_EQ(*report.get("pending"), Value(0));

  env.set("KOLVEX_DEBUG", "1"); // the debug lines must not carry the key either
  const auto third = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(third.exit_code, 0);
  EXPECT_THAT(third.out, HasSubstr("Nothing to upload"));
  for (const std::string* text :
       {&first.out, &first.err, &second.out, &second.err, &third.out, &third.err}) {
    EXPECT_THAT(*text, Not(HasSubstr(server.api_key())));
  }
}

// What a sync creates or changes outside .kolvex/ is named, one line each, and
// listed by --json; a file left as it was is not.
TEST_F(SyncE2E, NamesEachFileItCreatedOrChanged)
{
  DevServer server;
  sign_in(server);
  repo.write("CLAUDE.md", "# Mine\n");
  stdfs::remove(repo.path() / ".mcp.json");
  const auto first = run_kolvex({"sync"}, repo.path());
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_THAT(first.out, HasSubstr("Created .mcp.json\n"));
  EXPECT_THAT(first.out, HasSubstr("Updated CLAUDE.md\n"));
  EXPECT_EQ(first.out.find("Updated CLAUDE.md"), first.out.rfind("Updated CLAUDE.md"));

  const auto unchanged = run_kolvex({"sync", "--json"}, repo.path());
  ASSERT_EQ(unchanged.exit_code, 0) << unchanged.err;
  EXPECT_EQ(*kolvex::core::json::parse(unchanged.out).get("changed_files"),
            Value(kolvex::core::List{}));

  const std::string users =
      "{\n    \"mcpServers\": {\n        \"db\": {\"command\": \"pg\"}\n    }\n}\n";
  repo.write(".mcp.json", users);
  const auto changed = run_kolvex({"sync", "--json"}, repo.path());
  ASSERT_EQ(changed.exit_code, 0) << changed.err;
  EXPECT_EQ(*kolvex::core::json::parse(changed.out).get("changed_files"),
            Value(kolvex::core::List{".mcp.json"}));
  EXPECT_TRUE(repo.read(".mcp.json").starts_with(users.substr(0, users.find('}') + 1) + ",\n"));
}

TEST_F(SyncE2E, WithTheServerDownItExitsOneWithOneReasonAndLosesNothing)
{
  DevServer server;
  sign_in(server);
  ASSERT_EQ(run_kolvex({"setup", "--project", "1"}, repo.path()).exit_code, 0);
  ASSERT_EQ(server.stop(), 0);
  const auto down = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(down.exit_code, 1);
  const auto errors = kolvex::core::fs::splitlines(down.err);
  ASSERT_EQ(errors.size(), 1u) << down.err;
  EXPECT_THAT(std::string(errors[0]), HasSubstr("Upload failed: "));
  EXPECT_THAT(down.out, HasSubstr("2 records left pending"));
  EXPECT_EQ(unsynced(), 2u);

  // Unlinked, the resolve is what fails, with the same remedy.
  kolvex::core::Map config = kolvex::services::shared::load_local_config(repo.path());
  config.erase("project_id");
  kolvex::services::shared::save_local_config(repo.path(), config);
  const auto unlinked = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(unlinked.exit_code, 1);
  EXPECT_EQ(unlinked.err,
            "Could not reach a project: could not reach kolvex (ApiError). They will upload on "
            "the next `kolvex sync` that can reach a project.\n");
  EXPECT_EQ(unsynced(), 2u);
}

TEST_F(SyncE2E, SeveralTeamsAskOnceForATeamIdThenRememberIt)
{
  TempDir content;
  content.write("whoami.json",
                R"({"user": "u", "teams": [{"id": 3, "name": "a"}, {"id": 5, "name": "b"}]})");
  DevServer server({.args = {"--content", content.path().string()}});
  sign_in(server);
  const auto ambiguous = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(ambiguous.exit_code, 1);
  EXPECT_THAT(ambiguous.err, HasSubstr("3, 5"));
  EXPECT_THAT(ambiguous.err, HasSubstr("Retry naming one of the ids above"));
  EXPECT_EQ(unsynced(), 2u);

  const auto named = run_kolvex({"sync", "--team-id", "5"}, repo.path());
  ASSERT_EQ(named.exit_code, 0) << named.err;
  const auto config = kolvex::services::shared::load_local_config(repo.path());
  EXPECT_EQ(*config.find("team_id"), Value(5));
  EXPECT_EQ(unsynced(), 0u);
}

TEST_F(SyncE2E, TwoSyncsAtOnceSendEveryRecordAndMarkEveryLine)
{
  DevServer server;
  sign_in(server);
  for (int i = 0; i < 6; ++i) {
    repo.commit_file("n" + std::to_string(i) + ".txt", "x\n", "change " + std::to_string(i));
  }
  ASSERT_EQ(unsynced(), 8u);
  std::vector<kolvex::core::process::Result> results(2);
  std::vector<std::thread> syncs;
  for (auto& result : results) {
    syncs.emplace_back([&result, this] { result = run_kolvex({"sync"}, repo.path()); });
  }
  for (auto& sync : syncs) {
    sync.join();
  }
  for (const auto& result : results) {
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  }
  EXPECT_EQ(unsynced(), 0u);
  EXPECT_EQ(server.attestations().size(), 8u);
  const std::string log = kolvex::core::fs::read_text(repo.path() / ".kolvex/.platform/log.jsonl");
  EXPECT_EQ(kolvex::core::fs::splitlines(log).size(), 8u); // no line lost or doubled
}

TEST_F(SyncE2E, NotSignedInKeepsEverythingAndSaysHowToSignIn)
{
  const auto result = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("not signed in. Run `kolvex auth login` and they upload"));
  EXPECT_EQ(unsynced(), 2u);
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/example-attestation.yaml"));
}

TEST_F(SyncE2E, SetupProjectLinksWithoutTheNetwork)
{
  const auto linked = run_kolvex({"setup", "--project", "77"}, repo.path());
  ASSERT_EQ(linked.exit_code, 0) << linked.err;
  EXPECT_THAT(linked.out, HasSubstr("project 77"));
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"),
            Value(77));
  const auto relinked = run_kolvex({"setup", "project", "78"}, repo.path());
  ASSERT_EQ(relinked.exit_code, 0) << relinked.err;
  EXPECT_EQ(relinked.out, "Linked this repository to project 78\n");
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"),
            Value(78));
  EXPECT_EQ(run_kolvex({"setup", "--project", "x"}, repo.path()).exit_code, 2);
  EXPECT_EQ(run_kolvex({"setup", "--project", "0"}, repo.path()).exit_code, 2);
}

// A project or team id that is not one is named, fails the sync and sends nothing:
// never rounded, clamped, or taken as "no project" with a success.
TEST_F(SyncE2E, IdsThatAreNoIdsAreNamedAndNothingIsSent)
{
  DevServer server;
  sign_in(server);
  const kolvex::core::Map original = kolvex::services::shared::load_local_config(repo.path());
  for (const auto& [value, shown] : std::vector<std::pair<Value, std::string>>{
           {Value("abc"), "'abc'"}, {Value(4.2), "4.2"}, {Value(-3), "-3"}}) {
    kolvex::core::Map config = original;
    config.set("project_id", value);
    kolvex::services::shared::save_local_config(repo.path(), config);
    const auto result = run_kolvex({"sync", "--json"}, repo.path());
    EXPECT_EQ(result.exit_code, 1) << shown;
    const Value report = kolvex::core::json::parse(result.out);
    EXPECT_EQ(*report.get("ok"), Value(false));
    EXPECT_THAT(report.get("problems")->as_list().at(0).as_string(),
                HasSubstr("The project id " + shown + " in .kolvex/.platform/config.yaml"));
    EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"), value);
  }
  kolvex::services::shared::save_local_config(repo.path(), original);
  for (const char* team : {"0", "-3", "0x10", "99999999999999999999", "7.5"}) {
    const auto result = run_kolvex({"sync", std::string("--team-id=") + team}, repo.path());
    EXPECT_EQ(result.exit_code, 2) << team;
    EXPECT_THAT(result.err, HasSubstr(std::string("'") + team + "' is not an id")) << team;
  }
  EXPECT_EQ(unsynced(), 2u);

  // Once linked, a team id has nothing left to choose, and the user is told.
  ASSERT_EQ(run_kolvex({"sync"}, repo.path()).exit_code, 0);
  const auto late = run_kolvex({"sync", "--team-id", "5"}, repo.path());
  EXPECT_EQ(late.exit_code, 0) << late.err;
  EXPECT_THAT(late.err, HasSubstr("The team id 5 was not used: this repository is already linked"));
}

// A refresh that failed, or went on past a failure, says so: the debug log's place
// with KOLVEX_DEBUG on, and one line per failure, in words and in --json.
TEST_F(SyncE2E, RefreshFailuresAreShownInWordsAndJson)
{
  struct Row {
    std::vector<std::string> faults;
    std::string line; // in the words
    bool details;     // a "details:" hint
  };
  const std::vector<Row> rows = {
      {{"--fail", "/1/context$=500"}, "Context cache not refreshed: failed at fetch_context", true},
      {{"--fail", "/state/kolvexrules=401"},
       "Context cache: kolvexrules refused by the server (HTTP 401); the cached copy is kept",
       false},
      {{"--fail", "/skills=503"}, "Context cache: Skills fetch failed (", false},
  };
  env.set("KOLVEX_DEBUG", "1");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    DevServer server({.args = row.faults});
    sign_in(server);
    kolvex::core::Map config = kolvex::services::shared::load_local_config(repo.path());
    config.erase("project_id"); // each server is new: resolve there
    kolvex::services::shared::save_local_config(repo.path(), config);
    const auto words = run_kolvex({"sync"}, repo.path());
    EXPECT_EQ(words.exit_code, 0) << words.err;
    EXPECT_THAT(words.out + words.err, HasSubstr(row.line));
    const bool hinted = (words.out + words.err).find("details: .kolvex/.platform/logs/sync.log") !=
                        std::string::npos;
    EXPECT_EQ(hinted, row.details);
    const auto json = run_kolvex({"sync", "--json"}, repo.path());
    const Value report = kolvex::core::json::parse(json.out);
    EXPECT_EQ(report.get("details")->is_string(), row.details);
    EXPECT_EQ(report.get("cache_warnings")->as_list().size(), row.details ? 0u : 1u);
  }
}

TEST_F(SyncE2E, AnAttestationOfWhatIsStagedWaitsThroughASyncForItsCommit)
{
  DevServer server;
  sign_in(server);
  const std::string head = repo.git({"rev-parse", "HEAD"});
  repo.write("c.txt", "three\n");
  repo.git({"add", "c.txt"});
  (void)kolvex::testing::attest_staged(repo, "Added the third file");
  const stdfs::path pending = repo.path() / ".kolvex/.commit-attestation.yaml";
  const std::string written = kolvex::core::fs::read_text(pending);

  const auto sync = run_kolvex({"sync"}, repo.path());
  ASSERT_EQ(sync.exit_code, 0) << sync.out << sync.err;
  EXPECT_THAT(sync.out, HasSubstr("describes what is staged now; it waits for `git commit`"));
  EXPECT_EQ(kolvex::core::fs::read_text(pending), written);
  EXPECT_THAT(kolvex::testing::archive_of(repo, head), Not(HasSubstr("Added the third file")));

  repo.git({"commit", "-q", "-m", "third"});
  const std::string third = repo.git({"rev-parse", "HEAD"});
  EXPECT_THAT(kolvex::testing::archive_of(repo, third), HasSubstr("Added the third file"));
  const auto head_records = kolvex::testing::records_of(repo, head);
  ASSERT_EQ(head_records.size(), 1U);
  EXPECT_EQ(*head_records[0].get_string("summary"), "second");
}

TEST_F(SyncE2E, ACommitWhoseCaptureFailedIsRecordedByTheNextSessionStart)
{
  const stdfs::path archives = repo.path() / ".kolvex/.platform/attestations";
  // Dated past the setup's own second, which the walk leaves alone.
  const auto later = std::to_string(std::time(nullptr) + 5);
  std::string failed;
  {
    std::vector<stdfs::path> dirs{archives};
    if (stdfs::exists(archives / ".unlogged")) {
      dirs.push_back(archives / ".unlogged");
    }
    const Frozen frozen(dirs);
    if (!frozen.ok()) {
      GTEST_SKIP() << "no immutable flag here";
    }
    failed = repo.commit_file_at("c.txt", "three\n", "third", "@" + later + " +0000");
  }
  ASSERT_TRUE(kolvex::testing::records_of(repo, failed).empty()) << "the capture did not fail";
  const auto recorded = repo.commit_file("d.txt", "four\n", "fourth");
  ASSERT_EQ(kolvex::testing::records_of(repo, recorded).size(), 1U);

  const auto start = run_kolvex({"session-start", "--agent", "claude-code"}, repo.path());
  EXPECT_EQ(start.exit_code, 0) << start.err;
  const auto records = kolvex::testing::records_of(repo, failed);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(*records[0].get_string("summary"), "third");
}

TEST_F(SyncE2E, WhatSyncCannotReadOrWriteIsReportedAndFailsIt)
{
  DevServer server;
  sign_in(server);
  ASSERT_EQ(run_kolvex({"sync"}, repo.path()).exit_code, 0);
  const stdfs::path archives = repo.path() / ".kolvex/.platform/attestations";
  {
    const Frozen frozen({archives});
    if (!frozen.ok()) {
      GTEST_SKIP() << "no immutable flag here";
    }
    const auto frozen_sync = run_kolvex({"sync"}, repo.path());
    EXPECT_EQ(frozen_sync.exit_code, 1);
    EXPECT_THAT(frozen_sync.err, HasSubstr("Cannot write to " + archives.string()));
    EXPECT_THAT(frozen_sync.err, HasSubstr("commits made now are not recorded"));
    EXPECT_THAT(frozen_sync.out, Not(HasSubstr("every record is synced")));
  }
  EXPECT_EQ(run_kolvex({"sync"}, repo.path()).exit_code, 0);

  // The log replaced by a link to a copy of itself: refused, so nothing was read.
  const stdfs::path log = repo.path() / ".kolvex/.platform/log.jsonl";
  TempDir elsewhere;
  stdfs::copy_file(log, elsewhere.path() / "log.jsonl");
  stdfs::remove(log);
  stdfs::create_symlink(elsewhere.path() / "log.jsonl", log);
  (void)report_of_one_problem("is not a regular file (a link or a special file); it was not read");
}

// A .kolvex that is a link out of the repository: the records are not opened at
// all, the sync fails with that one reason, and nothing outside is read or written.
TEST_F(SyncE2E, RecordsBehindALinkAreNotOpenedAndFailTheSyncWithOneReason)
{
  DevServer server;
  sign_in(server);
  TempDir outside;
  stdfs::rename(repo.path() / ".kolvex", outside.path() / "records");
  stdfs::create_directory_symlink(outside.path() / "records", repo.path() / ".kolvex");
  const std::string log_before =
      kolvex::core::fs::read_text(outside.path() / "records/.platform/log.jsonl");

  const Value report =
      report_of_one_problem("The records of this repository cannot be opened (refusing " +
                            (repo.path() / ".kolvex").string());
  EXPECT_EQ(*report.get("upload"), Value());
  EXPECT_EQ(kolvex::core::fs::read_text(outside.path() / "records/.platform/log.jsonl"),
            log_before);
  EXPECT_FALSE(stdfs::exists(outside.path() / "records/.platform/context.yaml"));
  EXPECT_EQ(server.log().find("/v1/"), std::string::npos) << server.log();
}

// An amend replaces a commit: the server gets the amended commit's record, which
// names the old one, and not the old one as work of its own.
TEST_F(SyncE2E, ARecordARewriteReplacedIsNotSentOnItsOwn)
{
  DevServer server;
  sign_in(server);
  const std::string old = repo.git({"rev-parse", "HEAD"});
  repo.git({"commit", "-q", "--amend", "-m", "second, reworded"});
  const std::string amended = repo.git({"rev-parse", "HEAD"});
  ASSERT_EQ(run_kolvex({"sync"}, repo.path()).exit_code, 0);

  std::vector<std::string> received;
  for (const Value& row : server.attestations()) {
    received.push_back(row.get("commit")->as_string());
    if (received.back() == amended) {
      EXPECT_EQ(row.get("record")->get("rewritten_from")->as_list().at(0), Value(old));
    }
  }
  EXPECT_EQ(received, (std::vector<std::string>{repo.git({"rev-parse", "HEAD~1"}), amended}));
  EXPECT_THAT(run_kolvex({"status"}, repo.path()).out, Not(HasSubstr("waiting for upload")));
}

} // namespace
