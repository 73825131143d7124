// Output that never reached stdout (a full disk, /dev/full) is a failed command:
// a script reading `kolvex status --json` must not take a silent success for an
// answer.  Hooks are the exception: their stdout is the harness's, and a hook must
// never fail a commit or a session.
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;

class StdoutE2E : public kolvex::testing::E2E {};

struct Outcome {
  int exit_code = -1;
  std::string err;
};

// Runs the built kolvex with `args` in `cwd`, stdout on /dev/full.
Outcome run_into_a_full_disk(const std::vector<std::string>& args, const std::string& cwd)
{
  int err_pipe[2];
  if (::pipe(err_pipe) != 0) {
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int full = ::open("/dev/full", O_WRONLY);
    const int none = ::open("/dev/null", O_RDONLY);
    ::dup2(full, 1);
    ::dup2(none, 0);
    ::dup2(err_pipe[1], 2);
    ::close(err_pipe[0]);
    if (::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    std::vector<char*> argv{const_cast<char*>(KOLVEX_BIN)};
    for (const auto& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(KOLVEX_BIN, argv.data());
    ::_exit(127);
  }
  ::close(err_pipe[1]);
  Outcome outcome;
  char buffer[4096];
  for (ssize_t n; (n = ::read(err_pipe[0], buffer, sizeof buffer)) > 0;) {
    outcome.err.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(err_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

} // namespace

TEST_F(StdoutE2E, CommandsWhoseOutputIsLostFailAndSaySo)
{
  for (const std::vector<std::string>& args : {std::vector<std::string>{"status", "--json"},
                                               std::vector<std::string>{"status"},
                                               std::vector<std::string>{"attest", "--example"},
                                               std::vector<std::string>{"--help"}}) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    const Outcome outcome = run_into_a_full_disk(args, repo.path().string());
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_THAT(outcome.err, HasSubstr("cannot write to standard output: No space left on device"));
  }
}

TEST_F(StdoutE2E, HooksStaySilentAndSucceed)
{
  repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvex/.platform/config.yaml", "project_id: 42\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"sync", "--record-commit"},
        std::vector<std::string>{"session-start", "--agent", "claude-code"}}) {
    SCOPED_TRACE(args.front());
    const Outcome outcome = run_into_a_full_disk(args, repo.path().string());
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.err, "");
  }
}
