#include "services/relaycore/log/attestation_log.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "paths.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <system_error>

#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kolvex::services::relaycore::log {
namespace {

using testing::TempDir;

const std::string k_sha1 = "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7";
const std::string k_sha256 = "9b74c9897bac770ffc029102a200c5dee0b1f3a3c1e0d4b2a1f9e8d7c6b5a4f3";

std::string line_for(const std::string& commit, const std::string& extra = "")
{
  return R"({"commit": ")" + commit + R"(", "branch": "main", "synced": false)" + extra + "}";
}

struct Counts {
  std::size_t pending;
  std::int64_t uploaded, skipped, unaddressable, corrupt, attested, unattested;
};

void expect_counts(const AttestationLog& log, const Counts& want)
{
  EXPECT_EQ(log.size(), want.pending);
  EXPECT_EQ(log.uploaded, want.uploaded);
  EXPECT_EQ(log.skipped, want.skipped);
  EXPECT_EQ(log.unaddressable, want.unaddressable);
  EXPECT_EQ(log.corrupt, want.corrupt);
  EXPECT_EQ(log.attested, want.attested);
  EXPECT_EQ(log.unattested, want.unattested);
}

TEST(AttestationLogRead, BlankLinesOfEveryKindCountNowhere)
{
  // Spaces, tabs, CR LF, lone CR, form feed, NEL, no-break and ideographic spaces.
  const std::string text = "\n   \n\t\r\n\r\f\n\xc2\x85\xc2\xa0 \xe3\x80\x80\n\xe2\x80\xa8\n";
  expect_counts(read_attestation_log_text(text), {0, 0, 0, 0, 0, 0, 0});
  expect_counts(read_attestation_log_text(""), {0, 0, 0, 0, 0, 0, 0});
}

TEST(AttestationLogRead, NonObjectsAndBrokenLinesAreCorrupt)
{
  const std::vector<std::string> corrupt{
      "[1, 2]",
      "42",
      "\"just text\"",
      "null",
      "{\"commit\": \"" + k_sha1 + "\"",    // torn line
      "{\"commit\": \"" + k_sha1 + "\"} x", // trailing garbage
      "{'commit': 'single quotes'}",
      "{\"a\": 1,}",
      "{\"a\": 01}",
      "{\"a\": \"raw\ttab\"}",
      "\xef\xbb\xbf{\"a\": 1}", // a byte-order mark is not whitespace
  };
  std::string text;
  for (const auto& line : corrupt) {
    text += line + "\n";
  }
  text += line_for(k_sha1) + "\n";
  const AttestationLog log = read_attestation_log_text(text);
  expect_counts(log, {1, 0, 0, 0, static_cast<std::int64_t>(corrupt.size()), 1, 0});
}

TEST(AttestationLogRead, DeliveryStateAndEventsPartitionObjectLines)
{
  const std::vector<std::string> lines{
      // sent: counted in its event and in uploaded, never pending
      line_for(k_sha1, R"(, "synced": true, "event": "commit_unattested")"),
      R"({"commit": ")" + k_sha1 + R"(", "uploaded": true})",
      R"({"commit": "unknown", "synced": "false"})", // a non-empty text is truthy
      R"({"commit": "unknown", "synced": 0, "uploaded": [0]})",
      // not sent: false, 0, 0.0, "", [], {}, null
      R"({"commit": ")" + k_sha1 + R"(", "synced": false, "uploaded": null})",
      R"({"commit": ")" + k_sha1 + R"(", "synced": 0, "uploaded": -0.0})",
      R"({"commit": ")" + k_sha256 + R"(", "synced": "", "uploaded": []})",
      R"({"commit": ")" + k_sha1 + R"(", "synced": {}, "event": "attestation_skipped"})",
      // unsent and unaddressable
      line_for("unknown", R"(, "event": "commit_unattested")"),
      line_for(k_sha1.substr(0, 12)),
      line_for("3F2A9C1E5B7D4F60A8E2C9B1D3F5A7C9E1B3D5F7"),
      line_for(k_sha1 + "0"),
      R"({"commit": 1234, "synced": false})",
      R"({"commit": null})",
      R"({"branch": "main"})",
      // events other than the two known ones are attested
      line_for(k_sha1, R"(, "event": "something_else")"),
      line_for(k_sha1, R"(, "event": null)"),
  };
  std::string text;
  for (const auto& line : lines) {
    text += line + "\n";
  }
  const AttestationLog log = read_attestation_log_text(text);
  expect_counts(log, {6, 4, 1, 7, 0, 14, 2});
  // Every object line is in exactly one part of each split.
  EXPECT_EQ(log.skipped + log.unattested + log.attested, static_cast<std::int64_t>(lines.size()));
  EXPECT_EQ(log.uploaded + log.unaddressable + static_cast<std::int64_t>(log.size()),
            static_cast<std::int64_t>(lines.size()));
}

TEST(AttestationLogRead, PendingHoldsParsedLinesUnchangedInFileOrder)
{
  const std::string first =
      R"({"commit": ")" + k_sha256 +
      R"(", "summary": "caf\u00e9", "telemetry": {"z": 1, "a": [1.5, null]}, "synced": false})";
  const std::string second = line_for(k_sha1, R"(, "event": "attestation_skipped")");
  const AttestationLog log =
      read_attestation_log_text(first + "\n" + line_for("unknown") + "\n" + second + "\n");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(core::Value(log.pending[0]), core::json::parse(first));
  EXPECT_EQ(core::Value(log.pending[1]), core::json::parse(second));
  EXPECT_EQ(core::json::dump(core::Value(log.pending[0])), first);
  EXPECT_EQ(log.skipped, 1);
}

