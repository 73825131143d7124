// The context refresh against a fake API client: the stage machine, the six
// parallel fetches, names checked before they become files, the not-modified path,
// mutate_workspace, and a round trip through the rules state and session summary.
#include "services/relaycore/cache/refresh.hpp"

#include "services/local_config.hpp"
#include "services/relaycore/cache/rules_cache_state.hpp"
#include "services/relaycore/cache/session_summary.hpp"
#include "support/agent_env.hpp"
#include "support/fake_api_client.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <set>
#include <thread>

namespace paths = kolvex::paths;

namespace cache = kolvex::services::relaycore::cache;
using kolvex::contracts::ApiError;
using kolvex::contracts::DeclarativeState;
using kolvex::contracts::SpecsAnswer;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::FakeApiClient;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

namespace {

// A failure whose message carries what must never leave a result.
class LeakyError : public std::runtime_error {
public:
  LeakyError() : std::runtime_error("GET https://api.example/v1?key=secret failed") {}
};

class Refresh : public ::testing::Test {
protected:
  kolvex::testing::AgentEnv agents; // no harness markers, a private HOME
  kolvex::testing::ScopedEnv env;
  TempDir repo;
  FakeApiClient client;
  kolvex::contracts::ScopedApiClient scope{client};

  void SetUp() override
  {
    env.set("KOLVEX_SKIP_PLATFORM_SKILLS", "1").unset("KOLVEX_DEBUG");
    client.serve_demo_project();
  }

  cache::RefreshResult run(bool mutate = false)
  {
    return cache::refresh_context_cache_detailed(
        "key", "https://api", repo.handle(), 42, {.mutate_workspace = mutate});
  }
  [[nodiscard]] bool exists(const std::string& rel) const
  {
    return stdfs::exists(repo.path() / rel);
  }
  [[nodiscard]] std::string cached(const std::string& rel) const
  {
    return repo.read(".kolvex/.platform/" + rel);
  }
  [[nodiscard]] Map stored_cache() const
  {
    const Map config = kolvex::services::shared::load_local_config(repo.path());
    const Value* cache = config.find("cache");
    return cache != nullptr && cache->is_map() ? cache->as_map() : Map{};
  }
};

void expect_failed(const cache::RefreshResult& result,
                   std::string_view stage,
                   std::optional<std::string> error)
{
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(static_cast<bool>(result));
  EXPECT_EQ(result.stage, std::optional<std::string>(stage));
  EXPECT_EQ(result.error, error);
  EXPECT_FALSE(result.log_path);
}

} // namespace

TEST_F(Refresh, AnEmptyProjectIdStopsBeforeAnyCall)
{
  for (const Value& none : {Value(0), Value(""), Value()}) {
    expect_failed(cache::refresh_context_cache_detailed("key", "https://api", repo.handle(), none),
                  "missing_project_id",
                  std::nullopt);
  }
  EXPECT_TRUE(client.calls().empty());
  EXPECT_FALSE(exists(".kolvex"));
}

// Every call with the project id, key and URL it was given, and every cache file
// written.
TEST_F(Refresh, FirstRefreshWritesTheWholeCache)
{
  const cache::RefreshResult result = run();
  ASSERT_TRUE(result.ok) << result.stage.value_or("") << " " << result.error.value_or("");
  EXPECT_TRUE(static_cast<bool>(result));
  EXPECT_FALSE(result.stage || result.error || result.log_path);

  std::map<std::string, std::vector<std::string>> args;
  for (const auto& call : client.calls()) {
    args[call.name] = call.args;
  }
  EXPECT_EQ(args["fetch_context"], (std::vector<std::string>{"42", "key", "https://api"}));
  EXPECT_EQ(args["fetch_system_context"],
            (std::vector<std::string>{"42", "key", "https://api", "core"}));
  EXPECT_EQ(args["fetch_declarative_state_detailed"],
            (std::vector<std::string>{"42", "key", "https://api"}));
  EXPECT_EQ(args["fetch_all_specs"],
            (std::vector<std::string>{"42", "key", "https://api", "<none>"}));
  for (const char* name :
       {"fetch_guardrails", "fetch_skills", "fetch_custom_docs", "fetch_memories"}) {
    EXPECT_EQ(args[name], (std::vector<std::string>{"42", "key", "https://api"})) << name;
  }

  for (const char* file : {"context.yaml",
                           "system-context.yaml",
                           "kolvexstate.yaml",
                           "kolvexrules.yaml",
                           "specs/billing.md",
                           "skills/review.md",
                           "guidance/system/style.md",
                           "memories.json"}) {
    EXPECT_TRUE(exists(std::string(".kolvex/.platform/") + file)) << file;
  }
  EXPECT_EQ(repo.read(".kolvex/docs/architecture.md"), "# Architecture\n");
  EXPECT_EQ(cached("kolvexrules.yaml"),
            "principles:\n  small-commits:\n    why: review\nconstraints:\n  no-secrets:\n"
            "    description: No secrets in code\n    status: active\n"
            "    condition: grep -q secret\n    inherited: false\n");
  EXPECT_EQ(*stored_cache().find("etags"),
            Value(Map{{"kolvexstate", "\"s1\""}, {"kolvexrules", "\"r1\""}, {"specs", "\"sp1\""}}));
  // The git-hook path changes nothing in the working tree.
  for (const char* rel : {"CLAUDE.md", "AGENTS.md", ".claude", ".agents"}) {
    EXPECT_FALSE(exists(rel)) << rel;
  }
}

