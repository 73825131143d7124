#include "services/local_config.hpp"

#include "paths.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace shared = kolvex::services::shared;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;

TEST(LocalConfig, MissingIsEmptyAndSavedConfigReadsBack)
{
  TempDir root;
  EXPECT_FALSE(shared::local_config_exists(root.path()));
  EXPECT_TRUE(shared::load_local_config(root.path()).empty());

  Map config{{"installed_at", "2024-05-01T10:00:00Z"}, {"project_id", 42}};
  config["agents"] = kolvex::core::List{"claude-code", "codex"};
  shared::save_local_config(root.path(), config);
  EXPECT_TRUE(shared::local_config_exists(root.path()));
  EXPECT_EQ(root.read(".kolvex/.platform/config.yaml"),
            "installed_at: '2024-05-01T10:00:00Z'\nproject_id: 42\nagents:\n- claude-code\n- "
            "codex\n");
  EXPECT_EQ(Value(shared::load_local_config(root.path())), Value(config));
  // No temporary file is left behind.
  int files = 0;
  for ([[maybe_unused]] const auto& e :
       std::filesystem::directory_iterator(root.path() / ".kolvex/.platform")) {
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST(LocalConfig, LegacyFilesCountAsSetUpAndAreRead)
{
  TempDir yaml_root;
  yaml_root.write(".kolvex/config.yaml", "project_id: 7\n");
  EXPECT_TRUE(shared::local_config_exists(yaml_root.path()));
  EXPECT_EQ(shared::load_local_config(yaml_root.path()).find("project_id")->as_int(), 7);

  TempDir json_root;
  json_root.write(".kolvex/config.json", "{\"project_id\": 8}");
  EXPECT_TRUE(shared::local_config_exists(json_root.path()));
  EXPECT_EQ(shared::load_local_config(json_root.path()).find("project_id")->as_int(), 8);
}

TEST(LocalConfig, ACorruptConfigIsAnErrorNotAnEmptyMap)
{
  // Treating it as empty would let the next save wipe the user's settings.
  TempDir root;
  root.write(".kolvex/.platform/config.yaml", "project_id: [unclosed\n");
  EXPECT_THROW((void)shared::load_local_config(root.path()), shared::ConfigError);
  root.write(".kolvex/.platform/config.yaml", "- a list\n");
  EXPECT_THROW((void)shared::load_local_config(root.path()), shared::ConfigError);
}

TEST(Gitignore, AddsMissingEntriesOnceAndKeepsTheRest)
{
  TempDir root;
  root.write(".gitignore", "node_modules/\n  .kolvex/.platform/  \n*.o");
  auto added = shared::ensure_gitignore(root.path());
  EXPECT_EQ(added, std::vector<std::string>{".kolvex/.commit-attestation.yaml*"});
  EXPECT_EQ(root.read(".gitignore"),
            "node_modules/\n  .kolvex/.platform/  \n*.o\n.kolvex/.commit-attestation.yaml*\n");
  EXPECT_TRUE(shared::ensure_gitignore(root.path()).empty());

  struct stat st {};
  ASSERT_EQ(::stat((root.path() / ".gitignore").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644U);

  TempDir fresh;
  EXPECT_EQ(shared::ensure_gitignore(fresh.path()).size(), 2U);
  EXPECT_EQ(fresh.read(".gitignore"), ".kolvex/.platform/\n.kolvex/.commit-attestation.yaml*\n");
}

TEST(Gitignore, GitIgnoresEveryFileKolvexWritesBesideThePendingAttestation)
{
  kolvex::testing::TempRepo repo;
  (void)shared::ensure_gitignore(repo.path());
  for (const char* name : {".kolvex/.commit-attestation.yaml",
                           ".kolvex/.commit-attestation.yaml.rejected",
                           ".kolvex/.commit-attestation.yaml.k3J9x.tmp"}) {
    repo.write(name, "summary: s\n");
  }
  // What `git add -A` would commit.
  EXPECT_EQ(repo.git({"ls-files", "--others", "--exclude-standard", ".kolvex"}), "");
}

TEST(StripYamlDelimiters, RemovesOnlyTheOuterMarkers)
{
  EXPECT_EQ(shared::strip_yaml_delimiters("---\na: 1\n---\n"), "a: 1\n");
  EXPECT_EQ(shared::strip_yaml_delimiters("---\n---\n"), "");
  EXPECT_EQ(shared::strip_yaml_delimiters("a: 1\n"), "a: 1\n");
  EXPECT_EQ(shared::strip_yaml_delimiters("---\r\na: 1\r\n---\r\n"), "a: 1\r\n");
  EXPECT_EQ(shared::strip_yaml_delimiters("---\na: '---'\nb: 2\n"), "a: '---'\nb: 2\n");
  EXPECT_EQ(shared::strip_yaml_delimiters(""), "");
}
