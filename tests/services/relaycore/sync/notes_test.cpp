// Reading notes back and keeping what a note must not hold out of it.
#include "services/relaycore/sync/notes.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(NoteReader, AMergedNoteHoldsOneVersionALineAndTheAttestedNewestIsBelieved)
{
  const std::string unattested =
      R"({"commit": ")" + k_sha + R"(", "event": "commit_unattested", "timestamp": "2026-01-02"})";
  const std::string attested_old = R"({"commit": ")" + k_sha + R"(", "timestamp": "2026-01-01"})";
  const std::string attested_new = R"({"commit": ")" + k_sha + R"(", "timestamp": "2026-01-03"})";
  const std::string other = R"({"commit": ")" + std::string(40, 'b') + R"("})";
  struct Case {
    std::string note;
    std::size_t versions;
    std::string believed_timestamp;
  };
  const std::vector<Case> cases{
      {unattested + "\n" + attested_old + "\n", 2, "2026-01-01"},
      {attested_old + "\n" + unattested + "\n", 2, "2026-01-01"},
      {attested_new + "\n" + attested_old + "\n" + unattested, 3, "2026-01-03"},
      {other + "\nnot json\n\n" + unattested + "\n", 1, "2026-01-02"},
      {other, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    const auto versions = rsync::parse_note_versions(c.note, k_sha);
    ASSERT_EQ(versions.size(), c.versions);
    if (c.versions > 0) {
      EXPECT_EQ(*versions[rsync::best_version(versions)].record.find("timestamp"),
                Value(c.believed_timestamp));
    }
  }
}

TEST(NoteReader, ASignedLineCoversTheRecordTextExactlyAndItsCommit)
{
  const std::string record_text = R"({"commit": ")" + k_sha + R"(", "summary": "x, \"y\""})";
  const rsync::NoteSignature signature{"ssh", "-----BEGIN SSH SIGNATURE-----\nAAAA\n"};
  const std::string line = rsync::note_line(record_text, signature);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto versions = rsync::parse_note_versions(line + "\n", k_sha);
  ASSERT_EQ(versions.size(), 1U);
  EXPECT_EQ(versions[0].record_text, record_text);
  EXPECT_FALSE(versions[0].record.contains(std::string(rsync::SIGNATURE_MEMBER)));
  ASSERT_TRUE(versions[0].signature.has_value());
  EXPECT_EQ(versions[0].signature->signature, signature.signature);
  EXPECT_EQ(versions[0].signed_payload, rsync::signed_payload(k_sha, record_text));
  EXPECT_NE(rsync::signed_payload(k_sha, record_text),
            rsync::signed_payload(std::string(40, 'b'), record_text));

  // A signature member that is not one, or a signed line of another commit: no record.
  const std::string bad =
      record_text.substr(0, record_text.size() - 1) + R"(, "kolvex_signature": 7})";
  EXPECT_TRUE(rsync::parse_note_versions(bad, k_sha).empty());
  EXPECT_TRUE(rsync::parse_note_versions(line, std::string(40, 'b')).empty());
  EXPECT_EQ(rsync::note_line(record_text, std::nullopt), record_text);
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
