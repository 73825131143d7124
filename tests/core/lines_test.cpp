#include "core/lines.hpp"

#include "core/fs.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace lines = kolvex::core::lines;
using kolvex::testing::TempDir;
using Lines = std::vector<std::string_view>;

namespace {

// Text with every kind of boundary, long and empty lines, multi-byte characters.
std::string mixed_text(std::size_t size, unsigned seed)
{
  static const std::vector<std::string> pieces{"\n",
                                               "\r\n",
                                               "\r",
                                               "\v",
                                               "\f",
                                               "\x1c",
                                               "\x1e",
                                               "\xc2\x85",
                                               "\xe2\x80\xa8",
                                               "\xe2\x80\xa9",
                                               "caf\xc3\xa9",
                                               "\xe2\x9c\x93",
                                               "{\"commit\": \"abc\"}",
                                               std::string(5000, 'x'),
                                               " "};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    text += pieces[random() % pieces.size()];
  }
  return text;
}

Lines collect(std::string_view text, lines::Tail tail = lines::Tail::keep)
{
  Lines out;
  lines::for_each_line(
      text, [&](std::string_view line) { out.push_back(line); }, tail);
  return out;
}

struct Read {
  std::string blocks; // every run given, in order
  std::string tail;
  std::uint64_t first_offset = 0;
  std::size_t count = 0;
  bool each_ends_with_newline = true;
};

Read read_all(int fd,
              std::uint64_t begin = 0,
              std::optional<std::uint64_t> end = std::nullopt,
              bool align = false)
{
  lines::LineBlockReader reader(fd, begin, end, align, 4096);
  Read read;
  while (const auto block = reader.next()) {
    if (read.count++ == 0) {
      read.first_offset = reader.offset();
    }
    read.each_ends_with_newline = read.each_ends_with_newline && block->back() == '\n';
    read.blocks += *block;
  }
  read.tail = reader.tail();
  return read;
}

} // namespace

TEST(Lines, TailDropLeavesOutOnlyAnUnendedLastPiece)
{
  EXPECT_EQ(collect("a\nb\rc", lines::Tail::drop), (Lines{"a", "b"}));
  EXPECT_EQ(collect("a\nb\r", lines::Tail::drop), (Lines{"a", "b"}));
  EXPECT_EQ(collect("a\nb\xe2\x80", lines::Tail::drop), (Lines{"a"}));
  EXPECT_EQ(collect("", lines::Tail::drop), Lines{});
  EXPECT_EQ(lines::whole_lines_size("a\nb\rc"), 4U);
  EXPECT_EQ(lines::whole_lines_size("a\r\n"), 3U);
  EXPECT_EQ(lines::whole_lines_size("abc"), 0U);
  // Stopping early.
  Lines first;
  lines::for_each_line("a\nb\nc\n", [&](std::string_view line) {
    first.push_back(line);
    return false;
  });
  EXPECT_EQ(first, Lines{"a"});
}

TEST(Lines, BlocksCutTheFileExactlyAsTheWholeText)
{
  TempDir dir;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    const std::string text = mixed_text(300'000, seed);
    const auto path = dir.write("f", text);
    const kolvex::core::fs::Fd fd(::open(path.c_str(), O_RDONLY));
    const Read read = read_all(fd.get());
    EXPECT_GT(read.count, 10U);
    EXPECT_TRUE(read.each_ends_with_newline);
    EXPECT_EQ(read.blocks + read.tail, text);
    EXPECT_EQ(read.tail.find('\n'), std::string::npos);
    // The lines of the blocks, then the whole lines of the tail: the lines of the
    // text without its unended last piece.
    Lines from_blocks = collect(read.blocks);
    const std::string_view tail(read.tail);
    for (const auto line : collect(tail.substr(0, lines::whole_lines_size(tail)))) {
      from_blocks.push_back(line);
    }
    const Lines expected = collect(text, lines::Tail::drop);
    ASSERT_EQ(from_blocks.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(from_blocks[i], expected[i]) << i;
    }

    // From the middle: the rest of the line under way is skipped; to a point: no
    // byte past it.
    const std::uint64_t middle = text.size() / 2;
    const Read rest = read_all(fd.get(), middle, std::nullopt, true);
    const std::size_t newline = text.find('\n', middle);
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(rest.first_offset, newline + 1);
    EXPECT_EQ(rest.blocks + rest.tail, text.substr(newline + 1));
    const Read head = read_all(fd.get(), 0, newline + 1);
    EXPECT_EQ(head.blocks, text.substr(0, newline + 1));
    EXPECT_EQ(head.tail, "");
  }
}

TEST(Lines, ALineLongerThanManyBlocksComesWhole)
{
  TempDir dir;
  const std::string line(3U << 20, 'p');
  const auto path = dir.write("f", "a\n" + line + "\nb");
  const kolvex::core::fs::Fd fd(::open(path.c_str(), O_RDONLY));
  lines::LineBlockReader reader(fd.get(), 0, std::nullopt, false, 4096);
  std::string all;
  while (const auto block = reader.next()) {
    all += *block;
  }
  EXPECT_EQ(all, "a\n" + line + "\n");
  EXPECT_EQ(reader.tail(), "b");
  EXPECT_EQ(reader.whole_lines_end(), line.size() + 3);
}
