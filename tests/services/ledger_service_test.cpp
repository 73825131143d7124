#include "services/ledger_service.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "paths.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

namespace kolvex::services::ledger_service {
namespace {

namespace stdfs = std::filesystem;
using testing::TempDir;

TEST(LedgerService, SafeSlugs)
{
  for (const std::string& ok : std::vector<std::string>{
           "add-login", "a", "v1.2_fix", "0day", std::string(100, 'x'), "-dash"}) {
    EXPECT_TRUE(is_safe_slug(ok)) << ok;
  }
  for (const std::string& bad : std::vector<std::string>{"",
                                                         ".",
                                                         "..",
                                                         ".hidden",
                                                         "../x",
                                                         "a/b",
                                                         "a\\b",
                                                         "Upper",
                                                         "sp ace",
                                                         std::string(101, 'x'),
                                                         "caf\xc3\xa9",
                                                         std::string("nul\0", 4),
                                                         "x:y"}) {
    EXPECT_FALSE(is_safe_slug(bad)) << bad;
  }
}

TEST(LedgerService, MilestonesSealAndDescribeTheLiveLedger)
{
  TempDir root;
  EXPECT_FALSE(is_sealed(root.path(), "feature"));
  EXPECT_FALSE(derive_process_section(root.path(), "feature").has_value());

  root.write(paths::ledger_jsonl(root.path(), "feature").lexically_relative(root.path()),
             "{\"event\": \"started\", \"at\": \"2024-05-01T09:00:00Z\"}\n"
             "not json\n\n[1]\n"
             "{\"event\": \"milestone\", \"milestone\": \"tests-green\", \"at\": \"x\"}\n");
  EXPECT_FALSE(is_sealed(root.path(), "feature"));
  mark_milestone(root.path(), "feature", "sealed", core::Map{{"commit", "abc"}});
  EXPECT_TRUE(is_sealed(root.path(), "feature"));

  const auto section = derive_process_section(root.path(), "feature");
  ASSERT_TRUE(section.has_value());
  EXPECT_EQ(core::json::dump(core::Value(*section)),
            R"({"slug": "feature", "events": 3, "milestones": ["tests-green", "sealed"]})");

  const std::string text = core::fs::read_text(paths::ledger_jsonl(root.path(), "feature"));
  const auto lines = core::fs::splitlines(text);
  const core::Value last = core::json::parse(lines.back());
  EXPECT_EQ(last.get("event")->as_string(), "milestone");
  EXPECT_EQ(*last.get("evidence"), core::Value(core::Map{{"commit", "abc"}}));
  const std::string at = last.get("at")->as_string();
  EXPECT_EQ(at.size(), 20u);
  EXPECT_EQ(at.back(), 'Z');
}

TEST(LedgerService, UnsafeSlugsNeverReachTheFileSystem)
{
  TempDir root;
  const auto outside =
      root.write("escape.jsonl", "{\"event\": \"milestone\", \"milestone\": \"sealed\"}\n");
  const std::string traversal = "../../../escape";
  ASSERT_EQ(stdfs::weakly_canonical(paths::ledger_jsonl(root.path(), traversal)), outside);
  EXPECT_FALSE(is_sealed(root.path(), traversal));
  EXPECT_FALSE(derive_process_section(root.path(), traversal).has_value());
  EXPECT_THROW(mark_milestone(root.path(), traversal, "sealed"), std::invalid_argument);
  EXPECT_EQ(root.read("escape.jsonl"), "{\"event\": \"milestone\", \"milestone\": \"sealed\"}\n");
}

TEST(LedgerService, PointerIsClearedOnlyForItsOwnSlug)
{
  TempDir root;
  clear_pointers_for_slug(root.path(), "nothing-here"); // no pointer, no error
  const auto pointer =
      root.write(paths::ledger_pointer(root.path()).lexically_relative(root.path()), "mine\n");
  clear_pointers_for_slug(root.path(), "other");
  EXPECT_TRUE(stdfs::exists(pointer));
  clear_pointers_for_slug(root.path(), "mine");
  EXPECT_FALSE(stdfs::exists(pointer));
}

} // namespace
} // namespace kolvex::services::ledger_service
