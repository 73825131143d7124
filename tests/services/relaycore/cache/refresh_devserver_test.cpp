// The context refresh end to end: the real client, loaded as the front end loads
// it, against the local API server serving a content folder the test writes.
#include "services/relaycore/cache/refresh.hpp"

#include "core/json.hpp"
#include "hooks/agent_guidance.hpp"
#include "protocol/http_loader.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/cache/rules_cache_state.hpp"
#include "services/relaycore/cache/session_summary.hpp"
#include "support/agent_env.hpp"
#include "support/devserver.hpp"
#include "support/fd_capture.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace paths = kolvex::paths;

namespace cache = kolvex::services::relaycore::cache;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::DevServer;
using kolvex::testing::FdCapture;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

namespace {

// Every regular file under a directory: relative path -> (inode, mtime, bytes).
using Snapshot = std::map<std::string, std::tuple<ino_t, std::int64_t, std::string>>;

Snapshot snapshot(const stdfs::path& root)
{
  Snapshot files;
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    struct stat st {};
    EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0);
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    files[stdfs::relative(entry.path(), root).string()] = {
        st.st_ino,
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
        std::move(bytes)};
  }
  return files;
}

// The server's request log from line `from` on: one "METHOD path status" per line.
std::vector<std::string> requests_since(const DevServer& server, std::size_t from)
{
  std::vector<std::string> lines;
  std::istringstream in(server.log());
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("GET ") || line.starts_with("POST ")) {
      lines.push_back(line);
    }
  }
  lines.erase(lines.begin(),
              lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())));
  return lines;
}

std::size_t count(const std::string& text, std::string_view what)
{
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

bool has_request(const std::vector<std::string>& lines, std::string_view path, int status)
{
  const std::string suffix = std::string(path) + " " + std::to_string(status);
  return std::any_of(
      lines.begin(), lines.end(), [&](const std::string& line) { return line.ends_with(suffix); });
}

class RefreshAgainstDevServer : public ::testing::Test {
protected:
  kolvex::testing::AgentEnv agents; // no harness markers, a private HOME
  kolvex::testing::ScopedEnv env;
  TempDir content;
  TempDir repo;
  kolvex::contracts::ScopedApiClient real{kolvex::protocol::http_client()};

  void SetUp() override
  {
    env.set("KOLVEX_SKIP_PLATFORM_SKILLS", "1").unset("KOLVEX_DEBUG");
    // The repository says it uses Claude Code, which then receives the skills.
    kolvex::services::shared::save_local_config(repo.path(), Map{{"agents", List{"claude-code"}}});
    content.write("context.json",
                  R"({"project": {"id": 1, "title": "repo"}, "systems": ["core"]})");
    content.write("system-context.json", R"({"core": {"owner": "platform"}})");
    content.write("state/kolvexstate.json",
                  R"({"architecture": {"elements": {"api": {"kind": "service"}}}})");
    content.write("state/kolvexrules.json",
                  R"({"principles": {"small-commits": {"why": "review"}}})");
    content.write("specs/billing.md", "# Billing\n");
    content.write("specs/auth.md", "# Auth\n");
    content.write("docs/architecture.md", "# Architecture\n");
    content.write("guardrails.json",
                  R"({"rules": [{"name": "no-secrets", "ruleType": "constraint",
                      "description": "No secrets in code", "status": "active",
                      "checkCondition": "grep -q secret", "inheritedFromSystem": false}]})");
    write_skill("review", "Review it.\n");
    content.write("custom-docs/system/style.md", "# Style\n\nTabs.\n");
    content.write("memories.json", R"({"memories": [{"text": "deploys are frozen on Fridays"}]})");
  }

  void write_skill(const std::string& slug, const std::string& body, const std::string& file = "")
  {
    content.write("skills/" + (file.empty() ? slug : file) + ".json",
                  kolvex::core::json::dump(Map{{"slug", slug},
                                               {"name", slug},
                                               {"description", "The " + slug + " skill"},
                                               {"content", body},
                                               {"source", "project"}}));
  }

  // Starts the server on the content folder and makes the project the cache is of.
  std::unique_ptr<DevServer> serve(std::vector<std::string> args = {})
  {
    args.insert(args.begin(), {"--content", content.path().string()});
    auto server = std::make_unique<DevServer>(DevServer::Options{.args = std::move(args)});
    const Value resolved = kolvex::protocol::http_client().resolve_project(
        server->target(), "git@example.com:t/repo.git", std::nullopt);
    project = *resolved.get("projectId");
    return server;
  }

  cache::RefreshResult refresh(const DevServer& server)
  {
    return cache::refresh_context_cache_detailed(
        server.api_key(), server.url(), repo.handle(), project);
  }

  [[nodiscard]] bool exists(const std::string& rel) const
  {
    return stdfs::exists(repo.path() / rel);
  }

  Value project;
};

} // namespace

