// Marking in place: five bytes per line, every other byte of the log kept, and the
// lines that cannot be marked that way still marked.
#include "services/relaycore/sync/synced_patcher.hpp"

#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace kolvex::services::relaycore::sync {
namespace {

using testing::sha_of;
using testing::UploadRepo;

void append_raw(const std::filesystem::path& path, const std::string& bytes)
{
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

TEST(SyncedPatcher, EachShapeOfLineEndsMarkedInPlaceOrByRewriteOrUntouched)
{
  const std::string a = sha_of('a', 1);
  struct Row {
    const char* what;
    std::string line;  // without its end
    std::string after; // the line once marked ("" for: parse and check synced)
    std::size_t patched;
  };
  const std::vector<Row> rows = {
      {"as written",
       R"({"commit": ")" + a + R"(", "summary": "s", "synced": false})",
       R"({"commit": ")" + a + R"(", "summary": "s", "synced":  true})",
       1},
      {"a nested look-alike first",
       R"({"commit": ")" + a + R"(", "x": {"synced": false}, "synced": false, "e": "c"})",
       R"({"commit": ")" + a + R"(", "x": {"synced": false}, "synced":  true, "e": "c"})",
       1},
      {"the words inside a string",
       R"({"commit": ")" + a + R"(", "summary": "\"synced\": false"})",
       "",
       0},
      {"a legacy uploaded member",
       R"({"commit": ")" + a + R"(", "uploaded": false, "synced": false})",
       "",
       0},
      {"written compactly", R"({"commit":")" + a + R"(","synced":false})", "", 0},
      {"already sent",
       R"({"commit": ")" + a + R"(", "synced": true})",
       R"({"commit": ")" + a + R"(", "synced": true})",
       0},
  };
  for (const Row& row : rows) {
    UploadRepo repo;
    const std::string before = log::log_line_text(UploadRepo::line(sha_of('b', 2), "other"));
    append_raw(repo.log(), before + "not json\n" + row.line + "\n" + before);
    const PatchStats stats = SyncedPatcher(repo.log()).mark({a, sha_of('c', 3)});
    EXPECT_EQ(stats.patched, row.patched) << row.what;
    const std::string text = core::fs::read_text(repo.log());
    if (!row.after.empty()) {
      EXPECT_EQ(text, before + "not json\n" + row.after + "\n" + before) << row.what;
      continue;
    }
    EXPECT_EQ(stats.rewritten, 1u) << row.what;
    const auto sent = log::read_attestation_log(paths::confined(repo.log()));
    EXPECT_EQ(sent.uploaded, 1) << row.what;
    EXPECT_EQ(sent.size(), 2u) << row.what;
  }
}

TEST(SyncedPatcher, LaterBatchesReadOnlyWhatWasAppendedAndFindReplacedLinesAgain)
{
  UploadRepo repo;
  for (unsigned i = 0; i < 200; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  const std::uintmax_t size = std::filesystem::file_size(repo.log());
  SyncedPatcher patcher(repo.log());
  EXPECT_EQ(patcher.mark({sha_of('a', 0)}).bytes_read, size);
  repo.record(sha_of('b', 0), "late", false);
  const PatchStats appended = patcher.mark({sha_of('a', 1), sha_of('b', 0)});
  EXPECT_EQ(appended.patched, 2u);
  EXPECT_EQ(appended.bytes_read, std::filesystem::file_size(repo.log()) - size);
  EXPECT_EQ(std::filesystem::file_size(repo.log()), size + appended.bytes_read); // same length

  // Another writer replaces the log (the attach path puts a line back to unsent)...
  ASSERT_TRUE(log::_replace_log_entry(paths::confined(repo.log()),
                                      UploadRepo::line(sha_of('a', 0), "attached")));
  EXPECT_EQ(patcher.mark({sha_of('a', 0)}).patched, 1u);
  // ...or edits a line where it is: the line is found by a fresh read.
  std::string text = core::fs::read_text(repo.log());
  const std::size_t at = text.find("\"r\"", text.find(sha_of('a', 3)));
  std::fstream(repo.log(), std::ios::in | std::ios::out | std::ios::binary).seekp(at + 1) << 'q';
  EXPECT_EQ(patcher.mark({sha_of('a', 2), sha_of('a', 3)}).patched, 2u);
  EXPECT_EQ(repo.synced_count(), 5u);
  EXPECT_EQ(log::read_attestation_log(paths::confined(repo.log())).size(), 196u);
}

} // namespace
} // namespace kolvex::services::relaycore::sync
