// The post-tool row end to end: the built kolvex run the way Claude Code runs its
// user-level PostToolUse hook, after a real `git commit` made in the session's
// environment, with the payload on stdin.
#include "core/fs.hpp"
#include "core/json.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

namespace kolvex::testing {
namespace {

using core::Value;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

const std::string k_session = "7d1c9a52-3f0c-4e8b-9a61-2b5d8e4f1c03";

class HookRowE2E : public SetUpRepoTest {
protected:
  void SetUp() override
  {
    SetUpRepoTest::SetUp();
    // The session's own transcript, where the adapter reads model and tokens.
    write_claude_response(k_session, "claude-opus-4-7", {1200, 340, 0, 0});
  }

  // The environment Claude Code gives its tool subprocesses.
  void in_session()
  {
    env.set("CLAUDECODE", "1");
    env.set("CLAUDE_CODE_ENTRYPOINT", "cli");
    env.set("CLAUDE_CODE_SESSION_ID", k_session);
  }

  // The repository's git hooks no longer run kolvex (another tool owns them), so the
  // row is the trigger that sees the commit first.
  void without_git_hook() const { stdfs::remove(repo.path() / ".git/hooks/post-commit"); }

  [[nodiscard]] std::string payload(const std::string& command,
                                    const std::string& cwd_field = "") const
  {
    const std::string cwd = cwd_field.empty() ? repo.path().string() : cwd_field;
    return core::json::dump(
        Value(core::Map{{"session_id", k_session},
                        {"transcript_path", "/nonexistent/" + k_session + ".jsonl"},
                        {"cwd", cwd},
                        {"permission_mode", "default"},
                        {"hook_event_name", "PostToolUse"},
                        {"tool_name", "Bash"},
                        {"tool_input", core::Map{{"command", command}, {"description", "Commit"}}},
                        {"tool_response",
                         core::Map{{"stdout", "[main 1234567] fix\n 1 file changed"},
                                   {"stderr", ""},
                                   {"interrupted", false},
                                   {"isImage", false}}},
                        {"tool_use_id", "toolu_01"}}));
  }

  // The row as registered by `kolvex setup`.
  [[nodiscard]] core::process::Result row(const std::string& input) const
  {
    return run_kolvex(
        {"attest", "add", "--from-hook", "--agent", "claude-code", "--user"}, repo.path(), input);
  }

  [[nodiscard]] std::size_t uploaded(const DevServer& server) const
  {
    return server.attestations().size();
  }

