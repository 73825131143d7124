// The refresh's own writers: the rules file's constraints, the skills cache, the
// custom docs, the memories file and the choice of agents that receive skills.
#include "services/relaycore/cache/cache_writers.hpp"

#include "agents/registry.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "support/agent_env.hpp"
#include "support/fake_api_client.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

namespace paths = kolvex::paths;

namespace cache = kolvex::services::relaycore::cache;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

namespace {

Value rule(const std::string& name, const std::string& type, Map extra = {})
{
  Map rule{{"name", name}, {"ruleType", type}};
  for (const auto& [key, value] : extra) {
    rule.set(key, value);
  }
  return rule;
}

Value guardrails(List rules)
{
  return Map{{"rules", std::move(rules)}};
}

class CacheWriters : public ::testing::Test {
protected:
  TempDir repo;
  stdfs::path cache_dir = repo.path() / ".kolvex/.platform";
  void SetUp() override { stdfs::create_directories(cache_dir); }
  [[nodiscard]] std::string rules_text() const
  {
    return repo.read(".kolvex/.platform/kolvexrules.yaml");
  }
};

} // namespace

TEST(ConstraintsSection, FourKeysWithTheirDefaults)
{
  const Map section = cache::_constraints_section(List{
      rule("a",
           "constraint",
           {{"description", "d"}, {"checkCondition", "c"}, {"invariantCondition", "i"}}),
      rule("b", "guardrail", {{"invariantCondition", "inv"}, {"checkCondition", ""}}),
      rule("c", "constraint", {{"status", "draft"}, {"inheritedFromSystem", true}}),
      rule("p", "principle"),
      Value("not a rule"),
      Map{{"ruleType", "constraint"}},
      rule("a", "constraint", {{"description", "later wins"}}),
  });
  EXPECT_EQ(kolvex::core::yaml::dump(Value(section)),
            "a:\n  description: later wins\n  status: active\n  condition: '{}'\n"
            "  inherited: false\n"
            "b:\n  description: ''\n  status: active\n  condition: inv\n  inherited: false\n"
            "c:\n  description: ''\n  status: draft\n  condition: '{}'\n  inherited: true\n"
            "unknown:\n  description: ''\n  status: active\n  condition: '{}'\n"
            "  inherited: false\n");
  EXPECT_EQ(cache::_constraints_section(Value("not a list")), Map{});
}

// Served constraints are merged into the file: other sections and constraints not
// served this time stay, in place.
TEST_F(CacheWriters, RulesFileMergesConstraintsAndKeepsEverythingElse)
{
  repo.write(".kolvex/.platform/kolvexrules.yaml",
             "principles:\n  p1: {why: x}\nconstraints:\n  old: {description: kept}\n"
             "  a: {description: replaced}\nguardrails:\n  g: {}\n");
  cache::_write_rules_file(paths::confined(cache_dir),
                           guardrails({rule("a", "constraint"), rule("new", "guardrail")}));
  const Value file = kolvex::core::yaml::load(rules_text());
  EXPECT_EQ(file.get("principles")->as_map().size(), 1U);
  EXPECT_EQ(file.get("guardrails")->as_map().size(), 1U);
  const Map& constraints = file.get("constraints")->as_map();
  std::vector<std::string> names;
  for (const auto& [name, entry] : constraints) {
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"old", "a", "new"}));
  EXPECT_EQ(constraints.find("old")->get_string("description"), "kept");
  EXPECT_EQ(constraints.find("a")->get_string("description"), "");
}

TEST_F(CacheWriters, RulesFileUntouchedOrCreatedEmptyWhenNothingIsServed)
{
  // Only principles served: an existing file stays, a missing one is not created.
  cache::_write_rules_file(paths::confined(cache_dir), guardrails({rule("p", "principle")}));
  EXPECT_FALSE(stdfs::exists(cache_dir / "kolvexrules.yaml"));
  // The guardrails fetch failed (null), or served nothing: created empty once.
  cache::_write_rules_file(paths::confined(cache_dir), Value());
  EXPECT_EQ(rules_text(), "");
  repo.write(".kolvex/.platform/kolvexrules.yaml", "checks: {c: {}}\n");
  cache::_write_rules_file(paths::confined(cache_dir), Value());
  cache::_write_rules_file(paths::confined(cache_dir), guardrails({}));
  cache::_write_rules_file(paths::confined(cache_dir), guardrails({rule("p", "principle")}));
  EXPECT_EQ(rules_text(), "checks: {c: {}}\n");
}

// A broken rules file (not YAML, a list, not UTF-8) is rebuilt from the served
// constraints rather than failing every refresh until someone deletes it.
TEST_F(CacheWriters, ABrokenRulesFileIsRebuilt)
{
  for (const char* broken : {"key: [unclosed\n", "- a list\n", "\xff\xfe\n"}) {
    repo.write(".kolvex/.platform/kolvexrules.yaml", broken);
    cache::_write_rules_file(paths::confined(cache_dir), guardrails({rule("a", "constraint")}));
    EXPECT_EQ(rules_text(),
              "constraints:\n  a:\n    description: ''\n    status: active\n"
              "    condition: '{}'\n    inherited: false\n")
        << broken;
  }
}

