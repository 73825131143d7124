// `kolvex setup` where it must leave the team's hooks running as they did, where it
// cannot edit a hook itself, and where the PATH git gives hooks has no kolvex: end to
// end with git, the pre-commit framework, Python's tomllib and node's JSON.parse.
#include "support/e2e.hpp"

#include "core/json.hpp"
#include "core/process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>
#include <sstream>

namespace {

using kolvex::testing::run;
using kolvex::testing::run_kolvex;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

kolvex::core::process::Result setup(const TempRepo& repo)
{
  return run_kolvex({"setup", "--no-user-hooks", "--agent", "codex"}, repo.path());
}

void commit(const TempRepo& repo, const std::string& extra = "")
{
  const auto result =
      run({"sh", "-c", "echo x >> f && git add f && git commit -q -m c " + extra}, repo.path());
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
}

std::string log_of(const TempRepo& repo)
{
  return repo.read(kolvex::paths::log_jsonl(repo.path()));
}

// The lines setup asks to add for `hook`: those indented under its "Add to ..., for
// the <hook> hook:" line.
std::string lines_to_add(const std::string& said, const std::string& hook)
{
  std::istringstream in(said);
  std::string line;
  std::string lines;
  bool inside = false;
  while (std::getline(in, line)) {
    inside = line.starts_with("Add to ") ? line.ends_with("for the " + hook + " hook:")
                                         : inside && line.starts_with("    ");
    lines += inside && line.starts_with("    ") ? line.substr(4) + "\n" : "";
  }
  return lines;
}

class HookWiringE2E : public kolvex::testing::E2E {
protected:
  HookWiringE2E() : E2E({.hooks_path = false, .initial_commit = true}) {}
};

// A team hook without `stages:` runs at every hook type the framework runs: setup adds
// no type, and says what makes the next commit pass when it changed the configuration.
TEST_F(HookWiringE2E, PreCommitFrameworkTheTeamsHookRunsAsOftenAsBeforeSetup)
{
  if (!kolvex::core::process::find_program("pre-commit")) {
    GTEST_SKIP() << "pre-commit is not installed here: run scripts/bootstrap test";
  }
  const std::string config = "repos:\n- repo: local\n  hooks:\n  - id: count\n    name: count\n"
                             "    entry: sh -c 'echo ran >> ran.txt'\n    language: system\n"
                             "    always_run: true\n    pass_filenames: false\n";
  repo.write(".pre-commit-config.yaml", config);
  repo.git({"add", ".pre-commit-config.yaml"});
  // The team runs the framework at pre-commit, then also at post-commit.
  for (const std::string type : {"pre-commit", "post-commit"}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(run({"pre-commit", "install", "--hook-type", type}, repo.path()).exit_code, 0);
    const auto ran = [&] {
      const std::string text = repo.read("ran.txt");
      return std::count(text.begin(), text.end(), '\n');
    };
    const auto counted = [&](const std::string& extra) {
      const auto before = ran();
      commit(repo, extra);
      return ran() - before;
    };
    const auto per_commit = counted("");
    const auto per_amend = counted("--amend");
    const auto result = setup(repo);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_THAT(repo.read(".pre-commit-config.yaml"), Not(HasSubstr("default_install_hook_types")));
    if (type == "pre-commit") {
      EXPECT_EQ(repo.read(".pre-commit-config.yaml"), config);
      EXPECT_EQ(per_commit, 1);
      EXPECT_EQ(per_amend, 1);
    } else {
      EXPECT_THAT(result.err, HasSubstr("git add .pre-commit-config.yaml"));
      repo.git({"add", ".pre-commit-config.yaml"});
    }
    EXPECT_EQ(counted(""), per_commit);
    EXPECT_THAT(log_of(repo), HasSubstr(repo.git({"rev-parse", "HEAD"})));
    EXPECT_EQ(counted("--amend"), per_amend);
    EXPECT_THAT(log_of(repo), HasSubstr(repo.git({"rev-parse", "HEAD"})));
  }
}

// A file kolvex cannot edit: everything else is installed, the lines to add are
// printed, and once they are in, a rerun recognises them and exits 0.
TEST_F(HookWiringE2E, FilesKolvexCannotEditGetTheLinesAndARerunFinishes)
{
  const std::vector<std::string> managed{"post-commit", "post-rewrite", "post-merge"};
  const struct {
    const char* file;
    std::string start;
    std::vector<std::string> hooks; // those asked for by hand
    std::size_t cut;                // bytes of the start that the lines go before
    const char* sep;                // before each hook's lines
    const char* close;              // after the last
    std::vector<std::string> judge; // reads the finished file
  } cases[] = {
      {".git/hooks/post-commit",
       "#!/usr/bin/env python3\nopen('py-ran', 'a').write('ran\\n')\n",
       {"post-commit"},
       0,
       "",
       "",
       {"python3", "-c", "import ast, sys; ast.parse(open(sys.argv[1]).read())"}},
      {"lefthook.json",
       "{\"pre-commit\": {\"commands\": {\"a\": {\"run\": \"true\"}}}}\n",
       managed,
       2,
       ",\n",
       "}\n",
       {"node", "-e", "JSON.parse(require('fs').readFileSync(process.argv[1], 'utf8'))"}},
      {"lefthook.toml",
       "[pre-commit.commands.a]\nrun = \"true\"\n",
       managed,
       0,
       "\n",
       "",
       {"python3", "-c", "import sys, tomllib; tomllib.load(open(sys.argv[1], 'rb'))"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempRepo one;
    one.git({"config", "--unset", "core.hooksPath"});
    const auto file = one.write(c.file, c.start);
    ASSERT_EQ(::chmod(file.c_str(), 0755), 0);

    const auto first = setup(one);
    const std::string said = first.out + first.err;
    EXPECT_EQ(first.exit_code, 1) << said;
    EXPECT_EQ(one.read(c.file), c.start);
    EXPECT_TRUE(stdfs::exists(kolvex::paths::example_attestation(one.path())));
    std::string finished = c.start.substr(0, c.start.size() - c.cut);
    for (const auto& hook : c.hooks) {
      const std::string lines = lines_to_add(said, hook);
      ASSERT_THAT(lines, HasSubstr("kolvex")) << said;
      finished += c.sep + lines.substr(0, lines.size() - 1);
    }
    one.write(c.file, finished + "\n" + c.close);
    auto judge = c.judge;
    judge.push_back(file.string());
    const auto judged = run(judge, one.path());
    EXPECT_EQ(judged.exit_code, 0) << judged.err << one.read(c.file);

    const auto again = setup(one);
    EXPECT_EQ(again.exit_code, 0) << again.out << again.err;
    EXPECT_THAT(again.out, Not(HasSubstr("Add to ")));
    if (c.hooks.size() == 1) {
      EXPECT_THAT(one.read(".git/hooks/post-rewrite"), HasSubstr("kolvex sync --record-rewrite"));
      commit(one);
      EXPECT_THAT(log_of(one), HasSubstr(one.git({"rev-parse", "HEAD"})));
      EXPECT_EQ(one.read("py-ran"), "ran\n");
    }
  }
}

// `PATH=/usr/bin:/bin /path/to/kolvex setup`: a hook of this clone runs the kolvex that
// set it up; a hooks directory the team commits cannot name it, so setup warns, and
// status then reports the pending attestation no commit filed.
TEST_F(HookWiringE2E, HooksFindTheKolvexThatSetThemUpOffThePath)
{
  for (const std::string hooks : {".git/hooks", ".githooks"}) {
    SCOPED_TRACE(hooks);
    const bool found = hooks == ".git/hooks";
    TempRepo one;
    one.git({"config", "core.hooksPath", hooks});
    one.commit_file("README", "readme\n", "initial");
    one.git({"checkout", "-q", "-b", "feature/x"});
    env.set("PATH", "/usr/bin:/bin");
    const auto result = setup(one);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.err.find("kolvex is not on PATH") == std::string::npos, found) << result.err;

    one.write("f", "f\n");
    one.git({"add", "f"});
    (void)kolvex::testing::attest_staged(one, "attested off the path");
    const auto pending = kolvex::paths::commit_attestation(one.path());
    const ::utimbuf hour_ago{std::time(nullptr) - 3600, std::time(nullptr) - 3600};
    ASSERT_EQ(::utime(pending.c_str(), &hour_ago), 0);
    one.git({"commit", "-q", "-m", "change"});
    const std::string log = log_of(one);
    EXPECT_THAT(log, HasSubstr(one.git({"rev-parse", "HEAD"})));
    EXPECT_EQ(log.find("\"branch\": \"feature/x\"") != std::string::npos, found) << log;
    EXPECT_EQ(log.find("attested off the path") != std::string::npos, found) << log;

    EXPECT_EQ(run_kolvex({"status"}, one.path()).err.find("older than the last commit") !=
                  std::string::npos,
              !found);
    const auto json = kolvex::core::json::parse(run_kolvex({"status", "--json"}, one.path()).out);
    const auto* stale = json.get("stale_attestation");
    EXPECT_EQ(stale != nullptr ? stale->as_string() : "",
              found ? "" : ".kolvex/.commit-attestation.yaml");
  }
}

} // namespace
