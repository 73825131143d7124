// The adapters on the sample transcripts in tests/fixtures/transcripts (written for
// these tests in the harnesses' on-disk formats).  The files are read where they lie;
// where an adapter must find one in its own store, the store holds a symlink to it.

#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/gemini_cli.hpp"

#include "core/clock.hpp"
#include "support/agent_env.hpp"

#include <gtest/gtest.h>

#include <ctime>

using kolvex::core::Map;
using kolvex::core::Value;
using namespace kolvex::testing;

namespace {

stdfs::path transcripts()
{
  return stdfs::path(KOLVEX_FIXTURES_DIR) / "transcripts";
}

std::vector<stdfs::path> files_in(const std::string& harness)
{
  std::vector<stdfs::path> files;
  for (const auto& entry : stdfs::directory_iterator(transcripts() / harness)) {
    if (entry.path().extension() == ".jsonl" || entry.path().extension() == ".json") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

const std::string k_claude_session = "5b0c7e21-9d4f-4a3e-8c11-2f6d0a9b7e34";
const std::string k_claude_root = "/tmp/kolvex-fixture/claude";
const std::string k_codex_session = "22222222-3333-4444-8555-666666666666";
const std::string k_codex_rollout =
    "rollout-2026-02-03T10-20-30-22222222-3333-4444-8555-666666666666.jsonl";

} // namespace

// Each file of a harness is a case: what its telemetry must say.  The repository
// holds them, so none may be missing.
TEST(Fixtures, ClaudeCodeTelemetry)
{
  AgentEnv env;
  struct Case {
    std::string file;
    std::string model;
    Map tokens;
    long long tool_calls;
  };
  const std::vector<Case> cases = {
      // One response written as two lines sharing message.id and requestId counts
      // once, with its last line's usage; a "<synthetic>" line counts not at all.
      {"session-commit.jsonl",
       "claude-opus-4-7",
       Map{{"input", 15},
           {"output", 143},
           {"cache_creation", 2410},
           {"cache_read", 12700},
           {"total", 15268}},
       1},
      {"tools-and-thinking.jsonl",
       "claude-sonnet-4-5",
       Map{{"input", 500},
           {"output", 100},
           {"cache_creation", 0},
           {"cache_read", 0},
           {"total", 600}},
       2},
      // Older usage-only lines carry no "type"; the repeated line is one response.
      {"usage-only.jsonl",
       "claude-sonnet-4-5",
       Map{{"input", 550},
           {"output", 160},
           {"cache_creation", 64},
           {"cache_read", 2200},
           {"total", 2974}},
       0},
  };
  ASSERT_EQ(files_in("claude-code").size(), cases.size());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto map =
        kolvex::agents::claude_telemetry({transcripts() / "claude-code" / c.file}, {}, "s");
    EXPECT_EQ(*map.find("model"), Value(c.model));
    EXPECT_EQ(*map.find("tokens"), Value(c.tokens));
    EXPECT_EQ(*map.find("tool_calls"), Value(c.tool_calls));
    EXPECT_GT(map.find("messages")->as_int(), 0);
  }
  const auto session = kolvex::agents::claude_telemetry(
      {transcripts() / "claude-code/session-commit.jsonl"}, {}, "s");
  EXPECT_EQ(*session.find("started_at"), Value("2026-07-14T09:12:03Z"));
}

TEST(Fixtures, ClaudeSessionFoundByIdThroughTheStore)
{
  AgentEnv env;
  const auto file = transcripts() / "claude-code/session-commit.jsonl";
  stdfs::create_directories(env.claude_dir() / "projects/-tmp-elsewhere");
  stdfs::create_symlink(
      file, env.claude_dir() / "projects/-tmp-elsewhere" / (k_claude_session + ".jsonl"));
  const kolvex::agents::ClaudeCodeAdapter adapter;
  const auto telemetry = adapter.get_telemetry_for_session("/anywhere", k_claude_session);
  ASSERT_TRUE(telemetry.has_value());
  EXPECT_EQ(*telemetry->to_dict().find("model"), Value("claude-opus-4-7"));

  // Its lines record a cwd under this root; as the live session (written a minute
  // ago, in the directory its cwd is keyed by) it is the current one, and not once
  // it is an hour old.
  const auto live = env.claude_dir() / "projects" /
                    kolvex::agents::claude_project_key(k_claude_root + "/workspace") /
                    (k_claude_session + ".jsonl");
  stdfs::create_directories(live.parent_path());
  stdfs::copy_file(file, live);
  const auto now = static_cast<double>(std::time(nullptr));
  set_mtime(live, now - 60);
  EXPECT_EQ(adapter.get_session_id(k_claude_root), std::optional<std::string>(k_claude_session));
  set_mtime(live, now - 3600);
  EXPECT_FALSE(adapter.get_session_id(k_claude_root).has_value());
}

TEST(Fixtures, ClaudeSessionMadeTheCommitItsResultNames)
{
  AgentEnv env;
  const std::string cwd = k_claude_root + "/workspace";
  const auto dir = env.claude_dir() / "projects" / kolvex::agents::claude_project_key(cwd);
  stdfs::create_directories(dir);
  stdfs::create_symlink(transcripts() / "claude-code/session-commit.jsonl",
                        dir / (k_claude_session + ".jsonl"));
  const std::string sha = "3f9a2c1" + std::string(33, '0');
  const std::string other = "4b7e9d2" + std::string(33, '0');
  const auto matches =
      kolvex::agents::ClaudeCodeAdapter{}.sessions_mentioning(cwd, {sha, other}, std::nullopt, {});
  ASSERT_EQ(matches.count(sha), 1U);
  EXPECT_EQ(matches.at(sha), std::vector<std::string>{k_claude_session});
  EXPECT_EQ(matches.count(other), 0U);
}

TEST(Fixtures, CodexTelemetry)
{
  AgentEnv env;
  struct Case {
    std::string file;
    std::string model;
    std::string session;
    Map tokens;
    long long tool_calls;
  };
  // The last cumulative token_count counts, past one whose info is null; every
  // function_call and custom_tool_call is a tool call.
  const std::vector<Case> cases = {
      {"legacy-shell.jsonl",
       "gpt-5",
       "0199a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b",
       Map{{"input", 2100},
           {"cached_input", 0},
           {"output", 80},
           {"reasoning_output", 20},
           {"total", 2180}},
       1},
      {k_codex_rollout,
       "gpt-5.5-codex",
       k_codex_session,
       Map{{"input", 15400},
           {"cached_input", 12800},
           {"output", 410},
           {"reasoning_output", 150},
           {"total", 15810}},
       3},
  };
  ASSERT_EQ(files_in("codex").size(), cases.size());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto map = kolvex::agents::codex_telemetry(transcripts() / "codex" / c.file, "s");
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(*map->find("model"), Value(c.model));
    EXPECT_EQ(*map->find("session_id"), Value(c.session));
    EXPECT_EQ(*map->find("tokens"), Value(c.tokens));
    EXPECT_EQ(*map->find("tool_calls"), Value(c.tool_calls));
  }
}

