#include "services/relaycore/log/enrichment.hpp"

#include "agents/registry.hpp"
#include "paths.hpp"
#include "support/fake_adapter.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

using kolvex::agents::ScopedAdapters;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::services::relaycore::log::_adapter_telemetry;
using kolvex::services::relaycore::log::_enrich_attestation;
using kolvex::testing::FakeAdapter;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Claude Code in a session with telemetry, unless the test says otherwise.
FakeAdapter claude_in_session()
{
  FakeAdapter adapter("claude-code", "anthropic", true);
  adapter.current_session = "sess-42";
  adapter.telemetry = Map{{"model", "claude-opus-4"}, {"tokens", Map{{"total", 10}}}};
  return adapter;
}

std::vector<std::string> keys_of(const Map& map)
{
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) {
    keys.push_back(key);
  }
  return keys;
}

class Enrichment : public ::testing::Test {
protected:
  void SetUp() override
  {
    environment.set("HOME", home.path().string());
    environment.set("GIT_CONFIG_NOSYSTEM", "1");
    environment.unset("KOLVEX_DEBUG");
  }

  // Runs the enrichment with stderr captured; returns what was logged.
  std::string enrich(Map& parsed, const std::filesystem::path& root)
  {
    ::testing::internal::CaptureStderr();
    _enrich_attestation(parsed, root);
    return ::testing::internal::GetCapturedStderr();
  }

  TempDir home;
  kolvex::testing::ScopedEnv environment; // restored when the test ends
  TempRepo repo;
  FakeAdapter adapter = claude_in_session();
};

} // namespace

TEST_F(Enrichment, FullPassAddsKeysInOrderAtTheEnd)
{
  ScopedAdapters scope({&adapter});
  Map parsed{{"model", "m"}, {"summary", "s"}};
  const auto log = enrich(parsed, repo.path());
  EXPECT_EQ(keys_of(parsed),
            (std::vector<std::string>{"model",
                                      "summary",
                                      "rules",
                                      "developer",
                                      "agent",
                                      "agent_provider",
                                      "agent_session_id",
                                      "telemetry"}));
  EXPECT_EQ(*parsed.find("rules"),
            Value(Map{{"available", nullptr}})); // nothing cached: untrustworthy
  EXPECT_EQ(*parsed.find("developer"),
            Value(Map{{"git_author_name", "Test Dev"}, {"git_author_email", "dev@example.com"}}));
  EXPECT_EQ(*parsed.find("agent"), Value("claude-code"));
  EXPECT_EQ(*parsed.find("agent_provider"), Value("anthropic"));
  EXPECT_EQ(*parsed.find("agent_session_id"), Value("sess-42"));
  EXPECT_EQ(adapter.asked_session, std::optional<std::string>("sess-42"));
  EXPECT_EQ(*parsed.find("telemetry"),
            Value(Map{{"model", "claude-opus-4"},
                      {"tokens", Map{{"total", 10}}},
                      {"source", "adapter_direct"},
                      {"agent_runtime", "claude-code"}}));
  EXPECT_THAT(log, Not(HasSubstr("No telemetry source")));
}

TEST_F(Enrichment, RulesGivenAsAListBecomeAMapWithOnlyAvailable)
{
  ScopedAdapters scope({});
  Map parsed{{"rules", List{"r1", "r2"}},
             {"summary", "s"},
             {"developer", Map{{"git_author_name", "Kept"}}}};
  enrich(parsed, repo.path());
  EXPECT_EQ(keys_of(parsed), (std::vector<std::string>{"rules", "summary", "developer"}));
  EXPECT_EQ(*parsed.find("rules"), Value(Map{{"available", nullptr}}));
  EXPECT_EQ(*parsed.find("developer"), Value(Map{{"git_author_name", "Kept"}}));
}

TEST_F(Enrichment, ExistingRulesMapKeepsItsEntries)
{
  ScopedAdapters scope({});
  Map parsed{{"rules", Map{{"checked", true}, {"available", 99}}}};
  enrich(parsed, repo.path());
  EXPECT_EQ(*parsed.find("rules"), Value(Map{{"checked", true}, {"available", nullptr}}));
}

TEST_F(Enrichment, NoActiveHarnessLeavesAgentFieldsAlone)
{
  adapter.active = false;
  ScopedAdapters scope({&adapter});
  Map parsed{{"agent", "Claude Code"}};
  const auto log = enrich(parsed, repo.path());
  EXPECT_EQ(*parsed.find("agent"), Value("Claude Code"))
      << "a declared agent is not normalised without a harness";
  EXPECT_FALSE(parsed.contains("agent_session_id"));
  EXPECT_FALSE(parsed.contains("telemetry"));
  EXPECT_EQ(adapter.session_lookups + adapter.telemetry_lookups, 0);
  EXPECT_THAT(log, Not(HasSubstr("No telemetry source")));
}

