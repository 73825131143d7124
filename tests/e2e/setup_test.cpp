// `kolvex setup` end to end: the built binary in real temporary repositories.
#include "hooks/scripts.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <re2/re2.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

const std::string k_config = ".kolvex/.platform/config.yaml";

// Every file under `root` (outside .git, plus the hooks) with its content and
// modification time.
std::map<std::string, std::string> snapshot(const stdfs::path& root)
{
  std::map<std::string, std::string> entries;
  for (auto it = stdfs::recursive_directory_iterator(root);
       it != stdfs::recursive_directory_iterator();
       ++it) {
    const auto rel = it->path().lexically_relative(root).string();
    if (it->path().filename() == ".git") {
      it.disable_recursion_pending();
    }
    if (!it->is_regular_file()) {
      continue;
    }
    std::ifstream in(it->path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    entries[rel] =
        std::to_string(it->last_write_time().time_since_epoch().count()) + "\n" + content.str();
  }
  for (const auto& hook : stdfs::directory_iterator(root / ".git/hooks")) {
    entries[hook.path().filename().string()] =
        std::to_string(hook.last_write_time().time_since_epoch().count());
  }
  return entries;
}

class SetupE2E : public kolvex::testing::E2E {
protected:
  SetupE2E() : E2E({.kolvex_on_path = false}) {}

  [[nodiscard]] Map config() const
  {
    return kolvex::core::yaml::load(repo.read(k_config)).as_map();
  }
};

} // namespace

TEST_F(SetupE2E, SetsUpOnceThenChangesNothing)
{
  stdfs::create_directories(home.path() / ".codex");
  stdfs::create_directories(home.path() / "claude"); // $CLAUDE_CONFIG_DIR
  stdfs::create_directories(home.path() / ".codeium/windsurf");
  const auto first = kolvex::testing::run_kolvex({"setup"}, repo.path());
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.out,
            "Wrote .kolvex/.platform/config.yaml (agents: claude-code, codex, windsurf)\n"
            "Added to .gitignore: .kolvex/.platform/, .kolvex/.commit-attestation.yaml*\n"
            "Installed the git post-commit hook: .git/hooks/post-commit\n"
            "Installed the git post-rewrite hook: .git/hooks/post-rewrite\n"
            "Installed the git post-merge hook: .git/hooks/post-merge\n"
            "Wrote the example attestation: .kolvex/example-attestation.yaml\n"
            "Registered the session-start hook for claude-code: " +
                (home.path() / "claude/settings.json").string() +
                " (new file)\n"
                "Registered the post-tool hook for claude-code: " +
                (home.path() / "claude/settings.json").string() + "\n");
  EXPECT_EQ(first.err, "");

  const Map written = config();
  EXPECT_EQ(*written.find("agents"), Value(kolvex::core::List{"claude-code", "codex", "windsurf"}));
  EXPECT_TRUE(RE2::FullMatch(written.find("installed_at")->as_string(),
                             R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"));
  EXPECT_EQ(repo.read(".gitignore"), ".kolvex/.platform/\n.kolvex/.commit-attestation.yaml*\n");
  EXPECT_EQ(repo.read(".kolvex/example-attestation.yaml"),
            kolvex::hooks::scripts::example_attestation());
  EXPECT_NE(repo.read(".git/hooks/post-commit").find("kolvex sync --record-commit"),
            std::string::npos);
  EXPECT_NE(repo.read(".git/hooks/post-rewrite").find("kolvex sync --record-rewrite"),
            std::string::npos);
  EXPECT_NE(repo.read(".git/hooks/post-merge").find("kolvex sync --record-merge"),
            std::string::npos);

  const auto before = snapshot(repo.path());
  const auto second = kolvex::testing::run_kolvex({"setup"}, repo.path() / ".kolvex");
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(second.out,
            "Local configuration already set up: .kolvex/.platform/config.yaml (agents: "
            "claude-code, codex, windsurf)\n"
            ".gitignore already keeps kolvex's private files out of git\n"
            "Git post-commit hook already runs kolvex: .git/hooks/post-commit\n"
            "Git post-rewrite hook already runs kolvex: .git/hooks/post-rewrite\n"
            "Git post-merge hook already runs kolvex: .git/hooks/post-merge\n"
            "Example attestation already up to date: .kolvex/example-attestation.yaml\n"
            "Session-start hook for claude-code already registered: " +
                (home.path() / "claude/settings.json").string() +
                "\n"
                "Post-tool hook for claude-code already registered: " +
                (home.path() / "claude/settings.json").string() + "\n");
  EXPECT_EQ(snapshot(repo.path()), before);
}

TEST_F(SetupE2E, KeepsWhatTheConfigurationAlreadyHolds)
{
  repo.write(k_config, "project_id: 42\ninstalled_at: '2025-01-01T00:00:00Z'\nagents:\n- aider\n");
  repo.write(".gitignore", "build/\n.kolvex/.platform/");
  TempDir bin;
  bin.write("aider", "#!/bin/sh\n");
  ::chmod((bin.path() / "aider").c_str(), 0755);
  stdfs::create_directories(home.path() / ".gemini");
  env.set("PATH", bin.path().string() + ":/usr/bin:/bin");

  const auto result = kolvex::testing::run_kolvex({"setup"}, repo.path());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out,
              HasSubstr("Updated .kolvex/.platform/config.yaml (agents: aider, gemini-cli)"));
  EXPECT_EQ(
      repo.read(k_config),
      "project_id: 42\ninstalled_at: '2025-01-01T00:00:00Z'\nagents:\n- aider\n- gemini-cli\n");
  EXPECT_EQ(repo.read(".gitignore"),
            "build/\n.kolvex/.platform/\n.kolvex/.commit-attestation.yaml*\n");
}

TEST_F(SetupE2E, NamedAgentsAreNormalisedAndUnknownOnesRefused)
{
  stdfs::create_directories(home.path() / ".codex");
  const auto refused = kolvex::testing::run_kolvex({"setup", "--agent", "vim"}, repo.path());
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_THAT(refused.err, HasSubstr("unknown agent 'vim'"));
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));

  const auto named = kolvex::testing::run_kolvex(
      {"setup", "--agent", "Gemini", "--agent", "claude_code", "--agent", "gemini-cli"},
      repo.path());
  ASSERT_EQ(named.exit_code, 0) << named.err;
  EXPECT_EQ(*config().find("agents"), Value(kolvex::core::List{"gemini-cli", "claude-code"}));
}

TEST_F(SetupE2E, WithoutAnyHarnessItSaysSo)
{
  const auto result = kolvex::testing::run_kolvex({"setup"}, repo.path());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("(agents: none)"));
  EXPECT_THAT(result.err, HasSubstr("No agent harness found on this machine"));
  EXPECT_EQ(*config().find("agents"), Value(kolvex::core::List{}));
}

TEST_F(SetupE2E, OutsideARepositoryIsAnError)
{
  TempDir plain;
  const auto result = kolvex::testing::run_kolvex({"setup"}, plain.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err, "");
  EXPECT_TRUE(stdfs::is_empty(plain.path()));
}

TEST_F(SetupE2E, AnUnreadableConfigurationIsNotOverwritten)
{
  repo.write(k_config, "- not\n- a map\n");
  const auto result = kolvex::testing::run_kolvex({"setup"}, repo.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(repo.read(k_config), "- not\n- a map\n");
}
