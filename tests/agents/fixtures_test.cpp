// The adapters on the shared sample transcripts (real and synthetic files from
// other projects).  The files are read where they lie; where an adapter must find
// one in its own store, the store holds a symlink to it.

#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/gemini_cli.hpp"

#include "agents/agent_env.hpp"
#include "core/clock.hpp"

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
  std::error_code ec;
  for (const auto& entry : stdfs::directory_iterator(transcripts() / harness, ec)) {
    if (entry.path().extension() == ".jsonl" || entry.path().extension() == ".json") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool has_tokens(const Map& map)
{
  const auto* tokens = map.find("tokens");
  return tokens != nullptr && tokens->is_map() && !tokens->as_map().empty() &&
         kolvex::core::truthy(*tokens->get("total"));
}

} // namespace

TEST(Fixtures, EveryClaudeCodeFileParses)
{
  AgentEnv env;
  const auto files = files_in("claude-code");
  if (files.empty()) {
    GTEST_SKIP() << "no fixtures at " << transcripts();
  }
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto map = kolvex::agents::claude_telemetry({file}, {}, "s");
    EXPECT_TRUE(map.find("tokens")->is_map());
    EXPECT_GT(map.find("messages")->as_int(), 0);
  }
  const auto real = kolvex::agents::claude_telemetry(
      {transcripts() / "claude-code/agent-history-real-session-01.jsonl"}, {}, "s");
  EXPECT_EQ(*real.find("model"), Value("claude-opus-4-7"));
  EXPECT_TRUE(has_tokens(real));
  EXPECT_EQ(*real.find("tokens")->get("total"), Value(6 + 1045 + 3057 + 16));
  EXPECT_EQ(*real.find("started_at"), Value("2026-06-05T04:56:32Z"));

  const auto golden = kolvex::agents::claude_telemetry(
      {transcripts() / "claude-code/agent-history-claude_golden.jsonl"}, {}, "s");
  EXPECT_EQ(*golden.find("tokens")->get("input"), Value(500));
  EXPECT_EQ(*golden.find("tool_calls"), Value(2));
}

TEST(Fixtures, RealClaudeSessionFoundByIdThroughTheStore)
{
  AgentEnv env;
  const auto real = transcripts() / "claude-code/agent-history-real-session-01.jsonl";
  if (!stdfs::exists(real)) {
    GTEST_SKIP() << "no fixtures";
  }
  const std::string id = "06090cb1-3e64-433a-bc7e-a621c0f596d2";
  stdfs::create_directories(env.claude_dir() / "projects/-tmp-workspace");
  stdfs::create_symlink(real, env.claude_dir() / "projects/-tmp-workspace" / (id + ".jsonl"));
  const kolvex::agents::ClaudeCodeAdapter adapter;
  const auto telemetry = adapter.get_telemetry_for_session("/anywhere", id);
  ASSERT_TRUE(telemetry.has_value());
  EXPECT_EQ(*telemetry->to_dict().find("model"), Value("claude-opus-4-7"));

  // Its lines record a cwd under this root; as the live session (written a minute
  // ago, in the directory its cwd is keyed by) it is the current one, and not once
  // it is an hour old.
  const std::string root = "/tmp/agent-history-real-agent/claude";
  const auto live = env.claude_dir() / "projects" /
                    kolvex::agents::claude_project_key(root + "/workspace") / (id + ".jsonl");
  stdfs::create_directories(live.parent_path());
  stdfs::copy_file(real, live);
  const auto now = static_cast<double>(std::time(nullptr));
  set_mtime(live, now - 60);
  EXPECT_EQ(adapter.get_session_id(root), std::optional<std::string>(id));
  set_mtime(live, now - 3600);
  EXPECT_FALSE(adapter.get_session_id(root).has_value());
}

