// `kolvex --help` as a user reads it: the built binary, its text wrapped to the width
// it is told.
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;

class HelpE2E : public kolvex::testing::E2E {};

// Columns of a line of help: one per code point.
std::size_t columns(const std::string& line)
{
  std::size_t count = 0;
  for (const char c : line) {
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  }
  return count;
}

TEST_F(HelpE2E, DescriptionsAreWrappedToTheWidthOfTheTerminal)
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

// attest's help (and attest add's) at 80 columns reads like every other command's: the description,
// then (its own) the example exactly as written and the note, then usage and the
// options, no line wider (but a single unbreakable word).
TEST_F(HelpE2E, AttestHelpFitsEightyColumnsInTheOrderOfTheOthers)
{
  kolvex::testing::TempDir dir;
  kolvex::testing::ScopedEnv env;
  env.set("COLUMNS", "80");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"attest", "add", "--help"}, {"attest", "--help"}}) {
    std::istringstream lines(kolvex::testing::run_kolvex(args, dir.path()).out);
    for (std::string line; std::getline(lines, line);) {
      const auto start = line.find_first_not_of(' ');
      if (start != std::string::npos && line.find(' ', start) != std::string::npos) {
        EXPECT_LE(columns(line), 80U) << args[1] << ": " << line;
      }
    }
  }
  const std::string out = kolvex::testing::run_kolvex({"attest", "--help"}, dir.path()).out;
  const std::vector<std::size_t> order{
      out.find("Create .kolvex/.commit-attestation.yaml from structured flags.\n"),
      out.find("Example:\n  kolvex attest --example\n  kolvex attest \\\n    --staged-diff-hash "
               "$(git diff --staged | shasum -a 256 | cut -d' ' -f1) \\\n"),
      out.find("telemetry are populated automatically\nby kolvex post-commit. Don't pass them"),
      out.find("Usage: kolvex attest"),
      out.find("  --arch-changes TEXT"),
      out.find("Subcommands:\n  add")};
  EXPECT_EQ(order[0], 0U) << out;
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) && order.back() != std::string::npos)
      << out;
}

} // namespace