TEST(AttestationLogRead, EveryLineBoundaryAndSurroundingSpaceReadAlike)
{
  const std::string a = line_for(k_sha1);
  const std::string b = line_for(k_sha256, R"(, "synced": true)");
  const std::string c = line_for("unknown");
  const AttestationLog lf = read_attestation_log_text(a + "\n" + b + "\n" + c + "\n");
  for (const std::string& sep : {std::string("\r\n"),
                                 std::string("\r"),
                                 std::string("\xe2\x80\xa8"),
                                 std::string("\xc2\x85"),
                                 std::string("\x1e"),
                                 std::string("\n\n \xc2\xa0\n")}) {
    SCOPED_TRACE(::testing::PrintToString(sep));
    const AttestationLog other = read_attestation_log_text(a + sep + b + sep + c);
    expect_counts(other,
                  {lf.size(),
                   lf.uploaded,
                   lf.skipped,
                   lf.unaddressable,
                   lf.corrupt,
                   lf.attested,
                   lf.unattested});
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other.pending[0], lf.pending[0]);
  }
  // Leading and trailing Unicode spaces are stripped before parsing.
  const AttestationLog padded =
      read_attestation_log_text("\xc2\xa0\t " + a + " \xe2\x80\x83\xe3\x80\x80\n");
  expect_counts(padded, {1, 0, 0, 0, 0, 1, 0});
}

TEST(AttestationLogRead, FileThatCannotBeReadIsAnEmptyLogButBadUtf8Throws)
{
  TempDir dir;
  expect_counts(read_attestation_log(paths::confined(dir.path() / "absent.jsonl")),
                {0, 0, 0, 0, 0, 0, 0});
  expect_counts(read_attestation_log(paths::confined(dir.path())),
                {0, 0, 0, 0, 0, 0, 0}); // a directory
  const auto locked_out = dir.write("locked.jsonl", line_for(k_sha1) + "\n");
  if (::geteuid() != 0) { // root reads through any mode
    std::filesystem::permissions(locked_out, std::filesystem::perms::none);
    expect_counts(read_attestation_log(paths::confined(locked_out)), {0, 0, 0, 0, 0, 0, 0});
  }
  const auto good = dir.write("good.jsonl", line_for(k_sha1) + "\n" + line_for("unknown") + "\n");
  expect_counts(read_attestation_log(paths::confined(good)), {1, 0, 0, 1, 0, 2, 0});
  const auto bad = dir.write("bad.jsonl", line_for(k_sha1) + "\n{\"summary\": \"\xff\"}\n");
  EXPECT_THROW((void)read_attestation_log(paths::confined(bad)), core::fs::DecodeError);
}

