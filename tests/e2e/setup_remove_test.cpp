// `kolvex setup --remove` and `--purge` end to end: a repository whose hooks are run
// by git itself, husky, lefthook or the pre-commit framework (the real tools, from
// `scripts/bootstrap test`), set up and synced against the local API server, then
// taken back.  Every file setup or sync touched must be exactly what it was, bytes
// and mode; the files kolvex created must be gone; only .kolvex/ may remain, and
// --purge takes that too.
#include "support/e2e.hpp"

#include "core/process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

using kolvex::testing::run;
using kolvex::testing::run_kolvex;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

const stdfs::path k_tools_bin = stdfs::path(KOLVEX_TOOLS_DIR) / "node_modules" / ".bin";

// A file as compared: its bytes and permission bits.
struct Shot {
  std::string bytes;
  unsigned mode = 0;
  bool operator==(const Shot&) const = default;
};
using Snapshot = std::map<std::string, Shot>;

Shot shot_of(const stdfs::path& file)
{
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  struct stat st {};
  EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
  return {bytes.str(), static_cast<unsigned>(st.st_mode & 07777)};
}

// One repository layout: how its hooks are run before kolvex comes.
struct Layout {
  const char* name;
  const char* tool; // the program it needs, or "" for git alone
  void (*prepare)(const TempRepo& repo);
};

void plain(const TempRepo& repo)
{
  // A hook of the team's own, which kolvex's block joins.
  const auto hook = repo.write(".git/hooks/post-commit", "#!/bin/sh\necho committed\n");
  stdfs::permissions(hook, stdfs::perms(0755));
}

void husky(const TempRepo& repo)
{
  ASSERT_EQ(run({"husky"}, repo.path()).exit_code, 0);
  repo.write(".husky/pre-commit", "echo lint\n");
}

void lefthook(const TempRepo& repo)
{
  repo.write("lefthook.yml",
             "# team hooks\npre-commit:\n  commands:\n    lint:\n      run: 'true'\n");
  ASSERT_EQ(run({"lefthook", "install"}, repo.path()).exit_code, 0);
}

void pre_commit(const TempRepo& repo)
{
  // The framework runs post-commit too, so kolvex's entry goes into its configuration.
  repo.write(".pre-commit-config.yaml",
             "default_install_hook_types: [pre-commit, post-commit]\n"
             "repos:\n"
             "-   repo: local\n"
             "    hooks:\n"
             "    -   id: lint\n"
             "        name: lint\n"
             "        entry: 'true'\n"
             "        language: system\n");
  ASSERT_EQ(run({"pre-commit", "install"}, repo.path()).exit_code, 0);
}

class SetupRemoveE2E : public kolvex::testing::E2E, public ::testing::WithParamInterface<Layout> {
protected:
  SetupRemoveE2E()
      : E2E({.path = k_tools_bin.string() + ":" + kolvex::testing::k_system_path,
             .hooks_path = false,
             .origin = "git@example.com:acme/widgets.git",
             .initial_commit = true,
             .skip_platform_skills = true})
  {
  }

  // Every file of the work tree and of .git/hooks, and the user's Claude Code settings.
  [[nodiscard]] Snapshot snapshot() const
  {
    Snapshot files;
    for (auto it = stdfs::recursive_directory_iterator(repo.path());
         it != stdfs::recursive_directory_iterator();
         ++it) {
      const stdfs::path rel = it->path().lexically_relative(repo.path());
      if (rel == ".git") {
        it.disable_recursion_pending();
        continue;
      }
      if (!it->is_directory()) {
        files[rel.string()] = shot_of(it->path());
      }
    }
    const stdfs::path hooks = repo.path() / ".git" / "hooks";
    for (const auto& entry : stdfs::directory_iterator(hooks)) {
      files[entry.path().lexically_relative(repo.path()).string()] = shot_of(entry.path());
    }
    const stdfs::path settings = home.path() / "claude" / "settings.json";
    if (stdfs::exists(settings)) {
      files["~/settings.json"] = shot_of(settings);
    }
    return files;
  }

