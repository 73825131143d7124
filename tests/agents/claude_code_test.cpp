#include "agents/claude_code.hpp"

#include "agents/codex.hpp"
#include "agents/session_search.hpp"
#include "agents/transcript_io.hpp"
#include "core/json.hpp"
#include "support/agent_env.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>

using kolvex::agents::ClaudeCodeAdapter;
using kolvex::agents::LIVE_SESSION_SECONDS;
using kolvex::agents::transcript_opens;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using namespace kolvex::testing;

namespace {

constexpr double T0 = 1767348000; // 2026-01-02T10:00:00Z
const std::string SHA_A = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string SHA_B = "0123456789abcdef0123456789abcdef01234567";
const std::string SECRET = "please refactor the payroll module";

std::string at(int seconds_after_t0)
{
  const int minutes = seconds_after_t0 / 60;
  const int seconds = seconds_after_t0 % 60;
  char text[40];
  std::snprintf(text, sizeof text, "2026-01-02T10:%02d:%02d.500Z", minutes, seconds);
  return text;
}

Map telemetry_of(const ClaudeCodeAdapter& adapter,
                 const stdfs::path& repo,
                 const std::optional<std::string>& id)
{
  auto telemetry = adapter.get_telemetry_for_session(repo, id);
  EXPECT_TRUE(telemetry.has_value());
  return telemetry ? telemetry->to_dict() : Map{};
}

} // namespace

TEST(ClaudeCodeTelemetry, CountsEachResponseOnceAndIgnoresSyntheticAndBadLines)
{
  AgentEnv env;
  const std::string repo = "/work/app";
  const std::string s = "sess-1";
  env.write_claude(
      "-work-app",
      s,
      {R"({"type":"summary","summary":"x","leafUuid":"l"})",
       claude_user(s, repo, "u1", at(0), SECRET),
       // One response written as two lines: usage repeated, output final on the last.
       claude_assistant(s,
                        repo,
                        "a1",
                        at(5),
                        "msg_1",
                        "req_1",
                        "claude-sonnet-4",
                        {100, 1, 10, 20},
                        {claude_text("x")}),
       claude_assistant(s,
                        repo,
                        "a2",
                        at(6),
                        "msg_1",
                        "req_1",
                        "claude-sonnet-4",
                        {100, 40, 10, 20},
                        {claude_bash("toolu_1", "ls")}),
       "this line is not JSON",
       R"({"type":"some-future-type","timestamp":"2030-01-01T00:00:00Z"})",
       claude_user(s, repo, "u2", at(7), claude_result("toolu_1", "file.txt")),
       claude_assistant(s,
                        repo,
                        "a3",
                        at(9),
                        "msg_2",
                        "req_2",
                        "claude-opus-4",
                        {200, 50, 0, 100},
                        {claude_text("y")}),
       // A local message: neither its model nor its usage count.
       claude_assistant(
           s, repo, "a4", at(10), "msg_3", "req_3", "<synthetic>", {999, 999, 999, 999}, {}),
       // A truncated last line (no newline): the harness was still writing it.
       R"({"type":"assistant","message":{"model":"claude-haiku","id":"msg_4","usage":{"input_tokens":5000)"});
  // join_lines appended a newline to the truncated line; drop it.
  const auto path = env.claude_dir() / "projects" / "-work-app" / (s + ".jsonl");
  auto text = env.dir().read(path);
  text.pop_back();
  env.dir().write(path, text);

  const auto map = telemetry_of(ClaudeCodeAdapter{}, repo, s);
  EXPECT_EQ(*map.find("session_id"), Value(s));
  EXPECT_EQ(*map.find("model"), Value("claude-opus-4"));
  EXPECT_EQ(*map.find("models"), Value(List{"claude-sonnet-4", "claude-opus-4"}));
  const Map expected_tokens{
      {"input", 300}, {"output", 90}, {"cache_creation", 10}, {"cache_read", 120}, {"total", 520}};
  EXPECT_EQ(*map.find("tokens"), Value(expected_tokens));
  EXPECT_EQ(*map.find("messages"), Value(4)); // two user lines, two responses
  EXPECT_EQ(*map.find("tool_calls"), Value(1));
  EXPECT_EQ(*map.find("started_at"), Value("2026-01-02T10:00:00Z"));
  EXPECT_EQ(*map.find("ended_at"), Value("2026-01-02T10:00:09Z"));
  EXPECT_EQ(kolvex::core::json::dump(Value(map)).find("payroll"), std::string::npos)
      << "telemetry must never carry prompt text";
}