TEST_F(CacheWriters, SkillsCacheWritesPrunesAndKeepsOverlongOlderFiles)
{
  const stdfs::path skills_dir = cache_dir / "skills";
  repo.write(".kolvex/.platform/skills/retired.md", "old\n");
  repo.write(".kolvex/.platform/skills/huge.md", "older huge\n");
  repo.write(".kolvex/.platform/skills/notes.txt", "not a skill\n");
  repo.write(".kolvex/.platform/skills.json", "[]");
  const List skills{Map{{"slug", "review"}, {"content", "Review.\n"}},
                    Map{{"slug", "huge"}, {"content", std::string(cache::k_max_skill_chars, 'x')}},
                    Map{{"slug", "../../etc"}, {"content", "x"}}};
  EXPECT_EQ(cache::_skills_list(Map{{"skills", skills}}), skills);
  EXPECT_EQ(cache::_skills_list(Value(skills)), skills);
  EXPECT_TRUE(cache::_skills_list(Value("odd")).empty());
  cache::_write_skills_cache(repo.handle(), cache_dir, skills);
  EXPECT_EQ(repo.read(".kolvex/.platform/skills/review.md"),
            "---\nname: review\ndescription: review\n---\n\nReview.\n");
  EXPECT_EQ(repo.read(".kolvex/.platform/skills/huge.md"), "older huge\n");
  EXPECT_FALSE(stdfs::exists(skills_dir / "retired.md"));
  EXPECT_TRUE(stdfs::exists(skills_dir / "notes.txt"));
  EXPECT_FALSE(stdfs::exists(cache_dir / "skills.json"));
  EXPECT_FALSE(stdfs::exists(repo.path() / "etc"));

  // An empty list deletes nothing, not even skills.json.
  repo.write(".kolvex/.platform/skills.json", "[]");
  cache::_write_skills_cache(repo.handle(), cache_dir, {});
  EXPECT_TRUE(stdfs::exists(skills_dir / "review.md"));
  EXPECT_TRUE(stdfs::exists(cache_dir / "skills.json"));
}

TEST_F(CacheWriters, CustomDocsHoldExactlyWhatEachScopeServes)
{
  const stdfs::path guidance = cache_dir / "guidance";
  repo.write(".kolvex/.platform/guidance/system/old.md", "old\n");
  repo.write(".kolvex/.platform/guidance/system/sub/x.md", "x\n");
  repo.write(".kolvex/.platform/guidance/project/keep.md", "kept\n");
  cache::_write_custom_docs(
      repo.handle(),
      Value(Map{{"system",
                 List{Map{{"slug", "style"}, {"content", "# Style\n"}},
                      Map{{"slug", "bad/../x"}, {"content", "x"}},
                      Map{{"slug", "nocontent"}},
                      Value("not a doc")}},
                {"project", List{Map{{"slug", "../../etc"}, {"content", "x"}}}}}));
  EXPECT_EQ(repo.read(".kolvex/.platform/guidance/system/style.md"), "# Style\n");
  EXPECT_FALSE(stdfs::exists(guidance / "system/old.md"));
  EXPECT_FALSE(stdfs::exists(guidance / "system/sub"));
  // Every project doc was unsafe: that scope stays as it was.
  EXPECT_EQ(repo.read(".kolvex/.platform/guidance/project/keep.md"), "kept\n");

  // A failed fetch changes nothing; a scope served no docs loses its directory.
  cache::_write_custom_docs(repo.handle(), std::nullopt);
  EXPECT_TRUE(stdfs::exists(guidance / "project/keep.md"));
  cache::_write_custom_docs(repo.handle(), Value(Map{{"system", List{}}}));
  EXPECT_FALSE(stdfs::exists(guidance / "system"));
  EXPECT_FALSE(stdfs::exists(guidance / "project"));
}

TEST_F(CacheWriters, MemoriesWrittenWhenThereAreAny)
{
  kolvex::testing::FakeApiClient client;
  const kolvex::contracts::ScopedApiClient scope(client);
  client.memories = [] {
    return Map{{"memories", List{Value("from memories")}}, {"data", List{Value("from data")}}};
  };
  cache::_write_memories_file(repo.handle(), "42", "key", "https://api");
  EXPECT_EQ(repo.read(".kolvex/.platform/memories.json"), "[\n  \"from memories\"\n]");
  EXPECT_EQ(client.calls().back().args, (std::vector<std::string>{"42", "key", "https://api"}));

  client.memories = [] { return Map{{"memories", List{}}, {"data", List{Value("d")}}}; };
  cache::_write_memories_file(repo.handle(), "42", "key", "https://api");
  EXPECT_EQ(repo.read(".kolvex/.platform/memories.json"), "[\n  \"d\"\n]");
  client.memories = [] { return List{}; };
  cache::_write_memories_file(repo.handle(), "42", "key", "https://api");
  client.memories = []() -> Value { throw kolvex::contracts::ApiError("HTTP 500"); };
  cache::_write_memories_file(repo.handle(), "42", "key", "https://api");
  EXPECT_EQ(repo.read(".kolvex/.platform/memories.json"), "[\n  \"d\"\n]");
}

// Configured agents win over the detected one, which is only the fallback.
TEST_F(CacheWriters, DistributionAdaptersFromConfigurationElseTheActiveHarness)
{
  kolvex::testing::AgentEnv env;
  EXPECT_TRUE(cache::_distribution_adapters(repo.handle()).empty());
  env.env().set("CLAUDECODE", "1");
  auto adapters = cache::_distribution_adapters(repo.handle());
  ASSERT_EQ(adapters.size(), 1U);
  EXPECT_EQ(adapters[0]->name(), "claude-code");

  kolvex::services::shared::save_local_config(
      repo.path(), Map{{"agents", List{"cursor", "no-such-agent", "Cursor", "codex"}}});
  adapters = cache::_distribution_adapters(repo.handle());
  ASSERT_EQ(adapters.size(), 2U);
  EXPECT_EQ(adapters[0]->name(), "cursor");
  EXPECT_EQ(adapters[1]->name(), "codex");
}