TEST_F(Enrichment, DeclaredAgentIsNormalisedAndProviderNotBorrowed)
{
  ScopedAdapters scope({&adapter});
  Map parsed{{"agent", " Gemini "}};
  enrich(parsed, repo.path());
  EXPECT_EQ(*parsed.find("agent"), Value("gemini-cli"));
  EXPECT_FALSE(parsed.contains("agent_provider"));
  // An empty declared provider is filled only when the agent came from the adapter.
  Map from_adapter{{"agent", ""}, {"agent_provider", ""}};
  enrich(from_adapter, repo.path());
  EXPECT_EQ(*from_adapter.find("agent"), Value("claude-code"));
  EXPECT_EQ(*from_adapter.find("agent_provider"), Value("anthropic"));
  EXPECT_EQ(keys_of(from_adapter)[0], "agent");
}

TEST_F(Enrichment, AttestationWithTelemetryAndSessionAsksTheAdapterNothing)
{
  ScopedAdapters scope({&adapter});
  Map parsed{{"agent_session_id", "mine"}, {"telemetry", Map{{"model", "x"}}}};
  enrich(parsed, repo.path());
  EXPECT_EQ(adapter.session_lookups, 0);
  EXPECT_EQ(adapter.telemetry_lookups, 0);
  EXPECT_EQ(*parsed.find("telemetry"), Value(Map{{"model", "x"}}));
}

TEST_F(Enrichment, DeclaredSessionIsUsedForTheTelemetryLookup)
{
  ScopedAdapters scope({&adapter});
  Map parsed{{"agent_session_id", "declared"}};
  enrich(parsed, repo.path());
  EXPECT_EQ(adapter.session_lookups, 0);
  EXPECT_EQ(adapter.asked_session, std::optional<std::string>("declared"));
}

TEST_F(Enrichment, FailingTelemetryLeavesNoKeyOneDebugLineAndTheWarning)
{
  environment.set("KOLVEX_DEBUG", "1");
  adapter.telemetry_throws = true;
  ScopedAdapters scope({&adapter});
  Map parsed;
  const auto log = enrich(parsed, repo.path());
  EXPECT_FALSE(parsed.contains("telemetry"));
  EXPECT_EQ(*parsed.find("agent_session_id"), Value("sess-42"));
  EXPECT_THAT(log, HasSubstr("Adapter telemetry failed for sess-42"));
  EXPECT_THAT(log, HasSubstr("No telemetry source for claude-code"));
  EXPECT_EQ(log.find("Adapter telemetry failed"), log.rfind("Adapter telemetry failed"))
      << "one debug message";
}

TEST_F(Enrichment, FailingSessionLookupIsLoggedAndTelemetryStillAsked)
{
  environment.set("KOLVEX_DEBUG", "1");
  adapter.session_throws = true;
  adapter.telemetry.reset();
  ScopedAdapters scope({&adapter});
  Map parsed;
  const auto log = enrich(parsed, repo.path());
  EXPECT_THAT(log, HasSubstr("Per-adapter session id lookup failed"));
  EXPECT_FALSE(parsed.contains("agent_session_id"));
  EXPECT_EQ(adapter.telemetry_lookups, 1);
  EXPECT_EQ(adapter.asked_session, std::nullopt);
  EXPECT_THAT(log, HasSubstr("No telemetry source for claude-code"));
}

TEST_F(Enrichment, DeveloperDetectionFailureIsLoggedAndTheRestGoesOn)
{
  environment.set("KOLVEX_DEBUG", "1");
  ScopedAdapters scope({&adapter});
  Map parsed;
  const auto log = enrich(parsed, home.path() / "no-such-repo");
  EXPECT_FALSE(parsed.contains("developer"));
  EXPECT_THAT(log, HasSubstr("Developer identity detection failed"));
  EXPECT_EQ(*parsed.find("agent"), Value("claude-code"));
}

TEST_F(Enrichment, NonTextAgentIsLeftAsWrittenWithADebugLine)
{
  environment.set("KOLVEX_DEBUG", "1");
  ScopedAdapters scope({&adapter});
  Map parsed{{"agent", 7}};
  const auto log = enrich(parsed, repo.path());
  EXPECT_EQ(*parsed.find("agent"), Value(7));
  EXPECT_THAT(log, HasSubstr("Agent name normalization failed"));
}

TEST(AdapterTelemetry, SourceAndRuntimeWinOverTheAdaptersOwnEntries)
{
  kolvex::testing::ScopedEnv environment;
  FakeAdapter adapter = claude_in_session();
  adapter.telemetry = Map{{"source", "transcript"}, {"model", "m"}, {"agent_runtime", "other"}};
  const auto map = _adapter_telemetry(adapter, "/r", std::string("s"), "backfill");
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(*map, (Map{{"source", "backfill"}, {"model", "m"}, {"agent_runtime", "claude-code"}}));
  adapter.telemetry.reset();
  EXPECT_FALSE(_adapter_telemetry(adapter, "/r", std::nullopt, "harness").has_value());
  adapter.telemetry_throws = true;
  ::testing::internal::CaptureStderr();
  environment.set("KOLVEX_DEBUG", "1");
  EXPECT_FALSE(_adapter_telemetry(adapter, "/r", std::nullopt, "harness").has_value());
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("Adapter telemetry failed for None"));
}
