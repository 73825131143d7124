// The contract's own answers: sessions_mentioning is the session ids of an
// adapter's claims, whatever the adapter.
#include "contracts/agent_adapter.hpp"

#include "support/fake_adapter.hpp"

#include <gtest/gtest.h>

using kolvex::contracts::ClaimKind;
using kolvex::contracts::CommitClaims;
using kolvex::contracts::SessionMatches;
using kolvex::testing::FakeAdapter;

namespace {

const std::string SHA_A = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string SHA_B = "0123456789abcdef0123456789abcdef01234567";

struct MentionCase {
  const char* what;
  CommitClaims claims;
  SessionMatches expected;
};

} // namespace

TEST(AgentAdapter, SessionsMentioningIsTheSessionIdsOfTheClaims)
{
  const std::vector<MentionCase> cases{
      {"every kind, in order",
       {{SHA_A, {{"a", ClaimKind::proof}, {"b", ClaimKind::proof}}},
        {SHA_B, {{"c", ClaimKind::timing}}}},
       {{SHA_A, {"a", "b"}}, {SHA_B, {"c"}}}},
      {"a session claiming twice is named once",
       {{SHA_A, {{"a", ClaimKind::timing}, {"a", ClaimKind::proof}}}},
       {{SHA_A, {"a"}}}},
      {"a claim without a session names none",
       {{SHA_A, {{"", ClaimKind::proof}}},
        {SHA_B, {{"", ClaimKind::proof}, {"d", ClaimKind::timing}}}},
       {{SHA_B, {"d"}}}},
      {"no claims", {}, {}},
  };
  for (const auto& row : cases) {
    FakeAdapter adapter("x");
    adapter.claims = row.claims;
    EXPECT_EQ(adapter.sessions_mentioning("/r", {SHA_A, SHA_B}, std::nullopt, {}), row.expected)
        << row.what;
    EXPECT_EQ(adapter.asked_shas, (std::vector<std::string>{SHA_A, SHA_B})) << row.what;
  }
}
