#include "services/relaycore/log/ledger_archive.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "paths.hpp"
#include "services/ledger_service.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

namespace kolvex::services::relaycore::log {
namespace {

namespace stdfs = std::filesystem;
using testing::TempDir;

const std::string k_sha = "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7";

core::Map with_process_slug(const core::Value& slug)
{
  return core::Map{{"process", core::Map{{"slug", slug}}}};
}

core::Map with_spec(const std::string& ref)
{
  return core::Map{{"provenance", core::Map{{"type", "spec"}, {"ref", ref}}}};
}

std::vector<core::Map> events_in(const stdfs::path& file)
{
  std::vector<core::Map> events;
  const std::string text = core::fs::read_text(file);
  for (const auto line : core::fs::splitlines(text)) {
    events.push_back(core::json::parse(line).as_map());
  }
  return events;
}

int sealed_count(const std::vector<core::Map>& events)
{
  int count = 0;
  for (const auto& event : events) {
    const auto* name = event.find("milestone");
    count += name != nullptr && name->as_string() == "sealed";
  }
  return count;
}

struct Ledgers {
  TempDir root;
  stdfs::path att = paths::attestations_dir(root.path());
  stdfs::path live(const std::string& slug) const { return paths::ledger_jsonl(root.path(), slug); }
  stdfs::path archived() const { return paths::archived_ledger(root.path(), k_sha); }
  void start(const std::string& slug) const
  {
    root.write(live(slug).lexically_relative(root.path()),
               R"({"event": "started", "at": "2024-05-01T09:00:00Z"})"
               "\n");
  }
};

TEST(LedgerArchive, AttestationNamingNoChangeArchivesNothing)
{
  Ledgers l;
  _archive_ledger_segment(
      l.root.path(), paths::confined(l.att), core::Map{{"summary", "x"}}, k_sha);
  _archive_ledger_segment(l.root.path(), paths::confined(l.att), with_process_slug(""), k_sha);
  _archive_ledger_segment(
      l.root.path(), paths::confined(l.att), with_spec("changes/.hidden.md"), k_sha);
  EXPECT_FALSE(stdfs::exists(l.att));
}

TEST(LedgerArchive, SealsOnceThenMovesTheSegmentNextToTheRecord)
{
  Ledgers l;
  l.start("add-login");
  l.root.write(l.live("add-login").lexically_relative(l.root.path()).string() + ".lock", "");
  l.root.write(paths::ledger_pointer(l.root.path()).lexically_relative(l.root.path()),
               "add-login\n");
  _archive_ledger_segment(
      l.root.path(), paths::confined(l.att), with_process_slug("add-login"), k_sha);
  EXPECT_FALSE(stdfs::exists(l.live("add-login")));
  EXPECT_FALSE(stdfs::exists(l.live("add-login").string() + ".lock"));
  EXPECT_FALSE(stdfs::exists(paths::ledger_pointer(l.root.path())));
  const auto events = events_in(l.archived());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].find("milestone")->as_string(), "sealed");
  EXPECT_EQ(*events[1].find("evidence"), core::Value(core::Map{{"commit", k_sha}}));

  // Already sealed: no second milestone; a second archival replaces the first file.
  l.start("add-login");
  ledger_service::mark_milestone(
      l.root.path(), "add-login", "sealed", core::Map{{"commit", "earlier"}});
  _archive_ledger_segment(
      l.root.path(), paths::confined(l.att), with_spec("changes/add-login.md"), k_sha);
  const auto again = events_in(l.archived());
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(sealed_count(again), 1);
  EXPECT_EQ(again[1].find("evidence")->get("commit")->as_string(), "earlier");
}

TEST(LedgerArchive, EmptyProcessSlugFallsBackToTheChangeSpec)
{
  Ledgers l;
  l.start("from-spec");
  l.start("other-change");
  core::Map parsed = with_spec("specs/changes/from-spec.yaml");
  parsed.set("process", core::Map{{"slug", ""}});
  _archive_ledger_segment(l.root.path(), paths::confined(l.att), parsed, k_sha);
  EXPECT_TRUE(stdfs::exists(l.archived()));
  EXPECT_FALSE(stdfs::exists(l.live("from-spec")));
  EXPECT_TRUE(stdfs::exists(l.live("other-change"))); // other changes stay where they are
}

