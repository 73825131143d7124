// What the post-rewrite hook reads from git: "<old> <new> [extra]" lines.
#include "services/relaycore/capture/rewrite.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using kolvex::services::relaycore::capture::parse_rewrite_pairs;
using kolvex::services::relaycore::capture::RewritePair;

const std::string k_a(40, 'a');
const std::string k_b(40, 'b');
const std::string k_c(64, 'c');

TEST(RewritePairs, TakesTwoFullShasPerLineAndLeavesTheRestOut)
{
  const std::string input = k_a + " " + k_b + "\n" +                      // amend, rebase
                            k_b + " " + k_c + " extra info\r\n" +         // git may add a field
                            "\n" + k_a + "\n" +                           // one sha only
                            "ABCDEF" + k_a.substr(6) + " " + k_b + "\n" + // upper case
                            k_a.substr(1) + " " + k_b + "\n" +            // short
                            k_a + "  " + k_b + "\n" +                     // two spaces
                            k_c + " " + k_a; // last line without its end
  const auto pairs = parse_rewrite_pairs(input);
  ASSERT_EQ(pairs.size(), 3U);
  EXPECT_EQ(pairs[0], (RewritePair{k_a, k_b}));
  EXPECT_EQ(pairs[1], (RewritePair{k_b, k_c}));
  EXPECT_EQ(pairs[2], (RewritePair{k_c, k_a}));
  EXPECT_TRUE(parse_rewrite_pairs("").empty());
}

} // namespace