  // Signs in, and lets a first sync create and link project 1.
  void link_to(const DevServer& server)
  {
    sign_in(server);
    const auto sync = run_kolvex({"sync"}, repo.path());
    ASSERT_EQ(sync.exit_code, 0) << sync.out << sync.err;
  }
};

TEST_F(HookRowE2E, DrivenLikeClaudeCodeTheCommitIsRecordedOnceForThatSession)
{
  DevServer server;
  link_to(server);
  const std::size_t before = uploaded(server);
  in_session();
  const auto sha = repo.commit_file("fix.txt", "fixed\n", "fix: the bug"); // post-commit hook runs
  const auto result = row(payload("git add fix.txt && git commit -m 'fix: the bug'"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  // The git hook recorded it first; the row still uploads it and tells the agent.
  EXPECT_THAT(result.out,
              HasSubstr("recorded commit " + sha.substr(0, 7) + " without an attestation"));
  const auto records = records_of(sha);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(*records[0].get_string("agent"), "claude-code");
  EXPECT_EQ(*records[0].get_string("agent_session_id"), k_session);
  EXPECT_EQ(*records[0].get("synced"), Value(true));
  EXPECT_EQ(uploaded(server), before + 1);
  EXPECT_THAT(archive_of(repo, sha), HasSubstr("claude-opus-4-7"));

  EXPECT_EQ(row(payload("git commit -m 'fix: the bug'")).out, "") << "a second row speaks again";
  // A commit the git hook recorded with its attestation is sent without a word.
  const auto attested = attested_commit(repo, "feature.txt", "new\n", "Added the feature");
  EXPECT_EQ(row(payload("git commit -m 'feat: Added the feature'")).out, "");
  EXPECT_EQ(*records_of(attested)[0].get("synced"), Value(true));
  EXPECT_EQ(uploaded(server), before + 2);
}

TEST_F(HookRowE2E, OnlyACommitThisCallMadeIsSpokenForAndOnlyOnce)
{
  DevServer server;
  link_to(server);
  const std::size_t before = uploaded(server);
  // A person's commit, recorded by the git hook outside any agent session.
  const auto person = repo.commit_file("mine.txt", "mine\n", "fix: by hand");
  in_session();
  const auto diff = row(payload("git diff HEAD~1  # the last commit"));
  EXPECT_EQ(diff.out, "") << "nudged for " << person;
  EXPECT_EQ(uploaded(server), before);

  const auto a = repo.commit_file("a2.txt", "a\n", "feat: a");
  EXPECT_THAT(row(payload("git commit -m 'feat: a'")).out, HasSubstr(a.substr(0, 7)));
  const auto b = repo.commit_file("b2.txt", "b\n", "feat: b");
  EXPECT_THAT(row(payload("git commit -m 'feat: b'")).out, HasSubstr(b.substr(0, 7)));
  repo.git({"checkout", "-q", a});
  EXPECT_EQ(row(payload("git checkout " + a + "  # back to that commit")).out, "");
}

TEST_F(HookRowE2E, FirstToSeeTheCommitItRecordsNudgesOnceAndUploads)
{
  DevServer server;
  link_to(server);
  const std::size_t before = uploaded(server);
  without_git_hook();
  in_session();
  const auto sha = repo.commit_file("fix.txt", "fixed\n", "fix: the bug");

  const auto first = row(payload("git commit -m 'fix: the bug'"));
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(first.err, "");
  ASSERT_FALSE(first.out.empty());
  EXPECT_EQ(first.out.find('\n'), first.out.size() - 1); // one line
  const Value output = core::json::parse(first.out);
  const auto context = *output.get("hookSpecificOutput")->get_string("additionalContext");
  EXPECT_EQ(*output.get("hookSpecificOutput")->get_string("hookEventName"), "PostToolUse");
  EXPECT_THAT(context,
              HasSubstr("recorded commit " + sha.substr(0, 7) + " without an attestation"));
  EXPECT_THAT(context, HasSubstr("`kolvex attest add --commit " + sha.substr(0, 7) + "`"));

  auto records = records_of(sha);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(*records[0].get_string("agent_session_id"), k_session);
  EXPECT_EQ(*records[0].get("synced"), Value(true)); // the upload reached the server
  EXPECT_EQ(uploaded(server), before + 1);
  EXPECT_THAT(server.log(), HasSubstr("/attestations"));

  // The harness fires again for the same commit: nothing more.
  const auto second = row(payload("git commit -m 'fix: the bug'"));
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(records_of(sha).size(), 1U);
  EXPECT_EQ(uploaded(server), before + 1);
}

TEST_F(HookRowE2E, AnAttestedCommitIsUploadedWithoutAWord)
{
  DevServer server;
  link_to(server);
  const std::size_t before = uploaded(server);
  without_git_hook();
  in_session();
  const auto sha = attested_commit(repo, "feature.txt", "new\n", "Added the feature");
  const auto result = row(payload("git commit -m 'feat: Added the feature'"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(archive_of(repo, sha), HasSubstr("summary: Added the feature"));
  EXPECT_EQ(uploaded(server), before + 1);
}

TEST_F(HookRowE2E, SlowServerIsCutAtTheUploadBudget)
{
  DevServer server({.args = {"--delay", "attestations=10000"}});
  sign_in(server);
  ASSERT_EQ(run_kolvex({"setup", "project", "1"}, repo.path()).exit_code, 0);
  without_git_hook();
  const auto sha = repo.commit_file("fix.txt", "fixed\n", "fix: the bug");

  const auto start = Clock::now();
  const auto result = row(payload("git commit -m fix"));
  const auto spent = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(result.exit_code, 0);
  // The server answers after 10 s, a retry after 20 s: returning well before that
  // means the budget cut the upload.  It did try: the budget is 5 s.
  EXPECT_LT(spent, 9.0);
  EXPECT_GE(spent, 4.0);
  EXPECT_THAT(result.out, HasSubstr(sha.substr(0, 7))); // the nudge still comes
  const auto records = records_of(sha);
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(*records[0].get("synced"), Value(false)); // kept for the next sync
}

TEST_F(HookRowE2E, BadPayloadsNeitherCrashNorSpeak)
{
  without_git_hook();
  repo.commit_file("fix.txt", "fixed\n", "fix: the bug");
  const std::string whole = payload("git commit -m x");
  TempDir outside;
  const std::vector<std::string> inputs{
      "",
      "not json at all",
      whole.substr(0, whole.size() / 2), // cut short
      "[\"Bash\", \"git commit\"]",
      R"({"tool_name": 5, "tool_input": {"command": "git commit"}})",
      R"({"tool_name": "Bash", "tool_input": {"command": 42}, "cwd": []})",
      payload("echo " + std::string(1'000'000, 'x')),
      payload("git commit -m x", outside.path().string()),
      std::string(200'000, '['),
  };
  for (const auto& input : inputs) {
    const auto before = stdfs::exists(paths::log_jsonl(repo.path())) ? log_lines(repo).size() : 0;
    const auto result = row(input);
    EXPECT_EQ(result.exit_code, 0) << input.substr(0, 80);
    EXPECT_EQ(result.out, "") << input.substr(0, 80);
    EXPECT_EQ(result.err, "") << input.substr(0, 80);
    EXPECT_EQ(log_lines(repo).size(), before) << input.substr(0, 80);
  }
  EXPECT_TRUE(stdfs::is_empty(outside.path()));

  // Wrong types where the row can do without the field: a "cwd" that is no text
  // means the row's own directory, a "tool_response" that is no object says nothing.
  const auto wrong_types = run_kolvex({"attest", "add", "--from-hook"},
                                      repo.path() / ".kolvex",
                                      R"({"tool_name": "Bash", "tool_input": {"command": )"
                                      R"("git commit"}, "tool_response": 7, "cwd": 3})");
  EXPECT_EQ(wrong_types.exit_code, 0);
  EXPECT_THAT(wrong_types.out, HasSubstr("without an attestation"));

  // A 1 MB command that is a commit is read whole and acted on.
  repo.commit_file("more.txt", "more\n", "more");
  const auto huge = row(payload("git commit -m '" + std::string(1'000'000, 'y') + "'"));
  EXPECT_EQ(huge.exit_code, 0);
  EXPECT_THAT(huge.out, HasSubstr("without an attestation"));
}

TEST_F(HookRowE2E, WithoutACwdTheRowStartsFromItsOwnDirectory)
{
  without_git_hook();
  const auto sha = repo.commit_file("fix.txt", "fixed\n", "fix: the bug");
  stdfs::create_directories(repo.path() / "src/deep");
  const auto result = run_kolvex({"attest", "add", "--from-hook", "--agent", "claude-code"},
                                 repo.path() / "src/deep",
                                 R"({"session_id": ")" + k_session +
                                     R"(", "tool_name": "Bash", "tool_input": {"command": )"
                                     R"("git -C ../.. commit -m fix"}})");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out, HasSubstr(sha.substr(0, 7)));
  EXPECT_EQ(records_of(sha).size(), 1U);
}

// Runs the row with a stdin pipe that is never closed; `input` is written first.
// Returns the exit status and stdout; fails the test past `limit`.
std::pair<int, std::string>
row_with_open_stdin(const stdfs::path& cwd, const std::string& input, std::chrono::seconds limit)
{
  int in[2];
  int out[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<std::string> argv{KOLVEX_BIN, "attest", "add", "--from-hook", "--user"};
  std::vector<char*> args;
  for (auto& arg : argv) {
    args.push_back(arg.data());
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, KOLVEX_BIN, &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  std::string captured;
  const auto deadline = Clock::now() + limit;
  int status = -1;
  for (;;) {
    pollfd ready{out[0], POLLIN, 0};
    if (::poll(&ready, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n > 0) {
        captured.append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      break;
    }
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "the row was still waiting for stdin after " << limit.count() << " s";
      break;
    }
  }
  for (char buffer[4096];;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    captured.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(in[1]);
  ::close(out[0]);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, captured};
}

TEST_F(HookRowE2E, StdinLeftOpenNeverHangsTheRow)
{
  without_git_hook();
  const auto sha = repo.commit_file("fix.txt", "fixed\n", "fix: the bug");
  // Nothing written: the row gives up quietly.
  const auto [silent_status, silent_out] =
      row_with_open_stdin(repo.path(), "", std::chrono::seconds(20));
  EXPECT_EQ(silent_status, 0);
  EXPECT_EQ(silent_out, "");
  EXPECT_TRUE(records_of(sha).empty());
  // A whole payload without the close: acted on once the writer goes quiet.
  const auto [status, out] =
      row_with_open_stdin(repo.path(), payload("git commit -m fix"), std::chrono::seconds(20));
  EXPECT_EQ(status, 0);
  EXPECT_THAT(out, HasSubstr(sha.substr(0, 7)));
}

TEST_F(HookRowE2E, OnlyAnUploadLoadsTheNetworkLibrary)
{
  without_git_hook();
  repo.commit_file("fix.txt", "fixed\n", "fix: the bug");
  env.set("LD_DEBUG", "libs");
  const auto other = row(payload("npm test"));
  const auto commit = row(payload("git commit -m fix")); // no credentials: no upload
  env.unset("LD_DEBUG");
  EXPECT_NE(other.err.find("librelaycore.so"), std::string::npos); // LD_DEBUG is heard
  for (const auto* result : {&other, &commit}) {
    EXPECT_EQ(result->err.find("libkolvex_http"), std::string::npos);
    EXPECT_EQ(result->err.find("libcurl"), std::string::npos);
  }
  EXPECT_THAT(commit.out, HasSubstr("without an attestation"));
}

} // namespace
} // namespace kolvex::testing