// The six fetches are all in flight together, each on its own thread; the calling
// thread makes the context and memories calls and does all the writing.
TEST_F(Refresh, SixFetchesRunTogetherOnSixThreads)
{
  std::mutex mutex;
  std::condition_variable arrived;
  int in_flight = 0;
  int peak = 0;
  const auto rendezvous = [&] {
    std::unique_lock lock(mutex);
    peak = std::max(peak, ++in_flight);
    arrived.notify_all();
    // Every fetch waits for the other five; sequential fetches would each give up.
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return in_flight == 6; });
  };
  const auto sys = client.system_context;
  client.system_context = [&, sys](const std::vector<std::string>& s) {
    rendezvous();
    return sys(s);
  };
  const auto decl = client.declarative;
  client.declarative = [&, decl](const Map& e) {
    rendezvous();
    return decl(e);
  };
  const auto specs = client.specs;
  client.specs = [&, specs](const std::optional<std::string>& t) {
    rendezvous();
    return specs(t);
  };
  for (auto* fetch : {&client.guardrails, &client.skills, &client.custom_docs}) {
    *fetch = [&, original = *fetch] {
      rendezvous();
      return original();
    };
  }
  ASSERT_TRUE(run().ok);
  EXPECT_EQ(peak, 6);

  std::set<std::thread::id> fetch_threads;
  for (const auto& call : client.calls()) {
    if (call.name == "fetch_context" || call.name == "fetch_memories") {
      EXPECT_EQ(call.thread, std::this_thread::get_id()) << call.name;
    } else {
      EXPECT_NE(call.thread, std::this_thread::get_id()) << call.name;
      fetch_threads.insert(call.thread);
    }
  }
  EXPECT_EQ(fetch_threads.size(), 6U);
}

// The stage names what was running; the error only the class, never the message.
TEST_F(Refresh, EachFailureNamesItsStageAndClassOnly)
{
  const auto run_with = [&](const std::function<void(FakeApiClient&)>& change) {
    FakeApiClient changed;
    changed.serve_demo_project();
    change(changed);
    const kolvex::contracts::ScopedApiClient inner(changed);
    return run();
  };
  expect_failed(
      run_with([](FakeApiClient& c) { c.context = []() -> Value { throw LeakyError(); }; }),
      "fetch_context",
      "LeakyError");
  expect_failed(run_with([](FakeApiClient& c) {
                  c.system_context = [](const std::vector<std::string>&) -> Value {
                    throw LeakyError();
                  };
                  c.guardrails = []() -> Value { throw ApiError("also failing"); };
                }),
                "fetch_system_context",
                "LeakyError");
  expect_failed(run_with([](FakeApiClient& c) {
                  c.declarative = [](const Map&) -> DeclarativeState {
                    throw ApiError("HTTP 503");
                  };
                }),
                "fetch_declarative_state",
                "ApiError");
  repo.write(".kolvex/.platform/config.yaml", "agents: [unclosed\n");
  expect_failed(run(), "write_local_caches", "ConfigError");
  EXPECT_EQ(cached("config.yaml"), "agents: [unclosed\n");
}

