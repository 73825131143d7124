// The git post-commit hook under every combination of harness markers, with the
// real adapters reading real transcript stores in a temporary HOME: a marker that
// names its session is believed, a bare one names only the live session of the
// repository, and a commit that carries aider's mark is aider's.

#include "services/relaycore/capture/capture.hpp"

#include "agents/claude_code.hpp"
#include "agents/transcript_io.hpp"
#include "core/clock.hpp"
#include "core/sha256.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "support/agent_env.hpp"

#include <gtest/gtest.h>

#include <ctime>

namespace kolvex::services::relaycore::capture {
namespace {

using core::List;
using core::Map;
using core::Value;
using namespace kolvex::testing;

const std::string CODEX_ID = "019e9625-802f-7e91-840a-cfe88d14117a";
const std::string GEMINI_ID = "abcdef12-3456-4789-8abc-def012345678";

class AmbientAttribution : public ::testing::Test {
protected:
  AgentEnv env; // temporary HOME and harness stores, every marker removed
  TempRepo repo;
  const double now = static_cast<double>(std::time(nullptr));

  void SetUp() override
  {
    env.env().set("GIT_CONFIG_NOSYSTEM", "1");
    for (const char* name : {"KOLVEX_DEBUG", "GIT_AUTHOR_NAME", "GIT_COMMITTER_NAME"}) {
      env.env().unset(name);
    }
  }

  [[nodiscard]] std::string iso(double epoch) const { return agents::format_timestamp(epoch); }

  // A Claude Code session of the repository last written `age` seconds ago, with
  // one API response (100 in, 20 out) and, when `committing`, a `git commit` call
  // still waiting for its result.
  stdfs::path claude_session(const std::string& id, double age, bool committing = false)
  {
    const auto root = repo.path().string();
    std::vector<std::string> lines{
        claude_user(id, root, id + "-u1", iso(now - age - 5), "commit the fix"),
        claude_assistant(
            id,
            root,
            id + "-a1",
            iso(now - age),
            id + "-m1",
            id + "-r1",
            "claude-opus-4-7",
            {100, 20, 0, 0},
            {committing ? claude_bash(id + "-t1", "git commit -m fix") : claude_text("done")})};
    const auto path = env.write_claude(agents::claude_project_key(root), id, lines);
    set_mtime(path, now - age);
    return path;
  }

  // A Codex rollout of the repository, in today's date directory.
  void codex_session(const std::string& id, double age)
  {
    const auto today = core::clock::format_utc(static_cast<long long>(now));
    const auto day = today.substr(0, 4) + "/" + today.substr(5, 2) + "/" + today.substr(8, 2);
    auto record = [&](const std::string& type, Map payload) {
      return line_of(Map{{"timestamp", iso(now - age)}, {"type", type}, {"payload", payload}});
    };
    const auto path = env.write_codex(
        id,
        {record("session_meta", Map{{"id", id}, {"cwd", repo.path().string()}}),
         record("turn_context", Map{{"cwd", repo.path().string()}, {"model", "gpt-5.5"}}),
         record(
             "event_msg",
             Map{{"type", "token_count"},
                 {"info",
                  Map{{"total_token_usage",
                       Map{{"input_tokens", 50}, {"output_tokens", 5}, {"total_tokens", 55}}}}}})},
        day);
    set_mtime(path, now - age);
  }

  // A Gemini CLI chat (JSON lines) of the repository.
  void gemini_session(const std::string& id, double age)
  {
    const auto hash = core::sha256_hex(repo.path().string());
    const auto path = env.dir().write(
        stdfs::path("home/.gemini/tmp") / hash / "chats" /
            ("session-x-" + id.substr(0, 8) + ".jsonl"),
        AgentEnv::join_lines(
            {line_of(Map{{"sessionId", id}, {"projectHash", hash}}),
             line_of(Map{{"id", "m1"},
                         {"timestamp", iso(now - age)},
                         {"type", "gemini"},
                         {"model", "gemini-2.5-pro"},
                         {"tokens", Map{{"input", 7}, {"output", 3}, {"total", 10}}}})}));
    set_mtime(path, now - age);
  }

  // Commits a change and runs the post-commit hook's entry; returns the record.
  Map commit_and_record()
  {
    const auto sha = repo.commit_file("f.txt", std::to_string(++m_commits), "fix: things");
    EXPECT_EQ(record_commit(repo.path()), std::optional<std::string>(sha));
    const auto archive = paths::attestations_dir(repo.path()) / (sha + ".yaml");
    return core::yaml::load(repo.read(archive)).as_map();
  }

  static std::string text(const Map& record, const char* key)
  {
    const auto* value = record.find(key);
    return value != nullptr && value->is_string() ? value->as_string() : std::string("<none>");
  }

