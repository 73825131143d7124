#include "agents/codex.hpp"

#include "agents/transcript_io.hpp"
#include "core/clock.hpp"
#include "support/agent_env.hpp"

#include <gtest/gtest.h>

#include <ctime>

using kolvex::agents::CodexAdapter;
using kolvex::agents::transcript_opens;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using namespace kolvex::testing;

namespace {

constexpr double T0 = 1767348000; // 2026-01-02T10:00:00Z
const std::string ID_1 = "11111111-1111-4111-8111-111111111111";
const std::string ID_2 = "22222222-2222-4222-8222-222222222222";
const std::string SHA = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";

std::string at(int seconds)
{
  char text[40];
  std::snprintf(text, sizeof text, "2026-01-02T10:%02d:%02d.250Z", seconds / 60, seconds % 60);
  return text;
}

std::string record(const std::string& type, int seconds, Map payload)
{
  return line_of(Map{{"timestamp", at(seconds)}, {"type", type}, {"payload", std::move(payload)}});
}

std::string meta(const std::string& id, const std::string& cwd)
{
  return record(
      "session_meta",
      0,
      Map{{"id", id}, {"cwd", cwd}, {"originator", "codex_cli_rs"}, {"cli_version", "0.77.0"}});
}

std::string turn(const std::string& model, int seconds = 1)
{
  return record("turn_context", seconds, Map{{"cwd", "/ignored"}, {"model", model}});
}

std::string
tokens(long long input, long long cached, long long output, long long reasoning, long long total)
{
  return record("event_msg",
                20,
                Map{{"type", "token_count"},
                    {"info",
                     Map{{"total_token_usage",
                          Map{{"input_tokens", input},
                              {"cached_input_tokens", cached},
                              {"output_tokens", output},
                              {"reasoning_output_tokens", reasoning},
                              {"total_tokens", total}}}}}});
}

std::string shell_call(const std::string& arguments, int seconds, const std::string& call_id)
{
  return record("response_item",
                seconds,
                Map{{"type", "function_call"},
                    {"name", "shell"},
                    {"arguments", arguments},
                    {"call_id", call_id}});
}

std::string shell_output(const std::string& output, const std::string& call_id)
{
  return record("response_item",
                40,
                Map{{"type", "function_call_output"}, {"call_id", call_id}, {"output", output}});
}

} // namespace

TEST(CodexTelemetry, LastModelAndLastCumulativeTokenCount)
{
  AgentEnv env;
  env.write_codex(
      ID_1,
      {meta(ID_1, "/repo"),
       turn("gpt-5", 1),
       record("response_item",
              2,
              Map{{"type", "message"},
                  {"role", "user"},
                  {"content", List{Map{{"type", "input_text"}, {"text", "secret prompt"}}}}}),
       record("event_msg", 3, Map{{"type", "token_count"}, {"info", nullptr}}),
       tokens(100, 40, 10, 5, 110),
       turn("gpt-5-codex", 21),
       shell_call(R"({"cmd":"ls"})", 22, "c1"),
       tokens(300, 120, 30, 9, 330),
       record("event_msg", 50, Map{{"type", "token_count"}, {"info", nullptr}}),
       R"({"timestamp":"2099-01-01T00:00:00Z","type":"future_record","payload":{}})",
       "{not json"});
  const auto telemetry = CodexAdapter{}.get_telemetry_for_session("/repo", ID_1);
  ASSERT_TRUE(telemetry.has_value());
  const auto map = telemetry->to_dict();
  EXPECT_EQ(*map.find("session_id"), Value(ID_1));
  EXPECT_EQ(*map.find("model"), Value("gpt-5-codex"));
  EXPECT_EQ(*map.find("models"), Value(List{"gpt-5", "gpt-5-codex"}));
  // A later token_count without info does not wipe the last known total.
  EXPECT_EQ(*map.find("tokens"),
            Value(Map{{"input", 300},
                      {"cached_input", 120},
                      {"output", 30},
                      {"reasoning_output", 9},
                      {"total", 330}}));
  EXPECT_EQ(*map.find("messages"), Value(1));
  EXPECT_EQ(*map.find("tool_calls"), Value(1));
  EXPECT_EQ(*map.find("started_at"), Value("2026-01-02T10:00:00Z"));
  EXPECT_EQ(*map.find("ended_at"), Value("2026-01-02T10:00:50Z"));
}