TEST_F(Refresh, NonFatalFetchFailuresKeepTheRefreshOk)
{
  client.specs = [](const std::optional<std::string>&) -> SpecsAnswer { throw LeakyError(); };
  client.guardrails = []() -> Value { throw LeakyError(); };
  client.skills = []() -> Value { throw LeakyError(); };
  client.custom_docs = []() -> Value { throw LeakyError(); };
  client.memories = []() -> Value { throw LeakyError(); };
  EXPECT_TRUE(cache::refresh_context_cache(
      "key", "https://api", repo.handle(), "42", {.mutate_workspace = false}));
  // No constraints came: the rules file holds the served sections alone.
  EXPECT_EQ(cached("kolvexrules.yaml"), "principles:\n  small-commits:\n    why: review\n");
  EXPECT_FALSE(exists(".kolvex/.platform/specs"));
}

// A second refresh sends the stored tags; a not-modified specs answer passes no
// specs on, prunes nothing and keeps the stored tag.
TEST_F(Refresh, NotModifiedSpecsKeepTheCacheAndTheTag)
{
  ASSERT_TRUE(run().ok);
  repo.write(".kolvex/.platform/specs/auth/spec.md", "would be pruned by a full answer\n");
  client.specs = [](const std::optional<std::string>& tag) {
    EXPECT_EQ(tag, std::optional<std::string>("\"sp1\""));
    return SpecsAnswer{std::nullopt, "\"sp1\""};
  };
  client.declarative = [](const Map& etags) {
    EXPECT_EQ(etags,
              (Map{{"kolvexstate", "\"s1\""}, {"kolvexrules", "\"r1\""}, {"specs", "\"sp1\""}}));
    return DeclarativeState{Map{{"kolvexstate", Value()}, {"kolvexrules", Value()}},
                            Map{{"kolvexstate", "\"s1\""}, {"kolvexrules", "\"r1\""}},
                            Map{{"kolvexstate", 304}, {"kolvexrules", 304}}};
  };
  ASSERT_TRUE(run().ok);
  EXPECT_TRUE(exists(".kolvex/.platform/specs/auth/spec.md"));
  EXPECT_EQ(cached("specs/billing.md"), "# Billing\n");
  EXPECT_EQ(stored_cache().find("etags")->get_string("specs"), "\"sp1\"");
  EXPECT_EQ(stored_cache().find("fetch_status")->get("kolvexrules")->as_int(), 304);
}

// A cached copy that is gone or damaged loses its tag before the fetch, so that one
// refresh fetches it whole and repairs it; a stored tag that is no header value is
// never sent.
TEST_F(Refresh, ADamagedCopyIsFetchedWholeByTheNextRefresh)
{
  const auto set_rules_tag = [this](const std::string& tag) {
    Map config = kolvex::services::shared::load_local_config(repo.path());
    config.find("cache")->as_map().find("etags")->as_map().set("kolvexrules", tag);
    kolvex::services::shared::save_local_config(repo.path(), config);
  };
  const std::string platform = ".kolvex/.platform/";
  const struct {
    const char* damage;
    std::function<void()> apply;
    const char* dropped;  // the tag not sent
    const char* repaired; // a file the refresh writes again
  } rows[] = {
      {"corrupt state",
       [&] { repo.write(platform + "kolvexstate.yaml", "{{ not: yaml"); },
       "kolvexstate",
       "kolvexstate.yaml"},
      {"deleted state",
       [&] { stdfs::remove(repo.path() / platform / "kolvexstate.yaml"); },
       "kolvexstate",
       "kolvexstate.yaml"},
      {"empty rules",
       [&] { repo.write(platform + "kolvexrules.yaml", ""); },
       "kolvexrules",
       "kolvexrules.yaml"},
      {"deleted spec",
       [&] { stdfs::remove(repo.path() / platform / "specs/billing.md"); },
       "specs",
       "specs/billing.md"},
      {"deleted specs folder",
       [&] { stdfs::remove_all(repo.path() / platform / "specs"); },
       "specs",
       "specs/billing.md"},
      {"edited spec",
       [&] { repo.write(platform + "specs/billing.md", "# Bill\n"); },
       "specs",
       "specs/billing.md"},
      {"deleted canonical doc",
       [&] { stdfs::remove(repo.path() / ".kolvex/docs/architecture.md"); },
       "specs",
       "../docs/architecture.md"},
      {"tag with a line break",
       [&] { set_rules_tag("\"r1\"\r\nX-Injected: 1"); },
       "kolvexrules",
       "kolvexrules.yaml"},
  };
  FakeApiClient demo;
  demo.serve_demo_project();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.damage);
    client.declarative = demo.declarative;
    client.specs = demo.specs;
    ASSERT_TRUE(run().ok);
    const std::string intact = cached(row.repaired);
    row.apply();
    Map sent;
    std::optional<std::string> specs_tag;
    client.declarative = [&sent, &demo](const Map& etags) {
      sent = etags;
      return demo.declarative(etags);
    };
    client.specs = [&specs_tag, &demo](const std::optional<std::string>& tag) {
      specs_tag = tag;
      return demo.specs(tag);
    };
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(sent.find(row.dropped), nullptr);
    EXPECT_EQ(sent.size(), 2U);
    EXPECT_EQ(specs_tag.has_value(), sent.find("specs") != nullptr);
    EXPECT_EQ(cached(row.repaired), intact);
  }
}

