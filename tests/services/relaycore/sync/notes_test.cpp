// Reading notes back and keeping what a note must not hold out of it.
#include "services/relaycore/sync/notes.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace rsync = kolvex::services::relaycore::sync;
using kolvex::core::Map;
using kolvex::core::Value;

const std::string k_sha(40, 'a');

TEST(NoteReader, OnlyAnObjectNamingTheAnnotatedCommitIsItsRecord)
{
  EXPECT_TRUE(rsync::parse_note(R"({"commit": ")" + k_sha + "\"}\n", k_sha).has_value());
  EXPECT_FALSE(rsync::parse_note(R"({"commit": ")" + std::string(40, 'b') + "\"}", k_sha));
  EXPECT_FALSE(rsync::parse_note(R"({"summary": "no commit"})", k_sha));
  EXPECT_FALSE(rsync::parse_note(R"(["commit"])", k_sha));
  EXPECT_FALSE(rsync::parse_note("{\"commit\": \"" + k_sha, k_sha));
  EXPECT_FALSE(rsync::parse_note("", k_sha));
}

TEST(NoteReader, CatFileBatchOutputIsSplitBySizeNotByLines)
{
  const std::string body = "line one\nline two";
  const auto objects = rsync::parse_cat_file_batch(k_sha + " blob " + std::to_string(body.size()) +
                                                   "\n" + body + "\n" + "deadbeef missing\n");
  ASSERT_TRUE(objects.has_value());
  ASSERT_EQ(objects->size(), 2U);
  EXPECT_EQ((*objects)[0], body);
  EXPECT_EQ((*objects)[1], "");
  EXPECT_FALSE(rsync::parse_cat_file_batch(k_sha + " blob 99\nshort\n"));
  EXPECT_FALSE(rsync::parse_cat_file_batch(k_sha + " blob 5\nshort"));
  EXPECT_FALSE(rsync::parse_cat_file_batch(k_sha + " blob x\n\n"));
}

TEST(NoteScrub, PathsOutsideTheRepositoryAreLeftOutAndInsideOnesMadeRelative)
{
  const Map record{{"commit", k_sha},
                   {"summary", "Fixed /api and ~ handling in two places"},
                   {"transcript", "/home/dev/.claude/projects/x.jsonl"},
                   {"config", "~/.config/kolvex"},
                   {"file", "/work/repo/src/main.cpp"},
                   {"nested", Map{{"paths", kolvex::core::List{"/etc/passwd", "/work/repo/a"}}}}};
  const Map kept = rsync::without_outside_paths(record, "/work/repo");
  EXPECT_EQ(*kept.find("summary"), Value("Fixed /api and ~ handling in two places"));
  EXPECT_FALSE(kept.contains("transcript"));
  EXPECT_FALSE(kept.contains("config"));
  EXPECT_EQ(*kept.find("file"), Value("src/main.cpp"));
  EXPECT_EQ(*kept.find("nested")->get("paths"), Value(kolvex::core::List{"a"}));
}

} // namespace