TEST(ClaudeCodeTelemetry, SessionWithoutUsageHasEmptyTokensAndNoModel)
{
  AgentEnv env;
  env.write_claude("-p", "quiet", {claude_user("quiet", "/p", "u1", at(0), "hello")});
  const auto map = telemetry_of(ClaudeCodeAdapter{}, "/p", "quiet");
  EXPECT_EQ(*map.find("tokens"), Value(Map{}));
  EXPECT_TRUE(map.find("model")->is_null());
  EXPECT_EQ(*map.find("messages"), Value(1));
}

TEST(ClaudeCodeTelemetry, CopiedLinesInASecondFileCountOnce)
{
  AgentEnv env;
  const std::string s = "forked";
  const auto first =
      claude_assistant(s, "/r", "a1", at(1), "msg_1", "req_1", "claude-opus-4", {10, 5, 0, 0}, {});
  const auto second =
      claude_assistant(s, "/r", "a2", at(2), "msg_2", "req_2", "claude-opus-4", {20, 7, 0, 0}, {});
  env.write_claude("-old-key", s, {claude_user(s, "/r", "u1", at(0), "go"), first});
  // The same session under a second project directory (a renamed key) repeats the
  // earlier lines before its own; a sub-agent transcript adds its own response.
  env.write_claude("-r", s, {claude_user(s, "/r", "u1", at(0), "go"), first, second});
  env.dir().write(
      stdfs::path("claude/projects/-r") / s / "subagents" / "agent-x.jsonl",
      claude_assistant(s, "/r", "b1", at(3), "msg_9", "req_9", "claude-haiku", {1, 1, 0, 0}, {}) +
          "\n");

  const auto map = telemetry_of(ClaudeCodeAdapter{}, "/r", s);
  EXPECT_EQ(*map.find("tokens")->get("input"), Value(31));
  EXPECT_EQ(*map.find("tokens")->get("output"), Value(13));
  EXPECT_EQ(*map.find("messages"), Value(4));
  // The sub-agent's model is listed but is not the session's model.
  EXPECT_EQ(*map.find("model"), Value("claude-opus-4"));
  EXPECT_EQ(*map.find("models"), Value(List{"claude-opus-4", "claude-haiku"}));
}

TEST(ClaudeCodeTelemetry, UnknownUnsafeOrMissingSessionsGiveNothing)
{
  AgentEnv env;
  env.write_claude("-r", "known", {claude_user("known", "/r", "u1", at(0), "hi")});
  env.dir().write("claude/secret.jsonl", claude_user("x", "/r", "u", at(0), "hi") + "\n");
  const ClaudeCodeAdapter adapter;
  EXPECT_FALSE(adapter.get_telemetry_for_session("/r", std::string("unknown")));
  EXPECT_FALSE(adapter.get_telemetry_for_session("/r", std::string("../../secret")));
  EXPECT_FALSE(adapter.get_telemetry_for_session("/r", std::string("..")));
  // No id, no environment id, no transcript of this repository: nothing.
  EXPECT_FALSE(adapter.get_telemetry_for_session("/elsewhere", std::nullopt));
  env.env().set("CLAUDE_CONFIG_DIR", (env.dir().path() / "missing"));
  EXPECT_FALSE(adapter.get_telemetry_for_session("/r", std::string("known")));
}

TEST(ClaudeCodeSession, ProjectKeysAsClaudeCodeWritesThem)
{
  EXPECT_EQ(kolvex::agents::claude_project_key("/home/jane_doe/my_app"), "-home-jane-doe-my-app");
  EXPECT_EQ(kolvex::agents::claude_project_key("/w/caf\u00e9.v2"), "-w-caf--v2"); // é: one unit
  EXPECT_EQ(kolvex::agents::claude_project_key("/w/\U0001F600x"), "-w---x"); // two UTF-16 units
  // A cut-short four-byte lead is one ill-formed run, not four bytes swallowed.
  EXPECT_EQ(kolvex::agents::claude_project_key(std::string("/w/\xF0\x9F"
                                                           "ab")),
            "-w--ab");
}

// Without CLAUDE_CODE_SESSION_ID only the live session of the repository is named:
// the bare CLAUDECODE=1 is also set in IDE terminals, where a person commits.
class ClaudeLiveSession : public ::testing::Test {
protected:
  AgentEnv env;
  TempDir repo;
  const ClaudeCodeAdapter adapter;
  const double now = static_cast<double>(std::time(nullptr));