// Unsafe names from the server never become paths; an all-unsafe specs list prunes
// nothing but still records the tag; an empty canonical docs list removes every doc.
TEST_F(Refresh, ServerNamesAreCheckedBeforeTheyBecomeFiles)
{
  TempDir outside;
  outside.write("x/keep.md", "outside\n");
  repo.write(".kolvex/.platform/specs/auth/spec.md", "kept: the set is empty\n");
  repo.write(".kolvex/docs/old.md", "retired\n");
  const std::string escape = "../../" + outside.path().filename().string() + "/x";
  client.specs = [&](const std::optional<std::string>&) {
    return SpecsAnswer{
        Value(Map{{"specs",
                   List{Map{{"domain", escape}, {"content", "evil"}},
                        Map{{"domain", (outside.path() / "x").string()}, {"content", "evil"}},
                        Map{{"domain", 7}, {"content", "evil"}},
                        Value("not a row")}},
                  {"canonical_docs", List{}}}),
        "\"sp2\""};
  };
  ASSERT_TRUE(run().ok);
  EXPECT_EQ(outside.read("x/keep.md"), "outside\n");
  EXPECT_EQ(std::distance(stdfs::directory_iterator(outside.path()), {}), 1);
  EXPECT_TRUE(exists(".kolvex/.platform/specs/auth/spec.md"));
  EXPECT_FALSE(exists(".kolvex/docs/old.md"));
  EXPECT_EQ(stored_cache().find("etags")->get_string("specs"), "\"sp2\"");
}

TEST(CollectSpecs, RowsAreCheckedOneByOne)
{
  const auto payload =
      cache::_collect_specs(Value(Map{{"specs",
                                       List{Map{{"domain", "billing"}, {"content", "first"}},
                                            Map{{"domain", "billing"}, {"content", "second wins"}},
                                            Map{{"domain", "empty"}, {"content", ""}},
                                            Map{{"domain", "nontext"}, {"content", 3}},
                                            Map{{"domain", ".."}, {"content", "x"}}}},
                                      {"canonical_docs", "not a list"}}));
  ASSERT_TRUE(payload.specs);
  EXPECT_EQ(*payload.specs, (std::map<std::string, std::string>{{"billing", "second wins"}}));
  EXPECT_FALSE(payload.canonical_docs);
  EXPECT_FALSE(cache::_collect_specs(std::nullopt).specs);
}

TEST_F(Refresh, MutateWorkspaceFalseLeavesTheWorkingTreeAlone)
{
  kolvex::services::shared::save_local_config(
      repo.path(),
      Map{{"agents", List{"claude-code"}}, {"cache", Map{{"hydrate_attempts", Map{{"a", 1}}}}}});
  env.unset("KOLVEX_SKIP_PLATFORM_SKILLS");
  TempDir bin;
  // npx runs outside the repository: the stand-in says so beside itself.
  ::chmod(bin.write("npx", "#!/bin/sh\ntouch \"" + bin.path().string() + "/.npx-ran\"\n").c_str(),
          0755);
  const auto ran = [&] { return stdfs::exists(bin.path() / ".npx-ran"); };
  env.set("PATH", bin.path().string() + ":/usr/bin:/bin");

  ASSERT_TRUE(run(false).ok);
  EXPECT_FALSE(ran());
  EXPECT_FALSE(exists("CLAUDE.md"));
  EXPECT_FALSE(exists(".claude"));
  EXPECT_FALSE(stored_cache().contains("hydrate_attempts"));

  const cache::RefreshResult refreshed = run(true);
  ASSERT_TRUE(refreshed.ok);
  EXPECT_TRUE(ran());
  // The install is announced, and its outcome told, among the refresh's lines.
  ASSERT_GE(refreshed.warnings.size(), 2U);
  EXPECT_EQ(refreshed.warnings[0],
            "Installing platform skills: npx -y skills add kolvex/engineering -y");
  EXPECT_TRUE(refreshed.warnings[1].starts_with("Platform skills not installed: npx finished"))
      << refreshed.warnings[1];
  EXPECT_NE(repo.read("CLAUDE.md").find("- `review`: Reviews a diff"), std::string::npos);
  EXPECT_TRUE(exists(".claude/skills/review/SKILL.md"));
}