// The file is read in blocks; whatever falls across a block's end (a line, a CR LF
// pair, a multi-byte character or separator) must read exactly as in the whole text.
TEST(AttestationLogRead, LargeFilesReadInBlocksExactlyAsTheWholeText)
{
  const std::vector<std::string> separators{"\n", "\r\n", "\r", "\xe2\x80\xa8", "\xc2\x85", "\n\n"};
  std::int64_t broken = 0;
  auto build = [&](bool only_cr) {
    std::string text;
    broken = 0;
    for (unsigned i = 0; text.size() < 3'500'000; ++i) {
      const std::string commit = i % 7 == 0 ? "unknown" : k_sha1;
      text +=
          line_for(commit, i % 3 == 0 ? R"(, "synced": true)" : "")
              .insert(1, "\"summary\": \"caf\xc3\xa9 \xe2\x9c\x93 " + std::to_string(i) + "\", ");
      text += only_cr ? "\r" : separators[i % separators.size()];
      if (i % 5000 == 0) {
        text += "not json\n";
        ++broken;
      }
    }
    return text;
  };
  TempDir dir;
  for (const bool only_cr : {false, true}) {
    SCOPED_TRACE(only_cr);
    const std::string text = build(only_cr);
    const AttestationLog whole = read_attestation_log_text(text);
    const AttestationLog blocks =
        read_attestation_log(paths::confined(dir.write("log.jsonl", text)));
    expect_counts(blocks,
                  {whole.size(),
                   whole.uploaded,
                   whole.skipped,
                   whole.unaddressable,
                   whole.corrupt,
                   whole.attested,
                   whole.unattested});
    EXPECT_TRUE(blocks.pending == whole.pending);
    // Streamed, the same lines in the same order, and the same counts.
    std::vector<core::Map> streamed;
    const AttestationLogCounts counts =
        for_each_pending_record(paths::confined(dir.path() / "log.jsonl"),
                                [&](core::Map entry) { streamed.push_back(std::move(entry)); });
    EXPECT_TRUE(streamed == whole.pending);
    EXPECT_EQ(counts, whole.counts());
    EXPECT_GT(whole.size(), 1000u);
    EXPECT_GT(whole.unaddressable, 100);
    EXPECT_EQ(whole.corrupt, broken);
  }
  // A bad byte far past the first block is still found, at its offset in the file.
  std::string text = build(false);
  const std::size_t bad_at = text.find('{', 2'600'000); // an ASCII byte, not inside a character
  text[bad_at] = '\xff';
  try {
    (void)read_attestation_log(paths::confined(dir.write("bad.jsonl", text)));
    ADD_FAILURE() << "no DecodeError";
  } catch (const core::fs::DecodeError& e) {
    EXPECT_EQ(e.offset(), bad_at);
  }
}

// A failure of the consumer (a marking that could not be written) stops the read
// and reaches the caller: it is never taken for a log that cannot be read.
TEST(AttestationLogRead, AStreamedConsumersErrorStopsTheReadAndPropagates)
{
  TempDir dir;
  const auto log = dir.write("log.jsonl", line_for(k_sha1) + "\n" + line_for(k_sha1) + "\n");
  int handed = 0;
  EXPECT_THROW((void)for_each_pending_record(paths::confined(log),
                                             [&](const core::Map&) {
                                               ++handed;
                                               throw std::system_error(
                                                   EIO, std::generic_category(), "marking");
                                             }),
               std::system_error);
  EXPECT_EQ(handed, 1);
}

// A last line without its end is a line once it is a whole record (an editor
// saved it so); anything less is still being appended, neither counted nor corrupt.
TEST(AttestationLogRead, ALastPieceWithoutALineEndCountsOnlyAsAWholeRecord)
{
  TempDir dir;
  const std::string whole = line_for(k_sha1) + "\n" + line_for(k_sha256) + "\r";
  const std::vector<std::pair<std::string, std::size_t>> pieces{
      {R"({"commit": "3f2a9c1e5b7d4f60)", 2},
      {"\xe2\x80", 2}, // half a U+2028, half a character
      {line_for(k_sha1).substr(0, line_for(k_sha1).size() - 1), 2},
      {line_for(k_sha1), 3},
      {"  " + line_for(k_sha256) + " ", 3},
  };
  for (const auto& [piece, pending] : pieces) {
    SCOPED_TRACE(piece);
    const auto log = dir.write("log.jsonl", whole + piece);
    expect_counts(read_attestation_log(paths::confined(log)),
                  {pending, 0, 0, 0, 0, std::int64_t(pending), 0});
    EXPECT_EQ(count_attestation_log(paths::confined(log)),
              read_attestation_log(paths::confined(log)).counts());
  }
  // Text already in memory is whole: its last line counts.
  expect_counts(read_attestation_log_text(whole + "{torn"), {2, 0, 0, 0, 1, 2, 0});
}