TEST(CodexSession, EnvironmentThreadElseTheLiveRolloutOfTheRepository)
{
  AgentEnv env;
  TempDir repo;
  const auto now = static_cast<double>(std::time(nullptr));
  const auto today = kolvex::core::clock::format_utc(static_cast<long long>(now));
  const auto day = today.substr(0, 4) + "/" + today.substr(5, 2) + "/" + today.substr(8, 2);
  const std::string id3 = "33333333-3333-4333-8333-333333333333";
  const auto in_repo =
      env.write_codex(ID_1, {meta(ID_1, (repo.path() / "pkg").string()), turn("gpt-5")}, day);
  const auto elsewhere = env.write_codex(ID_2, {meta(ID_2, "/not/the/repo"), turn("gpt-5")}, day);
  const auto finished = env.write_codex(id3, {meta(id3, repo.path().string())}, day);
  set_mtime(in_repo, now - 60);
  set_mtime(elsewhere, now - 10);
  set_mtime(finished, now - 3600); // over an hour ago: not live
  const CodexAdapter adapter;
  EXPECT_FALSE(adapter.is_active());
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>(ID_1));
  set_mtime(in_repo, now - 700);
  EXPECT_FALSE(adapter.get_session_id(repo.path()).has_value());
  env.env().set("CODEX_THREAD_ID", ID_2);
  EXPECT_TRUE(adapter.is_active());
  EXPECT_EQ(adapter.marker_session_id(), std::optional<std::string>(ID_2));
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>(ID_2));
  EXPECT_EQ(
      *adapter.get_telemetry_for_session(repo.path(), std::nullopt)->to_dict().find("session_id"),
      Value(ID_2));
  EXPECT_FALSE(adapter.get_telemetry_for_session(
      repo.path(), std::string("44444444-4444-4444-8444-444444444444")));
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo.path(), std::string("../x")));
}

TEST(CodexSession, ArchivedRolloutsAreFoundToo)
{
  AgentEnv env;
  env.dir().write(stdfs::path("codex/archived_sessions") /
                      ("rollout-2025-01-01T00-00-00-" + ID_2 + ".jsonl"),
                  meta(ID_2, "/r") + "\n" + turn("o3") + "\n");
  const auto telemetry = CodexAdapter{}.get_telemetry_for_session("/r", ID_2);
  ASSERT_TRUE(telemetry.has_value());
  EXPECT_EQ(*telemetry->to_dict().find("model"), Value("o3"));
  EXPECT_EQ(*telemetry->to_dict().find("tokens"), Value(Map{}));
}

TEST(CodexSessionsMentioning, EveryShellArgumentFormAndTheCommitSummary)
{
  AgentEnv env;
  TempDir repo;
  const auto root = repo.path().string();
  const std::string sha2 = "0123456789abcdef0123456789abcdef01234567";
  const std::string sha3 = "fedcba9876543210fedcba9876543210fedcba98";
  const std::string sha4 = "1111111111111111111111111111111111111111";
  kolvex::contracts::CommitTimes times{{SHA, T0 + 60}, {sha2, T0 + 1000}, {sha3, T0 + 2000}};
  // The three argument forms, each just before its own commit.
  env.write_codex(ID_1,
                  {meta(ID_1, root),
                   shell_call(R"({"command":["bash","-lc","git commit -m one"]})", 59, "c1")});
  env.write_codex(ID_2,
                  {meta(ID_2, root),
                   record("response_item",
                          999,
                          Map{{"type", "function_call"},
                              {"name", "shell_command"},
                              {"arguments", R"({"command":"git commit -am two"})"},
                              {"call_id", "c2"}})});
  const std::string id3 = "33333333-3333-4333-8333-333333333333";
  env.write_codex(id3,
                  {meta(id3, root),
                   record("response_item",
                          1990,
                          Map{{"type", "function_call"},
                              {"name", "exec_command"},
                              {"arguments", R"({"cmd":"git commit -m three"})"},
                              {"call_id", "c3"}}),
                   shell_call(R"({"command":"gc"})", 1995, "c4"),
                   shell_output("[feature/x " + sha4.substr(0, 8) + "] four", "c4")});
  // Another repository's session that ran a commit at the same moment.
  const std::string id5 = "55555555-5555-4555-8555-555555555555";
  env.write_codex(id5,
                  {meta(id5, "/elsewhere"), shell_call(R"({"cmd":"git commit -m x"})", 59, "c5")});

  const auto matches =
      CodexAdapter{}.sessions_mentioning(repo.path(), {sha4, sha3, sha2, SHA}, T0, times);
  EXPECT_EQ(matches.at(SHA), std::vector<std::string>{ID_1});
  EXPECT_EQ(matches.at(sha2), std::vector<std::string>{ID_2});
  EXPECT_EQ(matches.at(sha3), std::vector<std::string>{id3});
  EXPECT_EQ(matches.at(sha4), std::vector<std::string>{id3});
}

TEST(CodexSessionsMentioning, OldRolloutsAreSkippedUnread)
{
  AgentEnv env;
  TempDir repo;
  const auto old_file = env.write_codex(ID_1,
                                        {meta(ID_1, repo.path().string()),
                                         shell_call(R"({"cmd":"git commit -m x"})", 5, "c1"),
                                         shell_output("[main " + SHA.substr(0, 7) + "] x", "c1")});
  const auto new_file = env.write_codex(ID_2,
                                        {meta(ID_2, repo.path().string()),
                                         shell_call(R"({"cmd":"git commit -m x"})", 5, "c1"),
                                         shell_output("[main " + SHA.substr(0, 7) + "] x", "c1")});
  set_mtime(old_file, T0 - 3600);
  set_mtime(new_file, T0 + 5);
  const auto before = transcript_opens();
  const auto matches = CodexAdapter{}.sessions_mentioning(repo.path(), {SHA}, T0, {{SHA, T0 + 60}});
  EXPECT_EQ(transcript_opens() - before, 1U);
  EXPECT_EQ(matches.at(SHA), std::vector<std::string>{ID_2});
}