TEST(Fixtures, CodexRolloutFoundByItsNameAsTheLiveSessionWhenRecent)
{
  AgentEnv env;
  const auto rollout = transcripts() / "codex" / k_codex_rollout;
  stdfs::create_directories(env.codex_dir() / "sessions/2026/02/03");
  stdfs::create_symlink(rollout, env.codex_dir() / "sessions/2026/02/03" / k_codex_rollout);
  const kolvex::agents::CodexAdapter adapter;
  const auto telemetry = adapter.get_telemetry_for_session("/x", k_codex_session);
  ASSERT_TRUE(telemetry.has_value());
  EXPECT_EQ(*telemetry->to_dict().find("model"), Value("gpt-5.5-codex"));
  // Dated 2026-02-03 and written long ago: not the live session of its project.
  EXPECT_FALSE(adapter.get_session_id("/workspace/ledger").has_value());

  // The same rollout written a minute ago, in today's directory, is.
  const auto now = static_cast<double>(std::time(nullptr));
  const auto today = kolvex::core::clock::format_utc(static_cast<long long>(now));
  const auto live = env.codex_dir() / "sessions" / today.substr(0, 4) / today.substr(5, 2) /
                    today.substr(8, 2) / k_codex_rollout;
  stdfs::create_directories(live.parent_path());
  stdfs::copy_file(rollout, live);
  set_mtime(live, now - 60);
  EXPECT_EQ(adapter.get_session_id("/workspace/ledger"),
            std::optional<std::string>(k_codex_session));
}

// The same session in both on-disk forms (JSON lines after a header; one object
// with "messages") reads the same, failed tool call and all.
TEST(Fixtures, GeminiTelemetryInBothForms)
{
  AgentEnv env;
  const auto files = files_in("gemini-cli");
  ASSERT_EQ(files.size(), 2U);
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto map = kolvex::agents::gemini_telemetry(file);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(*map->find("model"), Value("gemini-2.5-pro"));
    EXPECT_EQ(*map->find("tokens")->get("total"), Value(475 + 576 + 623));
    EXPECT_EQ(*map->find("session_id"), Value("gemini-fixture-0001"));
    EXPECT_EQ(*map->find("tool_calls"), Value(3));
  }
}
