#include "hooks/manager_configs.hpp"

#include "core/yaml.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace {

namespace configs = kolvex::hooks::manager_configs;
using ::testing::HasSubstr;

const std::string k_command = "command -v kolvex >/dev/null 2>&1 || exit 0; exec kolvex sync";

std::string lefthook(const std::string& text)
{
  return configs::add_to_lefthook(text, "post-commit", k_command).text;
}

std::string pre_commit(const std::string& text)
{
  return configs::add_to_pre_commit(text, "post-commit", k_command).text;
}

std::string refusal(const std::function<void()>& edit)
{
  try {
    edit();
  } catch (const configs::ConfigLayoutError& e) {
    return e.what();
  }
  return "";
}

TEST(LefthookConfig, TheCommandGoesWhereTheTeamKeepsItsOwn)
{
  // No section yet: a new one at the end, the rest byte for byte.
  const std::string plain =
      "# team hooks\npre-commit:\n  commands:\n    lint:\n      run: make lint\n";
  const std::string added = lefthook(plain);
  EXPECT_TRUE(added.starts_with(plain));
  EXPECT_THAT(added, HasSubstr("post-commit:\n  commands:\n    kolvex:\n      run: \""));

  // A section with commands, four-space indented: one more command in that style.
  const std::string four =
      "post-commit:\n    commands:\n        notify:\n            run: ./notify\n# trailing note\n";
  const auto with_commands = lefthook(four);
  EXPECT_THAT(with_commands,
              HasSubstr("            run: ./notify\n        # kolvex: records each commit"));
  EXPECT_THAT(with_commands, HasSubstr("        kolvex:\n          run: \""));
  EXPECT_TRUE(with_commands.ends_with("# trailing note\n"));

  // A section that lists jobs (lefthook 1.10+), items at the key's own indentation.
  const auto with_jobs =
      lefthook("post-commit:\n  parallel: true\n  jobs:\n  - name: notify\n    run: x\n");
  EXPECT_THAT(with_jobs, HasSubstr("  - name: notify\n    run: x\n  # kolvex"));
  EXPECT_THAT(with_jobs, HasSubstr("  - name: kolvex\n    run: \""));

  // An empty section gets its commands.
  EXPECT_THAT(lefthook("post-commit:\npre-push:\n  commands: {}\n"),
              HasSubstr("post-commit:\n  commands:\n"));

  // CRLF files keep their line ends.
  const auto crlf = lefthook("pre-commit:\r\n  commands:\r\n    a:\r\n      run: a\r\n");
  EXPECT_EQ(crlf.find("\n", crlf.find("post-commit:")) - 1,
            crlf.find("\r\n", crlf.find("post-commit:")));
}

TEST(LefthookConfig, IsIdempotentAndRefusesLayoutsItCannotEditSafely)
{
  const std::string once = lefthook("pre-commit:\n  commands:\n    a:\n      run: a\n");
  const auto again = configs::add_to_lefthook(once, "post-commit", k_command);
  EXPECT_FALSE(again.changed);
  EXPECT_EQ(again.text, once);
  // A command the user named kolvex counts as ours, whatever it runs.
  EXPECT_FALSE(configs::add_to_lefthook("post-commit:\n  jobs:\n    - name: kolvex\n      run: x\n",
                                        "post-commit",
                                        k_command)
                   .changed);

  const auto flow = refusal([] { (void)lefthook("post-commit: {commands: {a: {run: a}}}\n"); });
  EXPECT_THAT(flow, HasSubstr("by hand"));
  EXPECT_THAT(flow, HasSubstr("kolvex:"));
  EXPECT_THAT(refusal([] { (void)lefthook("- a list\n"); }), HasSubstr("not a YAML mapping"));
  EXPECT_THAT(refusal([] { (void)lefthook("a: [\n"); }), HasSubstr("not YAML"));
}

