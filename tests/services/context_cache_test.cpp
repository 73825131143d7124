// The bulk cache writer: its layout, entity tags and fetch statuses where the next
// refresh and the rules state read them, and nothing rewritten that did not change.
#include "services/context_cache.hpp"

#include "core/sha256.hpp"
#include "core/yaml.hpp"
#include "services/local_config.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace context_cache = kolvex::services::context_cache;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

namespace {

context_cache::CacheFiles full_files()
{
  return {.system_context = Map{{"core", Map{{"owner", "platform"}}}},
          .declarative_state = Map{{"kolvexstate", Map{{"architecture", Map{{"elements", Map{}}}}}},
                                   {"kolvexrules",
                                    Map{{"principles", Map{{"p", Map{}}}},
                                        {"constraints", Map{{"served", Map{}}}}}}},
          .specs = std::map<std::string, std::string>{{"billing", "# Billing\n"}},
          .canonical_docs = std::map<std::string, std::string>{{"architecture", "# Arch\n"}},
          .etags = Map{{"kolvexstate", "\"s1\""}, {"kolvexrules", "\"r1\""}, {"specs", "\"sp1\""}},
          .fetch_statuses = Map{{"kolvexstate", 200}, {"kolvexrules", 200}}};
}

std::map<std::string, std::pair<ino_t, long>> inodes(const stdfs::path& dir)
{
  std::map<std::string, std::pair<ino_t, long>> out;
  for (const auto& entry : stdfs::recursive_directory_iterator(dir)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    if (S_ISREG(st.st_mode)) {
      out[entry.path().string()] = {st.st_ino, st.st_mtim.tv_nsec};
    }
  }
  return out;
}

} // namespace

TEST(WriteCacheFiles, LayoutAndWhereTheNextRefreshReadsItsTags)
{
  TempDir repo;
  kolvex::services::shared::save_local_config(repo.path(), Map{{"project_id", 42}});
  context_cache::write_cache_files(repo.handle(), Map{{"systems", List{"core"}}}, full_files());
  const std::string p = ".kolvex/.platform/";
  EXPECT_EQ(repo.read(p + "context.yaml"), "systems:\n- core\n");
  EXPECT_EQ(repo.read(p + "system-context.yaml"), "core:\n  owner: platform\n");
  EXPECT_EQ(repo.read(p + "kolvexstate.yaml"), "architecture:\n  elements: {}\n");
  // The served rules' own constraints are not written: the guardrails own them.
  EXPECT_EQ(repo.read(p + "kolvexrules.yaml"), "principles:\n  p: {}\n");
  EXPECT_EQ(repo.read(p + "specs/billing.md"), "# Billing\n");
  EXPECT_EQ(repo.read(".kolvex/docs/architecture.md"), "# Arch\n");
  const Map config = kolvex::services::shared::load_local_config(repo.path());
  EXPECT_EQ(config.find("project_id")->as_int(), 42);
  // What each written document holds, so that the next refresh can tell one damaged.
  const Map documents{{"specs/billing.md", kolvex::core::sha256_hex("# Billing\n")},
                      {"docs/architecture.md", kolvex::core::sha256_hex("# Arch\n")}};
  EXPECT_EQ(*config.find("cache"),
            Value(Map{{"etags", full_files().etags},
                      {"documents", documents},
                      {"fetch_status", full_files().fetch_statuses}}));
}

// A second write of the same answers touches no file at all.
TEST(WriteCacheFiles, UnchangedAnswersRewriteNothing)
{
  TempDir repo;
  context_cache::write_cache_files(repo.handle(), Map{}, full_files());
  const auto before = inodes(repo.path());
  context_cache::write_cache_files(repo.handle(), Map{}, full_files());
  EXPECT_EQ(inodes(repo.path()), before);
}

// Not-modified entities and specs keep their files and their stored tags.
TEST(WriteCacheFiles, AbsentAnswersKeepWhatIsCached)
{
  TempDir repo;
  context_cache::write_cache_files(repo.handle(), Map{}, full_files());
  repo.write(".kolvex/.platform/kolvexrules.yaml", "principles: {}\nconstraints:\n  mine: {}\n");
  context_cache::write_cache_files(
      repo.handle(),
      Map{},
      {.declarative_state = Map{{"kolvexstate", Value()}, {"kolvexrules", Value()}},
       .etags = Map{{"kolvexrules", ""}},
       .fetch_statuses = Map{{"kolvexrules", 401}}});
  EXPECT_EQ(repo.read(".kolvex/.platform/kolvexstate.yaml"), "architecture:\n  elements: {}\n");
  EXPECT_EQ(repo.read(".kolvex/.platform/kolvexrules.yaml"),
            "principles: {}\nconstraints:\n  mine: {}\n");
  EXPECT_EQ(repo.read(".kolvex/.platform/specs/billing.md"), "# Billing\n");
  const Map cache =
      kolvex::services::shared::load_local_config(repo.path()).find("cache")->as_map();
  EXPECT_EQ(*cache.find("etags"), Value(full_files().etags));
  EXPECT_EQ(cache.find("fetch_status")->get("kolvexrules")->as_int(), 401);
  EXPECT_EQ(cache.find("fetch_status")->get("kolvexstate")->as_int(), 200);

  // The rules entity served again: its sections replaced, the cached constraints kept.
  context_cache::write_cache_files(
      repo.handle(), Map{}, {.declarative_state = Map{{"kolvexrules", Map{{"checks", Map{}}}}}});
  EXPECT_EQ(repo.read(".kolvex/.platform/kolvexrules.yaml"),
            "checks: {}\nconstraints:\n  mine: {}\n");
}