  stdfs::path write_session(const std::string& id,
                            const std::string& cwd,
                            double mtime,
                            bool commit_pending = false,
                            std::string key = {})
  {
    if (key.empty()) {
      key = kolvex::agents::claude_project_key(cwd);
    }
    std::vector<std::string> lines{claude_user(id, cwd, id + "u1", at(0), "go")};
    if (commit_pending) {
      // The call's line is written before the command runs; its result is not.
      lines.push_back(claude_assistant(id,
                                       cwd,
                                       id + "a1",
                                       kolvex::agents::format_timestamp(mtime),
                                       id + "m",
                                       id + "r",
                                       "claude-opus-4",
                                       {1, 1, 0, 0},
                                       {claude_bash(id + "t", "git commit -m x")}));
    }
    const auto path = env.write_claude(key, id, lines);
    set_mtime(path, mtime);
    return path;
  }
};

TEST_F(ClaudeLiveSession, TheOneRecentTranscriptOfTheRepositoryNamesTheSession)
{
  const auto root = repo.path().string();
  write_session("live", root + "/src/lib", now - 120); // a sub-directory, its own key
  write_session("old", root, now - 3 * 86400);
  write_session("sibling", root + "-other", now - 10); // newest, but not this repository
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>("live"));
  EXPECT_EQ(*telemetry_of(adapter, repo.path(), std::nullopt).find("session_id"), Value("live"));
  EXPECT_FALSE(adapter.get_session_id(repo.path() / "nowhere").has_value());

  env.env().set("CLAUDE_CODE_SESSION_ID", "old"); // a marker naming its session wins
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>("old"));
  EXPECT_EQ(adapter.marker_session_id(), std::optional<std::string>("old"));
}

TEST_F(ClaudeLiveSession, ATranscriptOlderThanTenMinutesNamesNoSession)
{
  write_session("yesterday", repo.path().string(), now - 86400);
  write_session("just-over", repo.path().string(), now - LIVE_SESSION_SECONDS - 30);
  EXPECT_FALSE(adapter.get_session_id(repo.path()).has_value());
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo.path(), std::nullopt).has_value());
  // Asked by id, an old session's telemetry is still there.
  EXPECT_TRUE(adapter.get_telemetry_for_session(repo.path(), std::string("yesterday")));
}

TEST_F(ClaudeLiveSession, AmongSeveralLiveSessionsOnlyTheOneCommittingIsNamed)
{
  write_session("idle", repo.path().string(), now - 30);
  write_session("other", repo.path().string(), now - 60);
  EXPECT_FALSE(adapter.get_session_id(repo.path()).has_value()) << "a guess between two";
  write_session("committing", repo.path().string(), now - 90, true);
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>("committing"));
}

TEST_F(ClaudeLiveSession, OnlyTheRepositorysYoungTranscriptsAreOpenedAndEachOnce)
{
  const auto root = repo.path().string();
  write_session("live", root, now - 5);
  for (int i = 0; i < 5; ++i) {
    // Other projects, live or not, and this repository's old sessions stay closed.
    write_session("elsewhere-" + std::to_string(i), "/other/project" + std::to_string(i), now - i);
    write_session("old-" + std::to_string(i), root, now - 3600 - i);
  }
  // Even a transcript of this repository filed under an unrelated key is not read.
  write_session("misfiled", root, now - 1, false, "-unrelated-key");
  const auto before = transcript_opens();
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>("live"));
  EXPECT_TRUE(adapter.get_telemetry_for_session(repo.path(), std::nullopt).has_value());
  EXPECT_TRUE(adapter.get_telemetry_for_session(repo.path(), std::string("live")).has_value());
  EXPECT_EQ(transcript_opens() - before, 1U) << "one reading serves the search and telemetry";

  // A transcript that changed is read again.
  const auto path =
      env.claude_dir() / "projects" / kolvex::agents::claude_project_key(root) / "live.jsonl";
  env.dir().write(path,
                  env.dir().read(path) + claude_user("live", root, "u9", at(9), "more") + "\n");
  EXPECT_EQ(*telemetry_of(adapter, repo.path(), std::string("live")).find("messages"), Value(2));
  EXPECT_EQ(transcript_opens() - before, 2U);
}

TEST(ClaudeCodeDetection, SessionIdOrClaudeCodeMarker)
{
  AgentEnv env;
  const ClaudeCodeAdapter adapter;
  EXPECT_FALSE(adapter.is_active());
  env.env().set("CLAUDECODE", "0");
  EXPECT_FALSE(adapter.is_active());
  env.env().set("CLAUDECODE", "1");
  EXPECT_TRUE(adapter.is_active());
  env.env().unset("CLAUDECODE");
  env.env().set("CLAUDE_CODE_SESSION_ID", "abc");
  EXPECT_TRUE(adapter.is_active());
  EXPECT_EQ(adapter.name(), "claude-code");
  EXPECT_EQ(adapter.provider(), std::optional<std::string>("anthropic"));
}

