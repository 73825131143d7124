// The catch-up walk with the real adapters over real transcript stores: each
// commit goes to the session whose output printed it, never by timing or mention
// alone when someone has proof, and a commit nobody printed stays "unknown".

#include "services/relaycore/capture/catch_up.hpp"

#include "agents/claude_code.hpp"
#include "agents/registry.hpp"
#include "agents/transcript_io.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "support/agent_env.hpp"
#include "support/fake_adapter.hpp"

#include <gtest/gtest.h>

#include <ctime>

namespace kolvex::services::relaycore::capture {
namespace {

using contracts::ClaimKind;
using contracts::CommitClaims;
using core::Map;
using core::Value;
using namespace kolvex::testing;

constexpr double T0 = 1767348000; // 2026-01-02T10:00:00Z
const std::string CODEX_ID = "22222222-2222-4222-8222-222222222222";

class CatchUpAttribution : public ::testing::Test {
protected:
  AgentEnv env;
  TempRepo repo;

  void SetUp() override
  {
    env.env().set("GIT_CONFIG_NOSYSTEM", "1");
    // Installed before the commits below, so the first walk does not skip them.
    repo.write(".kolvex/.platform/config.yaml",
               "project_id: 42\ninstalled_at: '2026-01-01T00:00:00Z'\n");
  }

  static std::string iso(double epoch) { return agents::format_timestamp(epoch); }

  // A commit whose author and committer time is `epoch`.
  std::string commit_at(const std::string& file, double epoch) const
  {
    return repo.commit_file_at(file, file, "change " + file, iso(epoch));
  }

  // A Claude Code session of the repository whose Bash calls ran `calls`
  // (command, time, output) in order.
  void claude_session(const std::string& id,
                      const std::vector<std::tuple<std::string, double, std::string>>& calls)
  {
    const auto root = repo.path().string();
    std::vector<std::string> lines{claude_user(id, root, id + "-u", iso(T0 - 600), "work")};
    int n = 0;
    for (const auto& [command, when, output] : calls) {
      const auto tool = id + "-t" + std::to_string(++n);
      lines.push_back(claude_assistant(id,
                                       root,
                                       tool + "-a",
                                       iso(when),
                                       tool + "-m",
                                       tool + "-r",
                                       "claude-opus-4-7",
                                       {10, 2, 0, 0},
                                       {claude_bash(tool, command)}));
      lines.push_back(
          claude_user(id, root, tool + "-u", iso(when + 1), claude_result(tool, output)));
    }
    env.write_claude(agents::claude_project_key(root), id, lines);
  }

  Map record_of(const std::string& sha) const
  {
    return core::yaml::load(repo.read(paths::attestations_dir(repo.path()) / (sha + ".yaml")))
        .as_map();
  }