// A tag whose file has gone is forgotten, so the next refresh fetches it whole
// instead of being told "not modified" about a file it no longer has.
TEST(WriteCacheFiles, ATagWithoutItsFileIsDropped)
{
  TempDir repo;
  context_cache::write_cache_files(repo.handle(), Map{}, full_files());
  stdfs::remove(repo.path() / ".kolvex/.platform/kolvexstate.yaml");
  stdfs::remove_all(repo.path() / ".kolvex/.platform/specs");
  context_cache::write_cache_files(repo.handle(), Map{}, {.etags = full_files().etags});
  const Map config = kolvex::services::shared::load_local_config(repo.path());
  EXPECT_EQ(*config.find("cache")->get("etags"), Value(Map{{"kolvexrules", "\"r1\""}}));
}

TEST(WriteCacheFiles, SpecsFollowTheServedSetOnlyWhenItHoldsAny)
{
  TempDir repo;
  auto files = full_files();
  files.specs = std::map<std::string, std::string>{{"billing", "b"}, {"auth", "a"}};
  context_cache::write_cache_files(repo.handle(), Map{}, files);
  repo.write(".kolvex/.platform/specs/notes.txt", "mine\n");
  files.specs = std::map<std::string, std::string>{{"auth", "a"}, {"../escape", "x"}};
  context_cache::write_cache_files(repo.handle(), Map{}, files);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/billing.md"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/auth.md"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/notes.txt"));
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex/.platform/escape.md"));
  files.specs = std::map<std::string, std::string>{};
  context_cache::write_cache_files(repo.handle(), Map{}, files);
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/specs/auth.md"));
}

// An unreadable configuration is reported, never overwritten.
TEST(WriteCacheFiles, AMalformedConfigurationIsNotOverwritten)
{
  TempDir repo;
  repo.write(".kolvex/.platform/config.yaml", "project_id: [unclosed\n");
  EXPECT_THROW(context_cache::write_cache_files(repo.handle(), Map{}, full_files()),
               kolvex::services::shared::ConfigError);
  EXPECT_EQ(repo.read(".kolvex/.platform/config.yaml"), "project_id: [unclosed\n");
}

TEST(MergedRules, ServedSectionsThenTheCachedConstraints)
{
  const Map served{{"adrs", Map{{"a1", Map{}}}}, {"constraints", Map{{"x", Map{}}}}};
  EXPECT_EQ(context_cache::_merged_rules_text(std::nullopt, served), "adrs:\n  a1: {}\n");
  EXPECT_EQ(context_cache::_merged_rules_text("constraints: {c: {}}\nold: 1\n", served),
            "adrs:\n  a1: {}\nconstraints:\n  c: {}\n");
  for (const char* broken : {"[unclosed", "- list\n", "\xff"}) {
    EXPECT_EQ(context_cache::_merged_rules_text(std::string(broken), served), "adrs:\n  a1: {}\n");
  }
}

TEST(HydrateAttempts, ClearedOnlyWhenRecorded)
{
  TempDir repo;
  EXPECT_EQ(context_cache::clear_all_hydrate_attempts(repo.handle()), 0);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex/.platform/config.yaml"));
  kolvex::services::shared::save_local_config(
      repo.path(),
      Map{{"cache",
           Map{{"etags", Map{{"specs", "t"}}}, {"hydrate_attempts", Map{{"a", 1}, {"b", 2}}}}}});
  EXPECT_EQ(context_cache::clear_all_hydrate_attempts(repo.handle()), 2);
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("cache"),
            Value(Map{{"etags", Map{{"specs", "t"}}}}));
  repo.write(".kolvex/.platform/config.yaml", "- not a map\n");
  EXPECT_EQ(context_cache::clear_all_hydrate_attempts(repo.handle()), 0);
}
