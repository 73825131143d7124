#include "services/relaycore/cache/rules_cache_state.hpp"

#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace paths = kolvex::paths;

using kolvex::services::relaycore::cache::read_rules_cache_state;
using kolvex::services::relaycore::cache::RulesCacheState;
using kolvex::testing::TempDir;

namespace {

std::string status_config(const std::string& status)
{
  return "cache:\n  fetch_status:\n    kolvexrules: " + status + "\n";
}

} // namespace

TEST(RulesCacheState, NoCacheAtAll)
{
  TempDir cache;
  const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path() / "missing"));
  EXPECT_FALSE(state.count.has_value());
  EXPECT_FALSE(state.last_fetch_status.has_value());
  EXPECT_FALSE(state.unreadable);
  EXPECT_FALSE(state.fetch_failed());
  EXPECT_FALSE(state.trustworthy());
  EXPECT_EQ(state.describe(), "not cached \u2014 run 'kolvex sync'");
}

TEST(RulesCacheState, EmptyRulesFileAfterASuccessfulFetchIsATrustedZero)
{
  TempDir cache;
  cache.write("config.yaml", status_config("200"));
  cache.write("kolvexrules.yaml", "");
  const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path()));
  EXPECT_EQ(state.count, 0);
  EXPECT_EQ(state.last_fetch_status, 200);
  EXPECT_TRUE(state.trustworthy());
  EXPECT_EQ(state.describe(), "0");
}

TEST(RulesCacheState, RefusedFetchMakesTheCachedCountStale)
{
  TempDir cache;
  cache.write("config.yaml", status_config("401"));
  cache.write("kolvexrules.yaml", "constraints:\n  a: 1\n  b: 2\n  c: 3\n  d: 4\n  e: 5\n");
  const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path()));
  EXPECT_EQ(state.count, 5);
  EXPECT_TRUE(state.fetch_failed());
  EXPECT_FALSE(state.trustworthy());
  EXPECT_EQ(state.describe(), "5 (stale \u2014 last sync could not reach kolvex)");
}

TEST(RulesCacheState, NotModifiedAndOkAreBothSuccesses)
{
  TempDir cache;
  cache.write("kolvexrules.yaml", "principles:\n  p1: x\nadrs:\n  a1: y\n  a2: z\n");
  for (const char* status : {"304", "200"}) {
    cache.write("config.yaml", status_config(status));
    const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path()));
    EXPECT_FALSE(state.fetch_failed()) << status;
    EXPECT_TRUE(state.trustworthy()) << status;
    EXPECT_EQ(state.describe(), "3");
  }
  // No status recorded at all is not a failure either.
  cache.write("config.yaml", "cache: {}\n");
  EXPECT_TRUE(read_rules_cache_state(paths::DirectoryHandle::open(cache.path())).trustworthy());
}

TEST(RulesCacheState, MissingRulesWithAFailedFetchIsUnavailable)
{
  TempDir cache;
  cache.write("config.yaml", status_config("503"));
  const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path()));
  EXPECT_FALSE(state.count.has_value());
  EXPECT_EQ(state.last_fetch_status, 503);
  EXPECT_EQ(state.describe(), "unavailable \u2014 last sync could not reach kolvex");
}

TEST(RulesCacheState, BrokenRulesFilesAreUnreadable)
{
  TempDir cache;
  cache.write("config.yaml", status_config("200"));
  for (const char* content :
       {"- a\n- b\n", "[]\n", "just text\n", "key: [unclosed\n", "\xff\xfe: bad utf-8\n"}) {
    cache.write("kolvexrules.yaml", content);
    const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path()));
    EXPECT_TRUE(state.unreadable) << content;
    EXPECT_FALSE(state.count.has_value()) << content;
    EXPECT_EQ(state.last_fetch_status, 200) << "a broken rules file keeps the status";
    EXPECT_FALSE(state.trustworthy());
    EXPECT_EQ(state.describe(), "unreadable \u2014 run 'kolvex sync' to repair the cache");
  }
  std::filesystem::remove(cache.path() / "kolvexrules.yaml");
  std::filesystem::create_directory(cache.path() / "kolvexrules.yaml");
  EXPECT_TRUE(read_rules_cache_state(paths::DirectoryHandle::open(cache.path())).unreadable);
}

TEST(RulesCacheState, OnlyKnownSectionsThatAreMapsCount)
{
  TempDir cache;
  cache.write("kolvexrules.yaml",
              "checks:\n  c1: x\n  c2: y\n"
              "invariants:\n  - listed\n  - not counted\n"
              "guardrails:\n  g1: z\n"
              "unknown_section:\n  u1: 1\n  u2: 2\n"
              "constraints: null\n");
  EXPECT_EQ(read_rules_cache_state(paths::DirectoryHandle::open(cache.path())).count, 3);
}

TEST(RulesCacheState, StatusThatIsNotAnIntegerIsAbsent)
{
  TempDir cache;
  cache.write("kolvexrules.yaml", "checks:\n  c1: x\n");
  for (const char* config : {"cache:\n  fetch_status: [401]\n",
                             "cache:\n  fetch_status: '401'\n",
                             "cache:\n  fetch_status:\n    kolvexrules: '401'\n",
                             "cache:\n  fetch_status:\n    kolvexrules: true\n",
                             "cache: 12\n",
                             "- not a map\n",
                             "cache: {fetch_status: {kolvexrules: 401\n",
                             ""}) {
    cache.write("config.yaml", config);
    const auto state = read_rules_cache_state(paths::DirectoryHandle::open(cache.path()));
    EXPECT_FALSE(state.last_fetch_status.has_value()) << config;
    EXPECT_TRUE(state.trustworthy()) << config;
  }
}