  static std::string text(const Map& record, const char* key)
  {
    const auto* value = record.find(key);
    return value != nullptr && value->is_string() ? value->as_string() : std::string("<none>");
  }
};

TEST_F(CatchUpAttribution, ThreeSessionsAndAHumanEachCommitToWhoPrintedIt)
{
  const auto one = commit_at("one.txt", T0);
  const auto two = commit_at("two.txt", T0 + 1000);
  const auto human = commit_at("human.txt", T0 + 1060);
  const auto three = commit_at("three.txt", T0 + 2000);

  // alpha made `one`, and later listed the human's commit in full (no claim).
  claude_session("alpha",
                 {{"git commit -m one", T0 - 2, "[main " + one.substr(0, 7) + "] change one.txt"},
                  {"git log -2", T0 + 1070, "commit " + human + "\ncommit " + two}});
  // beta made `three`.
  claude_session("beta",
                 {{"git add -A && git commit -m three",
                   T0 + 1998,
                   "[main " + three.substr(0, 9) + "] change three.txt\n 1 file changed"}});
  // The Codex session made `two` 60 s before the human's commit, then ran a
  // `git commit` whose result it never got, 30 s before `three`: a timing claim
  // that beta's proof outranks.
  auto record = [](const std::string& type, double when, Map payload) {
    return line_of(Map{{"timestamp", iso(when)}, {"type", type}, {"payload", std::move(payload)}});
  };
  auto call = [&](const std::string& id, double when, const std::string& command) {
    return record("response_item",
                  when,
                  Map{{"type", "function_call"},
                      {"name", "exec_command"},
                      {"arguments", core::json::dump(Value(Map{{"cmd", command}}))},
                      {"call_id", id}});
  };
  env.write_codex(
      CODEX_ID,
      {record("session_meta", T0 - 600, Map{{"id", CODEX_ID}, {"cwd", repo.path().string()}}),
       record("turn_context", T0 - 600, Map{{"cwd", repo.path().string()}, {"model", "gpt-5.5"}}),
       call("c1", T0 + 999, "git commit -m two"),
       record("response_item",
              T0 + 1000,
              Map{{"type", "function_call_output"},
                  {"call_id", "c1"},
                  {"output", "[detached HEAD " + two.substr(0, 8) + "] change two.txt"}}),
       call("c2", T0 + 1970, "git commit -m more")});

  const auto results = catch_up_commits(repo.path());
  ASSERT_EQ(results.size(), 4U);
  for (const auto& result : results) {
    EXPECT_TRUE(result.written) << result.commit << ": " << result.reason;
  }

  const auto r_one = record_of(one);
  EXPECT_EQ(text(r_one, "agent"), "claude-code");
  EXPECT_EQ(text(r_one, "agent_session_id"), "alpha");
  EXPECT_EQ(*r_one.find("telemetry")->get("source"), Value("catch_up"));
  EXPECT_EQ(*r_one.find("telemetry")->get("tokens")->get("input"), Value(20));

  const auto r_two = record_of(two);
  EXPECT_EQ(text(r_two, "agent"), "codex");
  EXPECT_EQ(text(r_two, "agent_session_id"), CODEX_ID);
  EXPECT_EQ(text(r_two, "agent_model"), "gpt-5.5");

  const auto r_three = record_of(three);
  EXPECT_EQ(text(r_three, "agent"), "claude-code");
  EXPECT_EQ(text(r_three, "agent_session_id"), "beta");

  const auto r_human = record_of(human);
  EXPECT_EQ(text(r_human, "agent"), "unknown");
  EXPECT_FALSE(r_human.contains("agent_session_id"));
  EXPECT_FALSE(r_human.contains("telemetry"));
}

TEST_F(CatchUpAttribution, ACommitCallThatFoundNothingToCommitClaimsNothing)
{
  claude_session(
      "clean",
      {{"git commit -am wip", T0 - 120, "On branch main\nnothing to commit, working tree clean"}});
  const auto human = commit_at("human.txt", T0);
  ASSERT_EQ(catch_up_commits(repo.path()).size(), 1U);
  EXPECT_EQ(text(record_of(human), "agent"), "unknown");
}

TEST_F(CatchUpAttribution, AnUnansweredCommitCallNamesTheSessionOnlyWithoutProof)
{
  const auto lone = commit_at("lone.txt", T0);
  // The session was cut off while committing: its result is not in the transcript.
  const auto root = repo.path().string();
  env.write_claude(agents::claude_project_key(root),
                   "cut-off",
                   {claude_assistant("cut-off",
                                     root,
                                     "a",
                                     iso(T0 - 20),
                                     "m",
                                     "r",
                                     "claude-opus-4-7",
                                     {1, 1, 0, 0},
                                     {claude_bash("t", "git commit -m lone")})});
  ASSERT_EQ(catch_up_commits(repo.path()).size(), 1U);
  EXPECT_EQ(text(record_of(lone), "agent_session_id"), "cut-off");

  // A second session also cut off in that window: a tie names nobody.
  const auto tie = commit_at("tie.txt", T0 + 1000);
  for (const char* id : {"first", "second"}) {
    env.write_claude(agents::claude_project_key(root),
                     id,
                     {claude_assistant(id,
                                       root,
                                       std::string(id) + "a",
                                       iso(T0 + 990),
                                       "m",
                                       "r",
                                       "claude-opus-4-7",
                                       {1, 1, 0, 0},
                                       {claude_bash("t", "git commit -m tie")})});
  }
  ASSERT_EQ(catch_up_commits(repo.path()).size(), 1U);
  EXPECT_EQ(text(record_of(tie), "agent"), "unknown");
}

TEST_F(CatchUpAttribution, AiderMarkedCommitsAreAidersWithoutASession)
{
  repo.git({"config", "user.name", "Test Dev (aider)"});
  const auto by_name = commit_at("a.txt", T0);
  repo.git({"config", "user.name", "Test Dev"});
  env.env().set("GIT_COMMITTER_DATE", iso(T0 + 10));
  repo.write("b.txt", "b");
  repo.git({"add", "b.txt"});
  repo.git({"commit",
            "-q",
            "-m",
            "feat: b\n\nCo-authored-by: aider (anthropic/claude-sonnet-4) <noreply@aider.dev>"});
  env.env().unset("GIT_COMMITTER_DATE");
  const auto by_trailer = repo.git({"rev-parse", "HEAD"});
  const auto plain = commit_at("c.txt", T0 + 20);

  EXPECT_EQ(catch_up_commits(repo.path()).size(), 3U);
  for (const auto& sha : {by_name, by_trailer}) {
    const auto record = record_of(sha);
    EXPECT_EQ(text(record, "agent"), "aider") << sha;
    EXPECT_FALSE(record.contains("agent_session_id"));
    EXPECT_FALSE(record.contains("telemetry"));
  }
  EXPECT_EQ(text(record_of(plain), "agent"), "unknown");
}

// An adapter whose claims, with their kinds, the test decides.
testing::FakeAdapter kinded(std::string name, CommitClaims claims)
{
  testing::FakeAdapter adapter(std::move(name));
  adapter.claims = std::move(claims);
  return adapter;
}

TEST_F(CatchUpAttribution, ProofFromOneHarnessOutranksTimingFromAnother)
{
  const auto first = commit_at("one.txt", T0);
  const auto second = commit_at("two.txt", T0 + 10);
  testing::FakeAdapter claude = kinded(
      "claude-code",
      {{first, {{"c-timing", ClaimKind::timing}}}, {second, {{"c-proof", ClaimKind::proof}}}});
  testing::FakeAdapter codex = kinded(
      "codex",
      {{first, {{"x-proof", ClaimKind::proof}}}, {second, {{"x-proof-2", ClaimKind::proof}}}});
  agents::ScopedAdapters scope({&claude, &codex});
  ASSERT_EQ(catch_up_commits(repo.path()).size(), 2U);
  EXPECT_EQ(text(record_of(first), "agent"), "codex");
  EXPECT_EQ(text(record_of(first), "agent_session_id"), "x-proof");
  // Two proofs, one per harness: a tie names nobody.
  EXPECT_EQ(text(record_of(second), "agent"), "unknown");
}

} // namespace
} // namespace kolvex::services::relaycore::capture