TEST(LedgerArchive, WithoutALedgerTheStaleLockAndPointerAreStillCleared)
{
  Ledgers l;
  const auto lock =
      l.root.write(l.live("gone").lexically_relative(l.root.path()).string() + ".lock", "");
  const auto pointer =
      l.root.write(paths::ledger_pointer(l.root.path()).lexically_relative(l.root.path()), "gone");
  _archive_ledger_segment(l.root.path(), paths::confined(l.att), with_process_slug("gone"), k_sha);
  EXPECT_TRUE(stdfs::is_directory(l.att));
  EXPECT_FALSE(stdfs::exists(l.archived()));
  EXPECT_FALSE(stdfs::exists(lock));
  EXPECT_FALSE(stdfs::exists(pointer));
}

TEST(LedgerArchive, AnUnsafeSlugIsNeverUsedAsAPath)
{
  Ledgers l;
  // A file the traversal would reach: <root>/victim.jsonl and its lock.
  const auto victim = l.root.write("victim.jsonl", "keep me\n");
  const auto victim_lock = l.root.write("victim.jsonl.lock", "");
  const std::string traversal = "../../../victim";
  ASSERT_EQ(stdfs::weakly_canonical(l.live(traversal)), victim);
  _archive_ledger_segment(
      l.root.path(), paths::confined(l.att), with_process_slug(traversal), k_sha);
  EXPECT_EQ(l.root.read("victim.jsonl"), "keep me\n");
  EXPECT_TRUE(stdfs::exists(victim_lock));
  EXPECT_FALSE(stdfs::exists(l.archived()));
  // The change spec still names a safe ledger: that one is archived.
  l.start("safe-one");
  core::Map parsed = with_spec("changes/safe-one.md");
  parsed.set("process", core::Map{{"slug", traversal}});
  _archive_ledger_segment(l.root.path(), paths::confined(l.att), parsed, k_sha);
  EXPECT_TRUE(stdfs::exists(l.archived()));
  EXPECT_EQ(l.root.read("victim.jsonl"), "keep me\n");
}

TEST(LedgerArchive, FailuresNeverStopTheFiling)
{
  testing::TempRepo repo;
  repo.commit_file("a.txt", "a\n", "first");
  const auto root = repo.path();
  const auto live = paths::ledger_jsonl(root, "broken");
  // Sealing fails (the ledger is not UTF-8) and so does the move (a non-empty
  // directory sits where the archived ledger goes).
  repo.write(live.lexically_relative(root), "\xff\xfe\n");
  repo.write(paths::archived_ledger(root, k_sha).lexically_relative(root) / "occupied", "x");
  const auto log = paths::log_jsonl(root);
  _log_attestation(paths::confined(log),
                   paths::confined(paths::attestations_dir(root)),
                   with_process_slug("broken"),
                   {.commit_override = k_sha, .repo_root = root});
  EXPECT_TRUE(stdfs::exists(live)); // the failed move left it where it was
  EXPECT_EQ(core::json::parse(core::fs::read_text(log)).get("commit")->as_string(), k_sha);
  EXPECT_TRUE(stdfs::exists(paths::attestations_dir(root) / (k_sha + ".yaml")));

  // Backfills leave the live ledger alone.
  repo.write(paths::ledger_jsonl(root, "current-change").lexically_relative(root), "{}\n");
  _log_attestation(
      paths::confined(log),
      paths::confined(paths::attestations_dir(root)),
      with_process_slug("current-change"),
      {.commit_override = std::string(40, 'd'), .repo_root = root, .archive_ledger = false});
  EXPECT_TRUE(stdfs::exists(paths::ledger_jsonl(root, "current-change")));
}

} // namespace
} // namespace kolvex::services::relaycore::log