// The first refresh writes every cache file; the second asks with the stored tags,
// is answered 304 and leaves every file whose bytes did not change as it was (same
// inode, same mtime): nothing is rewritten only to say the same thing again.
TEST_F(RefreshAgainstDevServer, FirstWritesEverythingSecondRewritesNothingUnchanged)
{
  const auto server = serve();
  const cache::RefreshResult first = refresh(*server);
  ASSERT_TRUE(first.ok) << first.stage.value_or("") << " " << first.error.value_or("");
  for (const char* rel : {".kolvex/.platform/context.yaml",
                          ".kolvex/.platform/system-context.yaml",
                          ".kolvex/.platform/kolvexstate.yaml",
                          ".kolvex/.platform/kolvexrules.yaml",
                          ".kolvex/.platform/specs/billing.md",
                          ".kolvex/.platform/specs/auth.md",
                          ".kolvex/.platform/skills/review.md",
                          ".kolvex/.platform/guidance/system/style.md",
                          ".kolvex/.platform/memories.json",
                          ".kolvex/docs/architecture.md",
                          ".claude/skills/review/SKILL.md",
                          "CLAUDE.md"}) {
    EXPECT_TRUE(exists(rel)) << rel;
  }
  EXPECT_EQ(repo.read(".kolvex/.platform/specs/billing.md"), "# Billing\n");
  EXPECT_NE(repo.read(".kolvex/.platform/memories.json").find("deploys are frozen on Fridays"),
            std::string::npos);
  const stdfs::path cache_dir = repo.path() / ".kolvex/.platform";
  EXPECT_EQ(cache::read_rules_cache_state(paths::DirectoryHandle::open(cache_dir)).count,
            2); // a principle, a constraint
  EXPECT_EQ(cache::generate_session_summary(
                paths::DirectoryHandle::open(cache_dir), project, std::string("claude-code")),
            "kolvex session context loaded\n  project: 1\n  agent: claude-code\n  elements: 1\n"
            "  rules: 2\n  specs: 2\n  cache: fresh");

  const Snapshot before = snapshot(repo.path());
  const std::size_t seen = requests_since(*server, 0).size();
  const cache::RefreshResult second = refresh(*server);
  ASSERT_TRUE(second.ok) << second.stage.value_or("") << " " << second.error.value_or("");
  const std::vector<std::string> asked = requests_since(*server, seen);
  EXPECT_TRUE(has_request(asked, "/v1/projects/1/state/kolvexstate", 304));
  EXPECT_TRUE(has_request(asked, "/v1/projects/1/state/kolvexrules", 304));
  EXPECT_TRUE(has_request(asked, "/v1/projects/1/specs", 304));

  const Snapshot after = snapshot(repo.path());
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [rel, was] : before) {
    const auto now = after.find(rel);
    ASSERT_NE(now, after.end()) << rel << " went away";
    if (std::get<2>(now->second) == std::get<2>(was)) {
      EXPECT_EQ(std::get<0>(now->second), std::get<0>(was)) << rel << " was replaced unchanged";
      EXPECT_EQ(std::get<1>(now->second), std::get<1>(was)) << rel << " was rewritten unchanged";
    }
  }
  // The 304s keep the cache trusted.
  EXPECT_TRUE(cache::read_rules_cache_state(paths::DirectoryHandle::open(cache_dir)).trustworthy());
  EXPECT_EQ(std::get<2>(after.at(".kolvex/.platform/kolvexrules.yaml")),
            std::get<2>(before.at(".kolvex/.platform/kolvexrules.yaml")));
}

// A spec the server no longer serves is removed from the cache; the others stay.
TEST_F(RefreshAgainstDevServer, ASpecRemovedOnTheServerIsPruned)
{
  const auto server = serve();
  ASSERT_TRUE(refresh(*server).ok);
  ASSERT_TRUE(exists(".kolvex/.platform/specs/auth.md"));
  stdfs::remove(content.path() / "specs/auth.md");
  stdfs::remove(content.path() / "docs/architecture.md");
  const cache::RefreshResult result = refresh(*server);
  ASSERT_TRUE(result.ok) << result.stage.value_or("") << " " << result.error.value_or("");
  EXPECT_FALSE(exists(".kolvex/.platform/specs/auth.md"));
  EXPECT_EQ(repo.read(".kolvex/.platform/specs/billing.md"), "# Billing\n");
  EXPECT_FALSE(exists(".kolvex/docs/architecture.md")); // an empty list is authoritative
  EXPECT_EQ(
      cache::read_rules_cache_state(paths::DirectoryHandle::open(repo.path() / ".kolvex/.platform"))
          .count,
      2);
}