// Guidance goes to the configured agents, else the detected ones, else Claude
// Code.  A failed skills fetch skips distribution; an empty list distributes
// nothing, which retires what was distributed before.
TEST_F(Refresh, SkillsAndGuidanceFollowTheAnswers)
{
  ASSERT_TRUE(run(true).ok);
  EXPECT_TRUE(exists("CLAUDE.md"));       // nothing configured or detected: Claude Code
  EXPECT_FALSE(exists(".claude/skills")); // no agent configured or running: no distribution
  stdfs::remove(repo.path() / "CLAUDE.md");
  repo.write("GEMINI.md", "mine\n");
  ASSERT_TRUE(run(true).ok);
  EXPECT_FALSE(exists("CLAUDE.md"));
  EXPECT_TRUE(repo.read("GEMINI.md").starts_with("mine\n\n<!-- kolvex:begin"));

  kolvex::services::shared::save_local_config(repo.path(), Map{{"agents", List{"claude-code"}}});
  ASSERT_TRUE(run(true).ok);
  EXPECT_TRUE(exists(".claude/skills/review/SKILL.md"));
  EXPECT_TRUE(exists("CLAUDE.md"));
  client.skills = []() -> Value { throw ApiError("down"); };
  ASSERT_TRUE(run(true).ok);
  EXPECT_TRUE(exists(".claude/skills/review/SKILL.md"));
  client.skills = [] { return Value(List{}); };
  ASSERT_TRUE(run(true).ok);
  EXPECT_FALSE(exists(".claude/skills/review"));
}

TEST_F(Refresh, DebugLogOnlyWithTheSwitchOn)
{
  client.declarative = [](const Map&) -> DeclarativeState { throw LeakyError(); };
  expect_failed(run(), "fetch_declarative_state", "LeakyError");
  EXPECT_FALSE(exists(".kolvex/.platform/logs"));

  env.set("KOLVEX_DEBUG", "1");
  const cache::RefreshResult result = run();
  ASSERT_TRUE(result.log_path);
  EXPECT_EQ(*result.log_path, repo.path() / ".kolvex/.platform/logs/sync.log");
  const std::string log = repo.read(".kolvex/.platform/logs/sync.log");
  EXPECT_NE(log.find(" stage=fetch_declarative_state ---\n"), std::string::npos);
  EXPECT_NE(log.find("key=secret"), std::string::npos) << "the message belongs in the local log";
  EXPECT_EQ(result.error, std::optional<std::string>("LeakyError"));
}

// What the refresh writes, the rules state and the session summary read back; a
// refused rules fetch afterwards leaves the cached count marked stale.
TEST_F(Refresh, RoundTripThroughTheRulesStateAndTheSessionSummary)
{
  ASSERT_TRUE(run().ok);
  const stdfs::path cache_dir = repo.path() / ".kolvex/.platform";
  cache::RulesCacheState state =
      cache::read_rules_cache_state(paths::DirectoryHandle::open(cache_dir));
  EXPECT_EQ(state.count, 2); // one principle, one constraint
  EXPECT_EQ(state.last_fetch_status, 200);
  EXPECT_TRUE(state.trustworthy());
  EXPECT_EQ(cache::generate_session_summary(
                paths::DirectoryHandle::open(cache_dir), Value(42), std::string("claude-code")),
            "kolvex session context loaded\n  project: 42\n  agent: claude-code\n  elements: 2\n"
            "  rules: 2\n  specs: 1\n  cache: fresh");

  client.declarative = [](const Map&) {
    return DeclarativeState{Map{{"kolvexstate", Value()}, {"kolvexrules", Value()}},
                            Map{},
                            Map{{"kolvexstate", 304}, {"kolvexrules", 401}}};
  };
  ASSERT_TRUE(run().ok);
  state = cache::read_rules_cache_state(paths::DirectoryHandle::open(cache_dir));
  EXPECT_TRUE(state.fetch_failed());
  EXPECT_EQ(state.describe(), "2 (stale \u2014 last sync could not reach kolvex)");
  EXPECT_NE(cache::generate_session_summary(
                paths::DirectoryHandle::open(cache_dir), Value(42), std::nullopt)
                .find("  cache: incomplete"),
            std::string::npos);
}