TEST(Fixtures, ClaudeSampleSessionMadeTheCommitItsResultNames)
{
  AgentEnv env;
  const auto sample = transcripts() / "claude-code/claude-code-transcripts-sample_session.jsonl";
  if (!stdfs::exists(sample)) {
    GTEST_SKIP() << "no fixtures";
  }
  stdfs::create_directories(env.claude_dir() / "projects/-project");
  stdfs::create_symlink(sample, env.claude_dir() / "projects/-project/test-session-id.jsonl");
  const std::string sha = "abc1234" + std::string(33, '0');
  const auto matches =
      kolvex::agents::ClaudeCodeAdapter{}.sessions_mentioning("/project", {sha}, std::nullopt, {});
  ASSERT_EQ(matches.count(sha), 1U);
  EXPECT_EQ(matches.at(sha), std::vector<std::string>{"test-session-id"});
}

TEST(Fixtures, EveryCodexFileParses)
{
  AgentEnv env;
  const auto files = files_in("codex");
  if (files.empty()) {
    GTEST_SKIP() << "no fixtures at " << transcripts();
  }
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto map = kolvex::agents::codex_telemetry(file, "s");
    ASSERT_TRUE(map.has_value());
    EXPECT_TRUE(map->find("model")->is_string());
  }
  const auto real = kolvex::agents::codex_telemetry(
      transcripts() / "codex/agent-history-real-session-01.jsonl", "s");
  EXPECT_EQ(*real->find("model"), Value("gpt-5.5"));
  EXPECT_EQ(*real->find("session_id"), Value("019e9625-802f-7e91-840a-cfe88d14117a"));
  EXPECT_TRUE(has_tokens(*real));
  EXPECT_EQ(*real->find("tokens"),
            Value(Map{{"input", 22539},
                      {"cached_input", 20864},
                      {"output", 10},
                      {"reasoning_output", 0},
                      {"total", 22549}}));
  const auto alpha =
      kolvex::agents::codex_telemetry(transcripts() / "codex/ccusage-session-alpha.jsonl", "s");
  EXPECT_EQ(*alpha->find("tokens")->get("total"), Value(4200));
}

TEST(Fixtures, CodexRolloutFoundByItsNameAndItsShellCallRead)
{
  AgentEnv env;
  const std::string name = "rollout-2026-01-02T03-04-05-11111111-1111-4111-8111-111111111111.jsonl";
  const auto rollout = transcripts() / "codex" / name;
  if (!stdfs::exists(rollout)) {
    GTEST_SKIP() << "no fixtures";
  }
  stdfs::create_directories(env.codex_dir() / "sessions/2026/01/02");
  stdfs::create_symlink(rollout, env.codex_dir() / "sessions/2026/01/02" / name);
  const kolvex::agents::CodexAdapter adapter;
  const auto telemetry =
      adapter.get_telemetry_for_session("/x", std::string("11111111-1111-4111-8111-111111111111"));
  ASSERT_TRUE(telemetry.has_value());
  EXPECT_EQ(*telemetry->to_dict().find("model"), Value("synthetic-model"));
  EXPECT_EQ(*telemetry->to_dict().find("tool_calls"), Value(3));
  // Dated 2026-01-02 and written long ago: not the live session of its project.
  EXPECT_FALSE(adapter.get_session_id("/workspace/synthetic-project").has_value());

  // The same rollout written a minute ago, in today's directory, is.
  const auto now = static_cast<double>(std::time(nullptr));
  const auto today = kolvex::core::clock::format_utc(static_cast<long long>(now));
  const auto live = env.codex_dir() / "sessions" / today.substr(0, 4) / today.substr(5, 2) /
                    today.substr(8, 2) / name;
  stdfs::create_directories(live.parent_path());
  stdfs::copy_file(rollout, live);
  set_mtime(live, now - 60);
  EXPECT_EQ(adapter.get_session_id("/workspace/synthetic-project"),
            std::optional<std::string>("11111111-1111-4111-8111-111111111111"));
}

TEST(Fixtures, EveryGeminiFileParses)
{
  AgentEnv env;
  const auto files = files_in("gemini-cli");
  if (files.empty()) {
    GTEST_SKIP() << "no fixtures at " << transcripts();
  }
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto map = kolvex::agents::gemini_telemetry(file);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(*map->find("model"), Value("gemini-2.5-pro"));
    EXPECT_EQ(*map->find("tokens")->get("total"), Value(185 + 255 + 367 + 406 + 405));
    EXPECT_EQ(*map->find("session_id"), Value("rejection-gemini-001"));
  }
}