// Names that would leave the cache are skipped with a warning; the good rows around
// them are written, and nothing beside the repository (nor /tmp/x) appears.
TEST_F(RefreshAgainstDevServer, UnsafeServerNamesAreSkippedAndNothingOutsideIsTouched)
{
  // The server serves a file's stem as its name: "...md" is named "..".
  content.write("specs/...md", "# Escape\n");
  content.write("docs/...md", "# Escape\n");
  content.write("custom-docs/project/...md", "# Escape\n");
  write_skill("../../etc", "evil\n", "evil-relative");
  write_skill("/tmp/x", "evil\n", "evil-absolute");
  TempDir outside;
  outside.write("keep.md", "outside\n");
  const bool tmp_x_existed = stdfs::exists("/tmp/x");
  const Snapshot outside_before = snapshot(outside.path());
  const auto server = serve();

  std::string warnings;
  cache::RefreshResult result;
  {
    FdCapture err(2);
    result = refresh(*server);
    warnings = err.text();
  }
  ASSERT_TRUE(result.ok) << result.stage.value_or("") << " " << result.error.value_or("");
  EXPECT_NE(warnings.find("Skipping spec with unsafe domain during sync: '..'"), std::string::npos)
      << warnings;
  EXPECT_NE(warnings.find("Skipping canonical doc with unsafe name during sync: '..'"),
            std::string::npos)
      << warnings;
  EXPECT_NE(warnings.find("Skipping custom doc with unsafe slug"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("Skipping skill with unsafe slug"), std::string::npos) << warnings;

  EXPECT_EQ(repo.read(".kolvex/.platform/skills/review.md").empty(), false);
  EXPECT_TRUE(exists(".claude/skills/review/SKILL.md"));
  EXPECT_EQ(snapshot(outside.path()), outside_before);
  if (!tmp_x_existed) {
    EXPECT_FALSE(stdfs::exists("/tmp/x"));
  }
  // Inside the repository, only the good names became files.
  for (const auto& entry : stdfs::recursive_directory_iterator(repo.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name != "etc" && name != "x" && name != "..md" && name != "...md") << entry.path();
  }
  EXPECT_FALSE(exists("etc"));
  EXPECT_FALSE(exists(".kolvex/etc"));
}

// A rules fetch refused with 401 after a good one keeps the cached rules, records
// the status, and shows the count as stale rather than failing the refresh.
TEST_F(RefreshAgainstDevServer, A401OnTheRulesLeavesTheCachedCountStale)
{
  const auto server = serve({"--fail", "state/kolvexrules$=401@2"});
  ASSERT_TRUE(refresh(*server).ok);
  const stdfs::path cache_dir = repo.path() / ".kolvex/.platform";
  ASSERT_TRUE(cache::read_rules_cache_state(paths::DirectoryHandle::open(cache_dir)).trustworthy());
  const std::string rules = repo.read(".kolvex/.platform/kolvexrules.yaml");

  const cache::RefreshResult result = refresh(*server);
  ASSERT_TRUE(result.ok) << result.stage.value_or("") << " " << result.error.value_or("");
  EXPECT_TRUE(has_request(requests_since(*server, 0), "/v1/projects/1/state/kolvexrules", 401));
  const cache::RulesCacheState state =
      cache::read_rules_cache_state(paths::DirectoryHandle::open(cache_dir));
  EXPECT_EQ(state.last_fetch_status, 401);
  EXPECT_TRUE(state.fetch_failed());
  EXPECT_FALSE(state.trustworthy());
  EXPECT_EQ(state.describe(), "2 (stale \u2014 last sync could not reach kolvex)");
  EXPECT_EQ(repo.read(".kolvex/.platform/kolvexrules.yaml"), rules);
  EXPECT_NE(cache::generate_session_summary(
                paths::DirectoryHandle::open(cache_dir), project, std::nullopt)
                .find("cache: incomplete"),
            std::string::npos);
}

// The developer's own CLAUDE.md, with text above and below the kolvex block, keeps
// that text byte for byte while three refreshes rewrite the block between them.
TEST_F(RefreshAgainstDevServer, AUsersClaudeMdKeepsItsTextOverThreeRefreshes)
{
  const std::string above = "# My project\r\n\r\nUse tabs.  Trailing spaces:   \n\n";
  const std::string below = "\n## Mine again\n\nno final newline";
  repo.write("CLAUDE.md", above);
  const auto server = serve();
  ASSERT_TRUE(refresh(*server).ok);
  std::string text = repo.read("CLAUDE.md");
  ASSERT_TRUE(text.starts_with(above)) << text;
  repo.write("CLAUDE.md", text + below);

  for (int round = 0; round < 3; ++round) {
    write_skill("skill-" + std::to_string(round), "Round " + std::to_string(round) + ".\n");
    const cache::RefreshResult result = refresh(*server);
    ASSERT_TRUE(result.ok) << result.stage.value_or("") << " " << result.error.value_or("");
    text = repo.read("CLAUDE.md");
    EXPECT_TRUE(text.starts_with(above)) << round << ":\n" << text;
    EXPECT_TRUE(text.ends_with(below)) << round << ":\n" << text;
    EXPECT_NE(text.find("skill-" + std::to_string(round)), std::string::npos) << text;
    // One block, the previous round's replaced rather than a second one added.
    EXPECT_EQ(count(text, kolvex::hooks::agent_guidance::k_block_begin), 1u) << text;
    EXPECT_EQ(count(text, kolvex::hooks::agent_guidance::k_block_end), 1u) << text;
  }
}
