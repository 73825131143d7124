#include "agents/transcript_io.hpp"

#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kolvex::agents;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

TEST(TranscriptIo, TimestampsAsTheHarnessesWriteThem)
{
  EXPECT_EQ(parse_timestamp("2025-12-24T10:00:15.000Z"), 1766570415.0);
  EXPECT_EQ(parse_timestamp("2025-12-24T10:00:15Z"), 1766570415.0);
  EXPECT_EQ(parse_timestamp("2025-12-24T10:00:15"), 1766570415.0); // no zone: UTC
  EXPECT_EQ(parse_timestamp("2026-01-02T12:00:00+02:00"), 1767348000.0);
  EXPECT_EQ(parse_timestamp("2024-02-29T23:59:59Z"), 1709251199.0);
  EXPECT_DOUBLE_EQ(*parse_timestamp("2025-12-24T10:00:15.250Z"), 1766570415.25);
  for (const char* bad : {"",
                          "2025-12-24",
                          "2025-13-01T00:00:00Z",
                          "2025-12-24T10:00:15.Z",
                          "yesterday at noon",
                          "2025-12-24T10:00:15+0200",
                          "2025-12-24T1O:00:15Z"}) {
    EXPECT_FALSE(parse_timestamp(bad).has_value()) << bad;
  }
  EXPECT_EQ(format_timestamp(1766570415.9), "2025-12-24T10:00:15Z");
}

TEST(TranscriptIo, SessionIdsThatCouldLeaveTheStoreAreRefused)
{
  EXPECT_TRUE(is_safe_session_id("06090cb1-3e64-433a-bc7e-a621c0f596d2"));
  EXPECT_TRUE(is_safe_session_id("session_alpha.v2"));
  for (const char* bad : {"", ".", "..", "../etc/passwd", "a/b", ".hidden", "a b", "a\nb"}) {
    EXPECT_FALSE(is_safe_session_id(bad)) << bad;
  }
  EXPECT_FALSE(is_safe_session_id(std::string(201, 'a')));
}

TEST(TranscriptIo, RepoMatcherComparesWholePathComponents)
{
  TempDir dir;
  stdfs::create_directories(dir.path() / "repo/src");
  stdfs::create_directory_symlink(dir.path() / "repo", dir.path() / "link");
  const RepoMatcher matcher(dir.path() / "link");
  const auto real = (dir.path() / "repo").string();
  EXPECT_TRUE(matcher.contains(real));
  EXPECT_TRUE(matcher.contains(real + "/"));
  EXPECT_TRUE(matcher.contains(real + "/src"));
  EXPECT_TRUE(matcher.contains((dir.path() / "link/src").string()));
  EXPECT_FALSE(matcher.contains(real + "-other"));
  EXPECT_FALSE(matcher.contains(dir.path().string()));
  EXPECT_FALSE(matcher.contains(""));
}

TEST(TranscriptIo, ReadsWholeFilesAndSkipsWhatIsNotAFile)
{
  TempDir dir;
  const auto file = dir.write("t.jsonl", "{\"a\":1}\n\n  \r\n{\"b\":2}\r\n{\"c\"");
  auto buffer = read_transcript(file);
  ASSERT_TRUE(buffer.has_value());
  const auto lines = split_lines(buffer->bytes());
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[1].text, "{\"b\":2}");
  EXPECT_TRUE(lines[1].complete);
  EXPECT_FALSE(lines[2].complete);
  EXPECT_EQ(read_transcript(file, 4)->bytes(), "{\"a\"");

  EXPECT_FALSE(read_transcript(dir.path() / "missing.jsonl").has_value());
  EXPECT_FALSE(read_transcript(dir.path()).has_value()); // a directory
  const auto fifo = dir.path() / "pipe.jsonl";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(read_transcript(fifo).has_value()) << "a FIFO must neither block nor be read";
}

TEST(TranscriptIo, LineReaderAgreesWithWholeFileSplittingAcrossChunksAndLongLines)
{
  TempDir dir;
  std::string text;
  for (int i = 0; i < 4000; ++i) { // lines straddle every 1 MiB chunk boundary
    text += "{\"n\":" + std::to_string(i) + ",\"pad\":\"" +
            std::string(static_cast<std::size_t>(i % 700), 'x') + "\"}\r\n";
    if (i == 1500) {
      text += std::string(3u << 20, 'y') + "\n\n"; // longer than the buffer: it must grow
    }
  }
  text += "{\"last\":"; // cut short
  const auto file = dir.write("big.jsonl", text);
  const auto expected = split_lines(text);

  LineReader reader(file);
  ASSERT_TRUE(reader.ok());
  std::size_t count = 0;
  Line line;
  while (reader.next(line)) {
    ASSERT_LT(count, expected.size());
    ASSERT_EQ(line.text, expected[count].text) << "line " << count;
    EXPECT_EQ(line.complete, expected[count].complete);
    EXPECT_GE(reader.readable_from(line.text.data()), line.text.size() + TRANSCRIPT_PADDING);
    ++count;
  }
  EXPECT_EQ(count, expected.size());
  EXPECT_FALSE(reader.next(line));
  EXPECT_FALSE(LineReader(dir.path() / "missing").ok());
  EXPECT_FALSE(LineReader(dir.path()).ok());
}

// A line over MAX_TRANSCRIPT_LINE (gigabytes without a newline, in a hostile
// transcript) is skipped whole, the lines around it still read, and the buffer
// never grows past the cap.
TEST(TranscriptIo, LinesOverTheCapAreSkippedWhole)
{
  TempDir dir;
  const std::string huge(MAX_TRANSCRIPT_LINE + 3, 'x');
  const auto file = dir.write("hostile.jsonl",
                              "{\"a\":1}\n" + huge + "\n{\"b\":2}\n" +
                                  std::string(MAX_TRANSCRIPT_LINE, 'y') + "\n" + huge);
  LineReader reader(file);
  std::vector<std::string> seen;
  Line line;
  while (reader.next(line)) {
    seen.emplace_back(line.text);
    EXPECT_LE(reader.readable_from(line.text.data()), MAX_TRANSCRIPT_LINE + TRANSCRIPT_PADDING);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
}