  // `files` without what lies under .kolvex/.
  static Snapshot outside_records(Snapshot files)
  {
    std::erase_if(files, [](const auto& file) { return file.first.starts_with(".kolvex/"); });
    return files;
  }
};

TEST_P(SetupRemoveE2E, EveryFileComesBackAsItWas)
{
  const Layout& layout = GetParam();
  if (*layout.tool != '\0' && !kolvex::core::process::find_program(layout.tool)) {
    GTEST_SKIP() << layout.tool << " is not installed here: run scripts/bootstrap test";
  }
  layout.prepare(repo);
  // The user's own files, which setup and sync edit rather than create.
  repo.write("CLAUDE.md", "# Team notes\n\nBe kind to the build.\n");
  const auto mcp = repo.write(
      ".mcp.json", "{\n  \"mcpServers\": {\n    \"db\": {\"command\": \"pg\"}\n  }\n}\n");
  stdfs::permissions(mcp, stdfs::perms(0600));
  repo.write(".gitignore", "node_modules/\n");
  home.write("claude/settings.json", "{\n  \"theme\": \"dark\"\n}\n");
  const Snapshot before = snapshot();

  const auto setup =
      run_kolvex({"setup", "--agent", "claude-code", "--agent", "codex"}, repo.path());
  ASSERT_EQ(setup.exit_code, 0) << setup.out << setup.err;
  sign_in(devserver());
  const auto sync = run_kolvex({"sync"}, repo.path());
  ASSERT_EQ(sync.exit_code, 0) << sync.out << sync.err;
  // Setup and sync reached every kind of file: edited ones and created ones.
  EXPECT_THAT(repo.read("CLAUDE.md"), HasSubstr("kolvex:begin"));
  EXPECT_THAT(repo.read(".mcp.json"), HasSubstr("\"kolvex\""));
  EXPECT_THAT(repo.read(".codex/config.toml"), HasSubstr("mcp_servers"));
  EXPECT_THAT(repo.read("AGENTS.md"), HasSubstr("kolvex:begin"));
  EXPECT_THAT(repo.read(".gitignore"), HasSubstr(".kolvex/"));
  EXPECT_NE(outside_records(snapshot()), before);

  const auto removed = run_kolvex({"setup", "--remove"}, repo.path());
  ASSERT_EQ(removed.exit_code, 0) << removed.out << removed.err;
  EXPECT_THAT(removed.out + removed.err, HasSubstr("Updated CLAUDE.md"));
  EXPECT_THAT(removed.out + removed.err, HasSubstr("Removed AGENTS.md"));
  EXPECT_THAT(removed.out + removed.err, HasSubstr("Kept kolvex's records in .kolvex/"));
  const Snapshot after = snapshot();
  EXPECT_EQ(outside_records(after), before);
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex"));
  // The private records kept stay out of git without the .gitignore lines.
  EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all", ".kolvex/.platform"}), "");

  // A second removal finds nothing to do.
  const auto again = run_kolvex({"setup", "--remove"}, repo.path());
  EXPECT_EQ(again.exit_code, 0) << again.out << again.err;
  EXPECT_EQ(snapshot(), after);

  const auto purged = run_kolvex({"setup", "--purge"}, repo.path());
  ASSERT_EQ(purged.exit_code, 0) << purged.out << purged.err;
  EXPECT_THAT(purged.out + purged.err, HasSubstr("Removed .kolvex/"));
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Layouts,
                         SetupRemoveE2E,
                         ::testing::Values(Layout{"Plain", "", plain},
                                           Layout{"Husky", "husky", husky},
                                           Layout{"Lefthook", "lefthook", lefthook},
                                           Layout{"PreCommit", "pre-commit", pre_commit}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