// Two refreshes at once (a hook's and a sync's) leave a whole cache: every file
// replaced atomically, no temporary file left behind.
TEST_F(Refresh, TwoRefreshesAtOnceLeaveAWholeCache)
{
  cache::RefreshResult results[2];
  {
    std::jthread a([&] { results[0] = run(); });
    std::jthread b([&] { results[1] = run(); });
  }
  EXPECT_TRUE(results[0].ok) << results[0].stage.value_or("");
  EXPECT_TRUE(results[1].ok) << results[1].stage.value_or("");
  for (const auto& entry : stdfs::recursive_directory_iterator(repo.path())) {
    EXPECT_FALSE(entry.path().extension() == ".tmp") << entry.path();
  }
  EXPECT_EQ(
      cache::read_rules_cache_state(paths::DirectoryHandle::open(repo.path() / ".kolvex/.platform"))
          .count,
      2);
}

// A clone that ships links in the cache cannot turn the refresh against files
// outside: the refresh fails cleanly and what the links point at stays.
TEST_F(Refresh, LinksInTheCacheFailTheRefreshAndTouchNothingOutside)
{
  TempDir outside;
  outside.write("auth/spec.md", "outside\n");
  outside.write("kolvexrules.yaml", "outside\n");
  stdfs::create_directories(repo.path() / ".kolvex/.platform");
  stdfs::create_directory_symlink(outside.path(), repo.path() / ".kolvex/.platform/specs");
  cache::RefreshResult result = run();
  expect_failed(result, "fetch_declarative_state", "UnsafePathError");

  stdfs::remove(repo.path() / ".kolvex/.platform/specs");
  stdfs::create_symlink(outside.path() / "kolvexrules.yaml",
                        repo.path() / ".kolvex/.platform/kolvexrules.yaml");
  expect_failed(run(), "write_local_caches", "UnsafePathError");
  EXPECT_EQ(outside.read("auth/spec.md"), "outside\n");
  EXPECT_EQ(outside.read("kolvexrules.yaml"), "outside\n");
}

// The refresh writes through the repository it was given, opened once: a
// .platform swapped for a link to another tree after the open is never written
// through, and every cache file, the configuration's tags included, lands in the
// directory that was checked.  A writer that went back to the path would meet the
// link and fail the refresh.
TEST_F(Refresh, APlatformSwappedForALinkAfterTheOpenIsNeverWrittenThrough)
{
  repo.write(".kolvex/.platform/config.yaml", "agents: []\n");
  TempDir outside;
  outside.write("config.yaml", "agents: []\n");
  const paths::RepositoryHandle opened(repo.path());
  stdfs::rename(repo.path() / ".kolvex/.platform", repo.path() / "moved");
  stdfs::create_directory_symlink(outside.path(), repo.path() / ".kolvex/.platform");

  const cache::RefreshResult result = cache::refresh_context_cache_detailed(
      "key", "https://api", opened, 42, {.mutate_workspace = false});
  EXPECT_TRUE(result.ok) << result.stage.value_or("") << " " << result.error.value_or("");
  for (const char* written : {"context.yaml", "kolvexstate.yaml", "kolvexrules.yaml"}) {
    EXPECT_TRUE(stdfs::is_regular_file(repo.path() / "moved" / written)) << written;
  }
  EXPECT_NE(repo.read("moved/config.yaml").find("etags"), std::string::npos);
  std::vector<std::string> found;
  for (const auto& entry : stdfs::recursive_directory_iterator(outside.path())) {
    found.push_back(entry.path().lexically_relative(outside.path()).string());
  }
  EXPECT_EQ(found, std::vector<std::string>{"config.yaml"});
  EXPECT_EQ(outside.read("config.yaml"), "agents: []\n");
}