// Readers race appenders (they take no lock): whatever moment they read at, the
// line being written is never counted.
TEST(AttestationLogRead, ReadsRacingAppendsNeverSeeACorruptLine)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  const std::string line =
      line_for(k_sha1, R"(, "summary": ")" + std::string(6000, 's') + "\"") + "\n";
  const pid_t writer = ::fork();
  if (writer == 0) {
    for (int i = 0; i < 4000; ++i) {
      core::fs::append_line(log, line);
    }
    ::_exit(0);
  }
  std::int64_t corrupt = 0;
  std::int64_t reads = 0;
  for (int status = 0; ::waitpid(writer, &status, WNOHANG) == 0; ++reads) {
    corrupt += count_attestation_log(paths::confined(log)).corrupt +
               read_attestation_log(paths::confined(log)).corrupt;
  }
  EXPECT_EQ(corrupt, 0) << "in " << reads << " reads";
  expect_counts(read_attestation_log(paths::confined(log)), {4000, 0, 0, 0, 0, 4000, 0});
}

// What status and the session summary show comes from a read that keeps no line,
// and must be exactly what the full read counts, whatever the mix of lines.
// A line whose commit a rewrite replaced is neither pending nor sent: its record
// travels inside the replacing commit's.  Only a full sha replaces; the scan and the
// full parse (escaped text) agree, and a sent line stays sent.
TEST(AttestationLogRead, ALineARewriteReplacedIsNotPending)
{
  struct Case {
    std::string extra;
    std::int64_t replaced;
    std::size_t pending;
    std::int64_t uploaded;
  };
  for (const Case& c :
       {Case{R"(, "replaced_by": ")" + k_sha256 + "\"", 1, 0, 0},
        Case{R"(, "replaced_by": "\u0039)" + k_sha256.substr(1) + "\"", 1, 0, 0},
        Case{R"(, "replaced_by": "HEAD")", 0, 1, 0},
        Case{R"(, "replaced_by": null)", 0, 1, 0},
        Case{R"(, "replaced_by": ")" + k_sha1 + R"(", "uploaded": true)", 0, 0, 1}}) {
    SCOPED_TRACE(c.extra);
    const std::string text = line_for(k_sha1, c.extra) + "\n";
    const AttestationLog log = read_attestation_log_text(text);
    EXPECT_EQ(log.replaced, c.replaced);
    EXPECT_EQ(log.size(), c.pending);
    EXPECT_EQ(log.uploaded, c.uploaded);
    TempDir dir;
    dir.write("log.jsonl", text);
    EXPECT_EQ(count_attestation_log(paths::confined(dir.path() / "log.jsonl")), log.counts());
  }
}

TEST(AttestationLogCount, CountsWhatTheFullReadCounts)
{
  TempDir dir;
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    switch (i % 9) {
    case 0:
      text += line_for(k_sha1, R"(, "synced": true)") + "\n";
      break;
    case 1:
      text += line_for("unknown", R"(, "event": "commit_unattested")") + "\n";
      break;
    case 2:
      text += line_for(k_sha256, R"(, "event": "attestation_skipped")") + "\r\n";
      break;
    case 3:
      text += "[1, 2]\n{torn\n\n";
      break;
    case 4: // settled only by a full parse: escapes, a float that may be zero
      text += R"({"\u0063ommit": ")" + k_sha1 +
              R"(", "synced": 1e-400})"
              "\n";
      break;
    case 5:
      text += R"({"commit": "\u0033f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7", "uploaded": 0})"
              "\n";
      break;
    default:
      text += line_for(k_sha1) + "\n";
      break;
    }
  }
  const auto log = dir.write("log.jsonl", text);
  const AttestationLog full = read_attestation_log(paths::confined(log));
  EXPECT_EQ(count_attestation_log(paths::confined(log)), full.counts());
  EXPECT_GT(full.size(), 1000U);
  EXPECT_GT(full.corrupt, 600);
  EXPECT_EQ(count_attestation_log(paths::confined(dir.path() / "missing.jsonl")),
            AttestationLogCounts{});
  EXPECT_THROW((void)count_attestation_log(
                   paths::confined(dir.write("bad.jsonl", line_for(k_sha1) + "\xff\n"))),
               core::fs::DecodeError);
}

} // namespace
} // namespace kolvex::services::relaycore::log