  static void expect_agent_alone(const Map& record, const std::string& agent)
  {
    EXPECT_EQ(text(record, "agent"), agent);
    EXPECT_FALSE(record.contains("agent_session_id"));
    EXPECT_FALSE(record.contains("telemetry"));
    EXPECT_FALSE(record.contains("agent_model"));
  }

private:
  int m_commits = 0;
};

TEST_F(AmbientAttribution, NoMarkerIsUnknown)
{
  claude_session("live", 30, true);
  expect_agent_alone(commit_and_record(), "unknown");
}

TEST_F(AmbientAttribution, BareClaudeMarkerNamesTheLiveSessionWithItsTelemetry)
{
  env.env().set("CLAUDECODE", "1");
  claude_session("live", 30, true);
  claude_session("last-week", 7 * 86400);
  const auto record = commit_and_record();
  EXPECT_EQ(text(record, "agent"), "claude-code");
  EXPECT_EQ(text(record, "agent_session_id"), "live");
  const auto& telemetry = record.find("telemetry")->as_map();
  EXPECT_EQ(*telemetry.find("session_id"), Value("live"));
  EXPECT_EQ(*telemetry.find("tokens")->get("total"), Value(120));
  EXPECT_EQ(*telemetry.find("source"), Value("post_commit"));
}

TEST_F(AmbientAttribution, BareClaudeMarkerWithOnlyAnOldTranscriptNamesNoSession)
{
  // An IDE terminal also sets CLAUDECODE=1; the newest transcript is ten days old.
  env.env().set("CLAUDECODE", "1");
  claude_session("ten-days-ago", 10 * 86400, true);
  claude_session("eleven-minutes-ago", 660);
  expect_agent_alone(commit_and_record(), "claude-code");
}

TEST_F(AmbientAttribution, BareClaudeMarkerWithTwoLiveSessionsNamesNeitherUnlessOneIsCommitting)
{
  env.env().set("CLAUDECODE", "1");
  claude_session("window-1", 20);
  claude_session("window-2", 40);
  expect_agent_alone(commit_and_record(), "claude-code");
  claude_session("window-2", 10, true);
  EXPECT_EQ(text(commit_and_record(), "agent_session_id"), "window-2");
}

TEST_F(AmbientAttribution, ClaudeMarkerWithItsSessionIdIsBelievedWhateverItsAge)
{
  env.env().set("CLAUDECODE", "1");
  env.env().set("CLAUDE_CODE_SESSION_ID", "resumed");
  claude_session("resumed", 3 * 3600);
  claude_session("live", 30, true);
  const auto record = commit_and_record();
  EXPECT_EQ(text(record, "agent"), "claude-code");
  EXPECT_EQ(text(record, "agent_session_id"), "resumed");
  EXPECT_EQ(*record.find("telemetry")->get("session_id"), Value("resumed"));
}

TEST_F(AmbientAttribution, CodexThreadOutranksABareClaudeMarker)
{
  // Codex started from a Claude Code terminal inherits CLAUDECODE=1.
  env.env().set("CLAUDECODE", "1");
  env.env().set("CODEX_THREAD_ID", CODEX_ID);
  claude_session("live", 30, true);
  codex_session(CODEX_ID, 2 * 3600);
  const auto record = commit_and_record();
  EXPECT_EQ(text(record, "agent"), "codex");
  EXPECT_EQ(text(record, "agent_session_id"), CODEX_ID);
  EXPECT_EQ(text(record, "agent_provider"), "openai");
  EXPECT_EQ(*record.find("telemetry")->get("tokens")->get("total"), Value(55));
}

TEST_F(AmbientAttribution, BareGeminiMarkerNamesOnlyALiveChat)
{
  env.env().set("GEMINI_CLI", "1");
  gemini_session(GEMINI_ID, 60);
  const auto record = commit_and_record();
  EXPECT_EQ(text(record, "agent"), "gemini-cli");
  EXPECT_EQ(text(record, "agent_session_id"), GEMINI_ID);
  EXPECT_EQ(*record.find("telemetry")->get("model"), Value("gemini-2.5-pro"));

  gemini_session(GEMINI_ID, 3600);
  expect_agent_alone(commit_and_record(), "gemini-cli");
}

TEST_F(AmbientAttribution, BareCursorMarkerNamesCursorAlone)
{
  env.env().set("CURSOR_AGENT", "1");
  claude_session("live", 30, true); // another harness's live session is not Cursor's
  expect_agent_alone(commit_and_record(), "cursor");
  // Cursor's marker is bare too: a Claude session id marker outranks it.
  env.env().set("CLAUDE_CODE_SESSION_ID", "live");
  EXPECT_EQ(text(commit_and_record(), "agent_session_id"), "live");
}

TEST_F(AmbientAttribution, AiderMarkOutranksEveryMarker)
{
  env.env().set("CLAUDECODE", "1");
  env.env().set("CLAUDE_CODE_SESSION_ID", "live");
  claude_session("live", 30, true);
  repo.git({"config", "user.name", "Test Dev (aider)"});
  expect_agent_alone(commit_and_record(), "aider");
  repo.git({"config", "user.name", "Test Dev"});
  EXPECT_EQ(text(commit_and_record(), "agent"), "claude-code");
}

} // namespace
} // namespace kolvex::services::relaycore::capture
