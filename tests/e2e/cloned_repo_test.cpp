// A cloned repository is someone else's code: whatever it ships (committed, then
// cloned), `kolvex setup` and `kolvex sync` run none of its files, write nothing
// outside it, and hand no child process the user's API key.
#include "hooks/installer.hpp"
#include "services/relaycore/cache/platform_skills.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using kolvex::testing::run;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

const std::string k_key = "kx-secret-key-0123456789";

void executable(const stdfs::path& file)
{
  ASSERT_EQ(::chmod(file.c_str(), 0755), 0);
}

// Every entry under `dir` with its bytes: "untouched" is equality.
std::map<std::string, std::string> snapshot(const stdfs::path& dir)
{
  std::map<std::string, std::string> entries;
  for (const auto& entry : stdfs::recursive_directory_iterator(dir)) {
    entries[entry.path().string()] =
        entry.is_regular_file() ? kolvex::core::fs::read_bytes(entry.path()) : "dir";
  }
  return entries;
}

class ClonedRepoE2E : public kolvex::testing::E2E {
protected:
  ClonedRepoE2E()
      : E2E({.path = "/usr/bin:/bin",
             .skip_platform_skills = true,
             .env = {{"KOLVEX_API_KEY", k_key}}})
  {
  }

  // PATH: `first` (when given), then the built kolvex and the system's tools.
  void use_path(const std::string& first)
  {
    env.set("PATH",
            (first.empty() ? "" : first + ":") + kolvex::testing::kolvex_dir() + ":/usr/bin:/bin");
  }

  // Commits everything in `repo` (links as links) and clones it to `to`.
  static stdfs::path clone_of(const TempRepo& repo, const stdfs::path& to)
  {
    repo.write("README", "hello\n");
    repo.git({"add", "-f", "-A"});
    repo.git({"commit", "-q", "-m", "ship it"});
    const auto result = run({"git", "clone", "-q", repo.path().string(), to.string()}, "/");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    run({"git", "config", "user.name", "Dev"}, to);
    run({"git", "config", "user.email", "dev@example.com"}, to);
    return to;
  }
  stdfs::path cloned() { return clone_of(origin, work.path() / "clone"); }

  kolvex::core::process::Result setup(const stdfs::path& clone)
  {
    return kolvex::testing::run_kolvex({"setup", "--agent", "claude-code", "--no-user-hooks"},
                                       clone);
  }

  TempDir outside;
  TempDir work;
  const TempRepo& origin = repo;
};

} // namespace

// A committed node_modules/.bin/lefthook is never run, however PATH reaches it;
// setup edits lefthook.yml and names the command for the user.
TEST_F(ClonedRepoE2E, SetupNeverRunsAHookManagerFromTheRepository)
{
  struct Case {
    const char* name;
    std::function<std::string(const stdfs::path& clone)> path_entry;
  };
  const std::vector<Case> cases{
      {"not on PATH", [](const stdfs::path&) { return std::string(); }},
      {"PATH has a relative entry", [](const stdfs::path&) { return "node_modules/.bin"; }},
      {"PATH has the clone's own directory",
       [](const stdfs::path& clone) { return (clone / "node_modules/.bin").string(); }},
  };
  origin.write("lefthook.yml", "pre-commit:\n  commands:\n    lint:\n      run: 'true'\n");
  executable(origin.write("node_modules/.bin/lefthook",
                          "#!/bin/sh\necho ran >> " + (outside.path() / "ran").string() + "\n"));
  const stdfs::path clone = cloned();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    use_path(c.path_entry(clone));
    const auto result = setup(clone);
    EXPECT_FALSE(stdfs::exists(outside.path() / "ran")) << "the clone's lefthook ran";
    EXPECT_THAT(result.out + result.err, HasSubstr("Run `npx lefthook install`"));
    EXPECT_THAT(kolvex::core::fs::read_bytes(clone / "lefthook.yml"),
                HasSubstr("kolvex sync --record-commit"));
  }
}