TEST(PreCommitConfig, ALocalHookAtThePostCommitStageAndNoHookTypeAdded)
{
  const std::string config = "repos:\n"
                             "-   repo: https://github.com/pre-commit/pre-commit-hooks\n"
                             "    rev: v4.5.0\n"
                             "    hooks:\n"
                             "    -   id: trailing-whitespace\n";
  const auto edit = configs::add_to_pre_commit(config, "post-commit", k_command);
  ASSERT_TRUE(edit.changed);
  EXPECT_TRUE(edit.text.starts_with(config));
  const auto loaded = kolvex::core::yaml::load(edit.text);
  const auto& repos = loaded.get("repos")->as_list();
  ASSERT_EQ(repos.size(), 2U);
  const auto& hook = repos[1].get("hooks")->as_list()[0];
  EXPECT_EQ(hook.get_string("id"), "kolvex-post-commit");
  EXPECT_EQ(hook.get_string("language"), "system");
  EXPECT_EQ(hook.get_string("entry"), "sh -c '" + k_command + "'");
  EXPECT_EQ(*hook.get("stages"), kolvex::core::Value(kolvex::core::List{"post-commit"}));
  EXPECT_EQ(*hook.get("always_run"), kolvex::core::Value(true));
  EXPECT_EQ(*hook.get("pass_filenames"), kolvex::core::Value(false));
  // A hook type added there would run the team's hooks without `stages:` at it too.
  EXPECT_EQ(loaded.get("default_install_hook_types"), nullptr);
  EXPECT_FALSE(configs::add_to_pre_commit(edit.text, "post-commit", k_command).changed);
}

TEST(PreCommitConfig, EveryListStyleOfReposAndTheHookTypesLeftAlone)
{
  EXPECT_THAT(pre_commit("repos: []\n"), HasSubstr("repos:\n# kolvex"));
  EXPECT_TRUE(pre_commit("default_install_hook_types: [pre-push]\nrepos: []\n")
                  .starts_with("default_install_hook_types: [pre-push]\nrepos:\n"));
  // The hook there already (an earlier setup's, hook types and all): nothing changes.
  const std::string has_hook = "repos:\n- repo: local\n  hooks:\n  - id: kolvex-post-commit\n"
                               "    name: k\n    entry: k\n    language: system\n";
  EXPECT_FALSE(configs::add_to_pre_commit(has_hook, "post-commit", k_command).changed);
  EXPECT_THAT(refusal([] { (void)pre_commit("repos: &r [{repo: local, hooks: []}]\n"); }),
              HasSubstr("by hand"));
}

// Each layout the entry goes into gives its text back byte for byte when the entry
// is taken out again; a second removal finds nothing.
struct RoundTrip {
  const char* name;
  bool lefthook;
  std::string text;
};

class ConfigRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(ConfigRoundTrip, RemovingTheEntryGivesTheTextBack)
{
  const auto& c = GetParam();
  const auto add = c.lefthook ? configs::add_to_lefthook : configs::add_to_pre_commit;
  const auto remove = c.lefthook ? configs::remove_from_lefthook : configs::remove_from_pre_commit;
  const auto added = add(c.text, "post-commit", k_command);
  ASSERT_TRUE(added.changed);
  const auto removed = remove(added.text, "post-commit", k_command);
  EXPECT_TRUE(removed.changed);
  EXPECT_EQ(removed.text, c.text);
  EXPECT_FALSE(remove(c.text, "post-commit", k_command).changed);
}

INSTANTIATE_TEST_SUITE_P(
    ManagerConfigs,
    ConfigRoundTrip,
    ::testing::Values(
        RoundTrip{"LefthookNewSection",
                  true,
                  "# team hooks\npre-commit:\n  commands:\n    lint:\n      run: make lint\n"},
        RoundTrip{"LefthookCommandsFourSpaces",
                  true,
                  "post-commit:\n    commands:\n        notify:\n            run: ./notify\n"
                  "# trailing note\n"},
        RoundTrip{"LefthookJobs",
                  true,
                  "post-commit:\n  parallel: true\n  jobs:\n  - name: notify\n    run: x\n"},
        RoundTrip{"LefthookEmptySection", true, "post-commit:\npre-push:\n  commands: {}\n"},
        RoundTrip{"LefthookCrlf", true, "pre-commit:\r\n  commands:\r\n    a:\r\n      run: a\r\n"},
        RoundTrip{"PreCommitRepos",
                  false,
                  "repos:\n-   repo: https://github.com/pre-commit/pre-commit-hooks\n"
                  "    rev: v4.5.0\n    hooks:\n    -   id: trailing-whitespace\n"},
        RoundTrip{
            "PreCommitEmptyRepos", false, "default_install_hook_types: [pre-push]\nrepos: []\n"},
        RoundTrip{"PreCommitNoRepos", false, "minimum_pre_commit_version: '3.0'\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// An entry the user changed is theirs to take out: refused, never half removed.
TEST(ManagerConfigs, AnEntryTheUserChangedIsRefused)
{
  std::string changed = lefthook("pre-commit:\n  commands:\n    a:\n      run: a\n");
  changed.replace(changed.find("exec kolvex"), 11, "exec /opt/kolvex");
  EXPECT_THAT(
      refusal([&] { (void)configs::remove_from_lefthook(changed, "post-commit", k_command); }),
      HasSubstr("by hand"));
}

} // namespace