// Ambient session ids end up in request headers and records: a huge or path-like
// one is ignored, whichever variable carries it.
TEST(AmbientSessionIds, ImplausibleIdsAreIgnored)
{
  AgentEnv env;
  const std::pair<std::string, bool> ids[] = {{"5f0c2a9e-3b1d-4c7a-9e2f-1a2b3c4d5e6f", true},
                                              {"rollout_2025.01-x", true},
                                              {"../../../../etc/passwd", false},
                                              {std::string(100'000, 'a'), false},
                                              {".hidden", false}};
  for (const char* variable : {"CLAUDE_CODE_SESSION_ID", "CODEX_THREAD_ID", "AGENT_SESSION_ID"}) {
    for (const auto& [id, kept] : ids) {
      SCOPED_TRACE(std::string(variable) + "=" + id.substr(0, 40));
      env.env().set(variable, id);
      const auto seen = std::string_view(variable).starts_with("CLAUDE")
                            ? ClaudeCodeAdapter{}.marker_session_id()
                        : std::string_view(variable).starts_with("CODEX")
                            ? kolvex::agents::CodexAdapter{}.marker_session_id()
                            : kolvex::agents::ambient_session_id(variable);
      EXPECT_EQ(seen, kept ? std::optional(id) : std::nullopt);
    }
    env.env().unset(variable);
  }
}

class ClaudeSessionsMentioning : public ::testing::Test {
protected:
  AgentEnv env;
  TempDir repo;
  const ClaudeCodeAdapter adapter;
  kolvex::contracts::CommitTimes times{{SHA_A, T0 + 60}, {SHA_B, T0 + 600}};

  [[nodiscard]] std::string key() const
  {
    return kolvex::agents::claude_project_key(repo.path().string());
  }

  // A session in the repository that ran `command` at T0 + `call_at`; its result
  // `output` is in the transcript unless nullopt.
  stdfs::path session_running(const std::string& id,
                              const std::string& command,
                              int call_at,
                              const std::optional<std::string>& output)
  {
    const auto root = repo.path().string();
    std::vector<std::string> lines{claude_user(id, root, id + "u1", at(0), "commit it"),
                                   claude_assistant(id,
                                                    root,
                                                    id + "a1",
                                                    at(call_at),
                                                    id + "m1",
                                                    id + "r1",
                                                    "claude-opus-4",
                                                    {1, 1, 0, 0},
                                                    {claude_bash(id + "t1", command)})};
    if (output) {
      lines.push_back(
          claude_user(id, root, id + "u2", at(call_at + 1), claude_result(id + "t1", *output)));
    }
    return env.write_claude(key(), id, lines);
  }

  stdfs::path session_saying(const std::string& id, const std::string& text, const std::string& cwd)
  {
    return env.write_claude(key(),
                            id,
                            {claude_user(id, cwd, id + "u1", at(0), "look"),
                             claude_assistant(id,
                                              cwd,
                                              id + "a1",
                                              at(1),
                                              id + "m1",
                                              id + "r1",
                                              "claude-opus-4",
                                              {1, 1, 0, 0},
                                              {claude_text(text)})});
  }

  kolvex::contracts::SessionMatches scan(std::optional<double> since = std::nullopt)
  {
    return adapter.sessions_mentioning(repo.path(), {SHA_B, SHA_A}, since, times);
  }
};

TEST_F(ClaudeSessionsMentioning, TheSessionThatPrintedTheCommitMadeItAndAMentionIsNoClaim)
{
  session_running("maker", "git add -A && git commit -m 'feat: x'", 30, "[main a1b2c3d] feat: x");
  session_saying("talker", "Reviewed commit " + SHA_A + " and " + SHA_B, repo.path().string());
  session_running("viewer", "git log -2", 40, "commit " + SHA_B + "\ncommit " + SHA_A);
  const auto matches = scan();
  EXPECT_EQ(matches.at(SHA_A), std::vector<std::string>{"maker"});
  EXPECT_EQ(matches.count(SHA_B), 0U) << "nobody printed B's summary: no claim, not a guess";
}

TEST_F(ClaudeSessionsMentioning, UnansweredCommitCallsInTheWindowAreTimingClaims)
{
  session_running("one", "git commit -am wip", 59, std::nullopt);
  session_running("two", "cd sub && git -c core.x=y commit -m done", 0, std::nullopt);
  const auto claims = adapter.commit_claims(repo.path(), {SHA_B, SHA_A}, std::nullopt, times);
  ASSERT_EQ(claims.count(SHA_A), 1U);
  auto of_a = claims.at(SHA_A);
  std::sort(of_a.begin(), of_a.end(), [](const auto& x, const auto& y) {
    return x.session_id < y.session_id;
  });
  EXPECT_EQ(of_a,
            (std::vector<kolvex::contracts::SessionClaim>{
                {"one", kolvex::contracts::ClaimKind::timing},
                {"two", kolvex::contracts::ClaimKind::timing}}));
  EXPECT_EQ(claims.count(SHA_B), 0U) << "each call made A, the first commit of its window";
}

TEST_F(ClaudeSessionsMentioning, AnsweredCommitCallsClaimOnlyWhatTheyPrinted)
{
  // A (at T0 + 60) was made by hand.  One session's own commit, B, printed its
  // summary a minute before; another session's `git commit` answered "nothing to
  // commit" a minute before A.  Neither claims A.
  times[SHA_B] = T0 + 1;
  session_running("own-commit", "git commit -m b", 0, "[main 0123456] b");
  session_running("clean", "git commit -m nothing", 0, "nothing to commit, working tree clean");
  session_running("late", "git commit -m late", 61, std::nullopt);  // after A's time
  session_running("ran-ls", "git log --oneline", 30, std::nullopt); // not a commit
  const auto matches = scan();
  EXPECT_EQ(matches.count(SHA_A), 0U);
  EXPECT_EQ(matches.at(SHA_B), std::vector<std::string>{"own-commit"});
}

TEST_F(ClaudeSessionsMentioning, CommitSummaryInAShellResultMakesTheCommit)
{
  times.clear(); // no times known: only git's own summary line can prove it
  session_running(
      "summary", "gc -m alias", 0, "[main " + SHA_B.substr(0, 9) + "] subject\n 1 file changed");
  session_running("root", "x", 0, "[main (root-commit) " + SHA_A.substr(0, 7) + "] first");
  const auto matches = scan();
  EXPECT_EQ(matches.at(SHA_B), std::vector<std::string>{"summary"});
  EXPECT_EQ(matches.at(SHA_A), std::vector<std::string>{"root"});
}

TEST_F(ClaudeSessionsMentioning, OtherRepositoriesDoNotCount)
{
  // Filed under this repository's key, but its lines record another directory.
  const std::string id = "elsewhere";
  env.write_claude(
      key(),
      id,
      {claude_assistant(id,
                        "/some/other/repo",
                        "a",
                        at(1),
                        "m",
                        "r",
                        "claude-opus-4",
                        {1, 1, 0, 0},
                        {claude_bash("t", "git commit -m x")}),
       claude_user(id, "/some/other/repo", "u", at(2), claude_result("t", "[main a1b2c3d] x"))});
  EXPECT_TRUE(scan().empty());
}

TEST_F(ClaudeSessionsMentioning, TranscriptsOlderThanSinceAreNotOpened)
{
  const auto fresh = session_running("fresh", "git commit", 5, "[main a1b2c3d] x");
  const auto stale = session_running("stale", "git commit", 5, "[main a1b2c3d] x");
  set_mtime(fresh, T0 + 100);
  set_mtime(stale, T0 - 1);
  const auto opens_before = transcript_opens();
  const auto matches = scan(T0);
  EXPECT_EQ(transcript_opens() - opens_before, 1U) << "only the fresh transcript may be opened";
  EXPECT_EQ(matches.at(SHA_A), std::vector<std::string>{"fresh"});
  // Without a floor both are read, and both printed it.
  EXPECT_EQ(scan().at(SHA_A), (std::vector<std::string>{"fresh", "stale"}));
}

TEST_F(ClaudeSessionsMentioning, SubAgentCommitsBelongToTheParentSession)
{
  const auto root = repo.path().string();
  env.dir().write(
      stdfs::path("claude/projects") / key() / "parent/subagents/agent-1.jsonl",
      claude_assistant("parent",
                       root,
                       "s1",
                       at(50),
                       "sm",
                       "sr",
                       "claude-haiku",
                       {1, 1, 0, 0},
                       {claude_bash("st", "git commit -m sub")}) +
          "\n" +
          claude_user("parent", root, "s2", at(51), claude_result("st", "[main a1b2c3d] sub")) +
          "\n");
  EXPECT_EQ(scan().at(SHA_A), std::vector<std::string>{"parent"});
}

TEST_F(ClaudeSessionsMentioning, NoShasOrNoStoreGiveAnEmptyAnswer)
{
  EXPECT_TRUE(adapter.sessions_mentioning(repo.path(), {}, std::nullopt, {}).empty());
  EXPECT_TRUE(scan().empty()); // no projects directory at all
}
