// `kolvex --help` as a user reads it: the built binary, its text wrapped to the width
// it is told.
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace {

using ::testing::HasSubstr;

// Columns of a line of help: one per code point.
std::size_t columns(const std::string& line)
{
  std::size_t count = 0;
  for (const char c : line) {
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

TEST(HelpE2E, DescriptionsAreWrappedToTheWidthOfTheTerminal)
{
  kolvex::testing::TempDir dir;
  for (const int width : {60, 100}) {
    kolvex::testing::ScopedEnv env;
    env.set("COLUMNS", std::to_string(width));
    const auto result = kolvex::testing::run_kolvex({"--help"}, dir.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("setup"));
    EXPECT_THAT(result.out, HasSubstr("session-start"));
    std::istringstream lines(result.out);
    std::size_t widest = 0;
    for (std::string line; std::getline(lines, line);) {
      // A single word longer than the room left (a path) cannot be broken.
      const auto first = line.find_first_not_of(' ');
      const bool one_word =
          first == std::string::npos || line.find(' ', first) == std::string::npos;
      if (!one_word) {
        EXPECT_LE(columns(line), static_cast<std::size_t>(width)) << line;
      }
      widest = std::max(widest, columns(line));
    }
    // Wrapped, not just short: the long descriptions fill most of the width.
    EXPECT_GE(widest, static_cast<std::size_t>(width) - 15);
  }
}

} // namespace