// Links the clone ships lead setup (and sync's hook cleanup) nowhere outside it:
// the outside files stay byte-identical and the refusal names the link.
TEST_F(ClonedRepoE2E, TrackedLinksOutOfTheRepositoryAreRefused)
{
  const struct {
    const char* link; // shipped, pointing at `target` outside
    const char* target;
    const char* hooks_path; // the user's core.hooksPath, or nullptr
    bool cleanup;           // sync's hook cleanup rather than setup
  } cases[] = {
      {"lefthook.yml", "outside.yml", nullptr, false},
      {".config", "config", nullptr, false},
      {".pre-commit-config.yaml", "pre-commit.yaml", nullptr, false},
      {".husky/post-commit", "rc", ".husky/_", false},
      {".githooks/post-commit", "victim.sh", ".githooks", false},
      {".githooks", "hooks", ".githooks", false},
      {".githooks/pre-push", "victim.sh", ".githooks", true},
  };
  // A fake pre-commit on PATH shows whether setup went on to run it.
  TempDir bin;
  executable(bin.write("pre-commit", "#!/bin/sh\necho ran >> " + (bin.path() / "ran").string()));
  use_path(bin.path().string());
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    TempDir there;
    there.write("outside.yml", "pre-commit:\n  commands:\n    lint:\n      run: 'true'\n");
    there.write("config/lefthook.yml", "post-merge:\n  commands: {}\n");
    there.write("pre-commit.yaml", "repos: []\n");
    there.write("rc", "export PATH=$HOME/bin:$PATH\n");
    there.write("victim.sh", "#!/bin/sh\nentire hooks git pre-push\necho keep\n");
    there.write("hooks/post-commit", "#!/bin/sh\necho mine\n");
    TempRepo repo;
    repo.write(".husky/_/h", "");
    stdfs::create_directories((repo.path() / c.link).parent_path());
    stdfs::create_symlink(there.path() / c.target, repo.path() / c.link);
    const stdfs::path clone = clone_of(repo, work.path() / std::to_string(++n));
    if (c.hooks_path != nullptr) {
      run({"git", "config", "core.hooksPath", c.hooks_path}, clone);
    }
    if (std::string_view(c.link) == ".pre-commit-config.yaml") {
      // Setup edits the framework's configuration only for a hook type it runs.
      std::ofstream(clone / ".git/hooks/post-commit") << "# File generated by pre-commit\n";
    }
    const auto before = snapshot(there.path());
    if (c.cleanup) {
      EXPECT_TRUE(kolvex::hooks::installer::cleanup_entire(clone).empty());
    } else {
      const auto result = setup(clone);
      EXPECT_THAT(result.out + result.err, HasSubstr("refusing " + (clone / c.link).string()));
    }
    EXPECT_EQ(snapshot(there.path()), before);
    EXPECT_FALSE(stdfs::exists(bin.path() / "ran")) << "pre-commit ran";
  }
}

// The platform-skills install never takes the clone's node_modules/.bin/skills.
// Real npx, kept offline so that nothing is fetched: the install then fails, and
// what matters is what ran.
TEST_F(ClonedRepoE2E, PlatformSkillsNeverRunTheClonesSkillsBinary)
{
  if (!kolvex::core::process::find_program("npx")) {
    GTEST_SKIP() << "npx is not installed here";
  }
  origin.write("package.json", R"({"name": "widgets", "version": "1.0.0"})");
  executable(origin.write("node_modules/.bin/skills",
                          "#!/bin/sh\necho ran >> " + (outside.path() / "ran").string() + "\n"));
  const stdfs::path clone = cloned();
  env.unset("KOLVEX_SKIP_PLATFORM_SKILLS");
  env.set("npm_config_offline", "true");
  env.set("npm_config_cache", (home.path() / "npm-cache").string());
  env.set("npm_config_update_notifier", "false");
  EXPECT_FALSE(kolvex::services::relaycore::cache::install_platform_skills(clone));
  EXPECT_FALSE(stdfs::exists(outside.path() / "ran")) << "the clone's skills binary ran";
}

// No child process kolvex starts (git here, read through a wrapper first on PATH)
// sees the API key.
TEST_F(ClonedRepoE2E, ChildrenGetNoSecrets)
{
  TempDir bin;
  const stdfs::path seen = outside.path() / "git-env";
  executable(
      bin.write("git", "#!/bin/sh\nenv >> " + seen.string() + "\nexec /usr/bin/git \"$@\"\n"));
  const stdfs::path clone = cloned();
  use_path(bin.path().string());
  EXPECT_EQ(setup(clone).exit_code, 0);
  std::ofstream(clone / "b.txt") << "b\n";
  run({"/usr/bin/git", "add", "b.txt"}, clone);
  run({"/usr/bin/git", "commit", "-q", "-m", "b"}, clone);
  kolvex::testing::run_kolvex({"sync", "--record-commit"}, clone);

  const std::string environment = kolvex::core::fs::read_bytes(seen);
  EXPECT_THAT(environment, HasSubstr("KOLVEX_SKIP_PLATFORM_SKILLS=1")) << "the wrapper saw no env";
  EXPECT_EQ(environment.find(k_key), std::string::npos);
}

// A library the clone ships under a name kolvex links against is not loaded from
// the working directory.
TEST_F(ClonedRepoE2E, NoLibraryIsLoadedFromTheWorkingDirectory)
{
  const stdfs::path source = outside.write(
      "evil.c",
      "#include <stdio.h>\n__attribute__((constructor)) static void planted(void) {\n"
      "  FILE* f = fopen(\"" +
          (outside.path() / "loaded").string() + "\", \"w\"); if (f) fclose(f);\n}\n");
  for (const char* name :
       {"libsimdjson.so.14", "libnettle.so.8", "libkolvex_http.so", "librelaycore.so"}) {
    const auto built =
        run({"cc", "-shared", "-fPIC", "-o", (origin.path() / name).string(), source.string()},
            outside.path());
    ASSERT_EQ(built.exit_code, 0) << built.err;
  }
  const stdfs::path clone = cloned();
  ASSERT_TRUE(stdfs::exists(clone / "libsimdjson.so.14"));
  const auto version = kolvex::testing::run_kolvex({"--version"}, clone);
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_FALSE(stdfs::exists(outside.path() / "loaded")) << "a planted library ran";
}
