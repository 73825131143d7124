// Skills as files: slugs that cannot climb, hide or name a path, the text each
// harness reads, and the folders kolvex writes them into without ever replacing or
// removing a file it did not write.
#include "agents/skills.hpp"

#include "agents/registry.hpp"
#include "core/fs.hpp"
#include "core/yaml.hpp"
#include "support/agent_env.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;
namespace skills = kolvex::agents::skills;
namespace stdfs = std::filesystem;

TEST(SkillSlug, OnlyPlainNamesPass)
{
  for (const char* safe : {"review", "code-review", "a", "v1.2_x", "Mixed-Case9"}) {
    EXPECT_EQ(skills::validate_slug(Value(safe), "skill"), safe);
  }
  EXPECT_EQ(skills::validate_slug(Value(std::string(100, 'a')), "skill").size(), 100U);
  for (const std::string& unsafe : std::vector<std::string>{"",
                                                            "..",
                                                            ".",
                                                            "../../etc",
                                                            "/tmp/x",
                                                            "a/b",
                                                            ".hidden",
                                                            "-flag",
                                                            "_x",
                                                            "a b",
                                                            "a\\b",
                                                            "x\ny",
                                                            "caf\xc3\xa9",
                                                            std::string(101, 'a'),
                                                            std::string("a\0b", 3)}) {
    EXPECT_THROW((void)skills::validate_slug(Value(unsafe), "skill"), skills::UnsafeSlugError)
        << unsafe;
  }
  EXPECT_THROW((void)skills::validate_slug(Value(7), "skill"), skills::UnsafeSlugError);
  EXPECT_THROW((void)skills::validate_slug(Value(), "skill"), skills::UnsafeSlugError);
  try {
    (void)skills::validate_slug(Value("../../etc"), "custom doc");
    FAIL();
  } catch (const skills::UnsafeSlugError& e) {
    EXPECT_STREQ(e.what(), "unsafe custom doc slug: '../../etc'");
  }
}

TEST(SkillSlug, FromSlugElseFromName)
{
  EXPECT_EQ(skills::extract_slug(Map{{"slug", "review"}, {"name", "Other"}}), "review");
  EXPECT_EQ(skills::extract_slug(Map{{"name", "  Code Review: Deep! "}}), "code-review-deep");
  EXPECT_EQ(skills::extract_slug(Map{{"slug", ""}, {"name", "Ship It"}}), "ship-it");
  EXPECT_THROW((void)skills::extract_slug(Map{{"slug", "../x"}, {"name", "fine"}}),
               skills::UnsafeSlugError);
  EXPECT_THROW((void)skills::extract_slug(Map{{"name", "!!!"}}), skills::UnsafeSlugError);
  EXPECT_THROW((void)skills::extract_slug(Map{}), skills::UnsafeSlugError);
  EXPECT_THROW((void)skills::extract_slug(Value("review")), skills::UnsafeSlugError);
}

TEST(SkillFile, EachFormatHasItsFrontMatterThenTheContent)
{
  const Value skill =
      Map{{"slug", "review"}, {"description", "Reviews a diff"}, {"content", "Do it.\n"}};
  EXPECT_EQ(skills::build_skill_file(skill, skills::SkillFormat::skill_md),
            "---\nname: review\ndescription: Reviews a diff\n---\n\nDo it.\n");
  EXPECT_EQ(skills::build_skill_file(skill, skills::SkillFormat::cursor_mdc),
            "---\ndescription: Reviews a diff\nalwaysApply: false\n---\n\nDo it.\n");
  EXPECT_EQ(skills::build_skill_file(skill, skills::SkillFormat::windsurf_md),
            "---\ntrigger: model_decision\ndescription: Reviews a diff\n---\n\nDo it.\n");
  // No description: the name, else the slug; content without a final newline gets one.
  EXPECT_EQ(skills::build_skill_file(Map{{"slug", "x"}, {"name", "Ex"}, {"content", "c"}},
                                     skills::SkillFormat::skill_md),
            "---\nname: x\ndescription: Ex\n---\n\nc\n");
  EXPECT_EQ(skills::build_skill_file(Map{{"slug", "x"}}, skills::SkillFormat::skill_md),
            "---\nname: x\ndescription: x\n---\n\n");
}

// A description that YAML would misread (a colon, a leading quote, "yes") is quoted,
// and the front matter reads back as the same text.
TEST(SkillFile, FrontMatterReadsBackExactly)
{
  for (const char* description : {"a: b", "'quoted", "yes", "- item", "#hash", "multi\nline"}) {
    const std::string text = skills::build_skill_file(
        Map{{"slug", "s"}, {"description", description}}, skills::SkillFormat::skill_md);
    const skills::FrontMatter parsed = skills::split_front_matter(text);
    ASSERT_TRUE(parsed.meta) << text;
    EXPECT_EQ(parsed.meta->find("description")->as_string(), description) << text;
  }
}

// Server content that already opens with front matter is folded in, not repeated.
TEST(SkillFile, ContentWithItsOwnFrontMatterIsNotDoubled)
{
  const Value skill = Map{{"slug", "deploy"},
                          {"content", "---\nname: deploy\ndescription: Ships\n---\n\nSteps.\n"}};
  EXPECT_EQ(skills::build_skill_file(skill, skills::SkillFormat::skill_md),
            "---\nname: deploy\ndescription: Ships\n---\n\nSteps.\n");
}

TEST(FrontMatter, SplitsOnlyAWellFormedLeadingBlock)
{
  auto parsed = skills::split_front_matter("---\r\nname: a\r\n---\r\n\r\nbody\r\n");
  ASSERT_TRUE(parsed.meta);
  EXPECT_EQ(parsed.meta->find("name")->as_string(), "a");
  EXPECT_EQ(parsed.body, "body\r\n");

  parsed = skills::split_front_matter("---\n---\nbody");
  ASSERT_TRUE(parsed.meta);
  EXPECT_TRUE(parsed.meta->empty());
  EXPECT_EQ(parsed.body, "body");

  for (const char* whole : {"no front matter\n",
                            "---\nname: a\nnever closed\n",
                            "---\n[not, a, map]\n---\nbody\n",
                            "---\n: : bad\n---\nbody\n",
                            "---",
                            " ---\nname: a\n---\n",
                            ""}) {
    parsed = skills::split_front_matter(whole);
    EXPECT_FALSE(parsed.meta) << whole;
    EXPECT_EQ(parsed.body, whole);
  }
}

namespace {

Value skill(const std::string& slug, const std::string& content)
{
  return Map{{"slug", slug}, {"description", slug + " skill"}, {"content", content}};
}

// A repository where `npx skills add` installed `slugs` from the platform package.
void install_platform(const TempDir& repo, const std::vector<std::string>& slugs)
{
  std::string entries;
  for (const auto& slug : slugs) {
    entries +=
        (entries.empty() ? "" : ", ") +
        ("\"" + slug + "\": {\"source\": \"kolvex/engineering\", \"sourceType\": \"github\"}");
    repo.write(".agents/skills/" + slug + "/SKILL.md",
               "---\nname: " + slug + "\ndescription: Platform " + slug + "\n---\n\nUse " + slug +
                   ".\n");
  }
  repo.write("skills-lock.json", "{\"version\": 1, \"skills\": {" + entries + "}}");
}

ino_t inode_of(const stdfs::path& p)
{
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_ino;
}

} // namespace

TEST(NpxSkills, LockManifestSaysWhichPlatformSkillsAreInstalled)
{
  TempDir repo;
  EXPECT_TRUE(skills::installed_platform_slugs(repo.path()).empty());
  repo.write("skills-lock.json",
             R"({"version": 1, "skills": {
                  "review": {"source": "kolvex/engineering"},
                  "ship": {"source": "https://github.com/Kolvex/Engineering.git"},
                  "other": {"source": "acme/skills"},
                  "../../etc": {"source": "kolvex/engineering"},
                  "nosource": {}}})");
  EXPECT_EQ(skills::installed_platform_slugs(repo.path()),
            (std::vector<std::string>{"review", "ship"}));
  repo.write("skills-lock.json",
             R"({"skills": [{"name": "tidy", "source": "kolvex/engineering/tidy"}]})");
  EXPECT_EQ(skills::installed_platform_slugs(repo.path()), std::vector<std::string>{"tidy"});
  for (const char* broken : {"not json", "[]", "{\"skills\": 3}", ""}) {
    repo.write("skills-lock.json", broken);
    EXPECT_TRUE(skills::installed_platform_slugs(repo.path()).empty()) << broken;
  }
}

// A custom skill another agent wrote into .agents/skills is not an npx install.
TEST(NpxSkills, ReadsOnlyTheSkillsTheManifestRecords)
{
  TempDir repo;
  repo.write(".agents/skills/custom/SKILL.md", "---\nname: custom\n---\nmine\n");
  EXPECT_TRUE(skills::read_platform_skills_from_npx(repo.path()).empty());
  install_platform(repo, {"review", "gone"});
  stdfs::remove_all(repo.path() / ".agents/skills/gone");
  const List read = skills::read_platform_skills_from_npx(repo.path());
  ASSERT_EQ(read.size(), 1U);
  EXPECT_EQ(read[0],
            Value(Map{{"slug", "review"},
                      {"name", "review"},
                      {"description", "Platform review"},
                      {"content", "Use review.\n"},
                      {"source", "platform"}}));
}

TEST(NpxSkills, ReachesAHarnessOnlyWhenEveryInstalledSkillIsInItsFolder)
{
  TempDir repo;
  EXPECT_FALSE(skills::npx_reaches(repo.path(), ".claude/skills"));
  install_platform(repo, {"a", "b"});
  EXPECT_TRUE(skills::npx_reaches(repo.path(), skills::k_shared_skills_dir));
  EXPECT_FALSE(skills::npx_reaches(repo.path(), ".claude/skills"));
  stdfs::create_directories(repo.path() / ".claude/skills");
  stdfs::create_directory_symlink("../../.agents/skills/a", repo.path() / ".claude/skills/a");
  EXPECT_FALSE(skills::npx_reaches(repo.path(), ".claude/skills"));
  stdfs::create_directory_symlink("../../.agents/skills/b", repo.path() / ".claude/skills/b");
  EXPECT_TRUE(skills::npx_reaches(repo.path(), ".claude/skills"));
}

// Written once, unchanged on the second run (same inode), retired skills removed,
// their folders with them.
TEST(SkillFolders, WritesChangesAndRetiresOnlyItsOwnFiles)
{
  TempDir repo;
  const stdfs::path dir = repo.path() / ".claude/skills";
  skills::write_skill_files(repo.path(),
                            ".claude/skills",
                            {skill("a", "A\n"), skill("b", "B\n")},
                            skills::SkillFormat::skill_md);
  EXPECT_EQ(repo.read(".claude/skills/a/SKILL.md"),
            "---\nname: a\ndescription: a skill\n---\n\nA\n");
  const ino_t a_inode = inode_of(dir / "a/SKILL.md");

  skills::write_skill_files(repo.path(),
                            ".claude/skills",
                            {skill("a", "A\n"), skill("c", "C\n")},
                            skills::SkillFormat::skill_md);
  EXPECT_EQ(inode_of(dir / "a/SKILL.md"), a_inode);
  EXPECT_FALSE(stdfs::exists(dir / "b"));
  EXPECT_TRUE(stdfs::exists(dir / "c/SKILL.md"));

  skills::write_skill_files(repo.path(), ".claude/skills", {}, skills::SkillFormat::skill_md);
  EXPECT_TRUE(stdfs::is_empty(dir));
}

// The user's own skill of the same slug, and a file they edited after kolvex wrote
// it, are neither replaced nor removed.
TEST(SkillFolders, LeavesTheUsersFilesAlone)
{
  TempDir repo;
  repo.write(".claude/skills/mine/SKILL.md", "my own\n");
  repo.write(".claude/skills/mine/notes.md", "notes\n");
  skills::write_skill_files(repo.path(),
                            ".claude/skills",
                            {skill("mine", "server\n"), skill("edited", "v1\n")},
                            skills::SkillFormat::skill_md);
  EXPECT_EQ(repo.read(".claude/skills/mine/SKILL.md"), "my own\n");
  repo.write(".claude/skills/edited/SKILL.md", "I changed this\n");

  skills::write_skill_files(
      repo.path(), ".claude/skills", {skill("edited", "v2\n")}, skills::SkillFormat::skill_md);
  EXPECT_EQ(repo.read(".claude/skills/edited/SKILL.md"), "I changed this\n");
  skills::write_skill_files(repo.path(), ".claude/skills", {}, skills::SkillFormat::skill_md);
  EXPECT_EQ(repo.read(".claude/skills/edited/SKILL.md"), "I changed this\n");
  EXPECT_EQ(repo.read(".claude/skills/mine/SKILL.md"), "my own\n");
  EXPECT_EQ(repo.read(".claude/skills/mine/notes.md"), "notes\n");
}

// npx links platform skills into .claude/skills; a custom skill of that slug is not
// written through the link into npx's folder, and an unsafe slug goes nowhere.
TEST(SkillFolders, NeverWritesThroughALinkOrAnUnsafeName)
{
  TempDir repo;
  TempDir outside;
  install_platform(repo, {"review"});
  const std::string platform_text = repo.read(".agents/skills/review/SKILL.md");
  stdfs::create_directories(repo.path() / ".claude/skills");
  stdfs::create_directory_symlink("../../.agents/skills/review",
                                  repo.path() / ".claude/skills/review");
  stdfs::create_directory_symlink(outside.path(), repo.path() / ".claude/skills/out");
  skills::write_skill_files(repo.path(),
                            ".claude/skills",
                            {skill("review", "custom\n"),
                             skill("out", "x\n"),
                             skill("../../etc", "x\n"),
                             skill("/tmp/x", "x\n"),
                             skill("ok", "fine\n")},
                            skills::SkillFormat::skill_md);
  EXPECT_EQ(repo.read(".agents/skills/review/SKILL.md"), platform_text);
  EXPECT_TRUE(stdfs::is_empty(outside.path()));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".claude/skills/ok/SKILL.md"));
  EXPECT_FALSE(stdfs::exists(repo.path() / "etc"));
}

// A tampered manifest cannot make kolvex remove anything outside the folder.
TEST(SkillFolders, ATamperedManifestRemovesNothingOutside)
{
  TempDir repo;
  repo.write("keep.md", "keep\n");
  repo.write(
      ".kolvex/.platform/skill-folders.json",
      R"({"version": 1, "folders": {".claude/skills": {"../../keep.md": "x", "/etc/hostname": "y"}}})");
  skills::write_skill_files(repo.path(), ".claude/skills", {}, skills::SkillFormat::skill_md);
  EXPECT_EQ(repo.read("keep.md"), "keep\n");
}

TEST(SkillFolders, EachAdapterWritesWhereItsHarnessReads)
{
  kolvex::testing::AgentEnv env;
  TempDir repo;
  const List list{skill("a", "A\n")};
  for (const auto& [agent, file] : std::vector<std::pair<std::string, std::string>>{
           {"claude-code", ".claude/skills/a/SKILL.md"},
           {"codex", ".agents/skills/a/SKILL.md"},
           {"gemini-cli", ".gemini/skills/a/SKILL.md"}}) {
    const auto* adapter = kolvex::agents::get_adapter_by_name(agent);
    ASSERT_NE(adapter, nullptr);
    adapter->write_skills(repo.path(), list);
    EXPECT_TRUE(stdfs::exists(repo.path() / file)) << agent;
    EXPECT_FALSE(adapter->npx_covers_skills(repo.path())) << agent;
  }
  // Codex reads .agents/skills itself: an npx install there covers it at once.
  install_platform(repo, {"p"});
  EXPECT_TRUE(kolvex::agents::get_adapter_by_name("codex")->npx_covers_skills(repo.path()));
  EXPECT_FALSE(kolvex::agents::get_adapter_by_name("claude-code")->npx_covers_skills(repo.path()));
}

namespace {

// What stands at <agent folder>/review before the project's skill `review` is
// written, and whether kolvex may replace it: only the npx installer's own entry
// (its folder in .agents/skills, a link to that folder, or a copy of it) makes way.
struct Occupant {
  const char* agent;
  const char* folder;
  const char* kind; // "npx-link", "npx-copy", "npx-folder", "user-folder", "user-link"
  bool replaced;
};

class ProjectSkillOverPlatform : public ::testing::TestWithParam<Occupant> {};

} // namespace

TEST_P(ProjectSkillOverPlatform, AProjectSkillReplacesOnlyThePlatformInstallsOwnEntry)
{
  const Occupant& row = GetParam();
  kolvex::testing::AgentEnv env;
  TempDir repo;
  install_platform(repo, {"review"});
  const std::string npx_text = repo.read(".agents/skills/review/SKILL.md");
  const std::string folder = row.folder;
  const stdfs::path entry = repo.path() / folder / "review";
  const std::string kind = row.kind;
  stdfs::create_directories(entry.parent_path());
  if (kind == "npx-link") {
    stdfs::create_directory_symlink("../../.agents/skills/review", entry);
  } else if (kind == "npx-copy") {
    repo.write(folder + "/review/SKILL.md", npx_text);
  } else if (kind == "user-folder") {
    repo.write(folder + "/review/SKILL.md", "my own review\n");
  } else if (kind == "user-link") {
    repo.write("mine/review/SKILL.md", "my own review\n");
    stdfs::create_directory_symlink("../../mine/review", entry);
  }
  const auto* adapter = kolvex::agents::get_adapter_by_name(row.agent);
  ASSERT_NE(adapter, nullptr);

  for (int sync = 0; sync < 2; ++sync) {
    ::testing::internal::CaptureStderr();
    adapter->write_skills(repo.path(), {skill("review", "project review\n")});
    const std::string said = ::testing::internal::GetCapturedStderr();
    const bool warned = said.find("Not replacing") != std::string::npos;
    EXPECT_EQ(warned, !row.replaced && sync == 0) << "sync " << sync << ": " << said;
  }

  const std::string now = repo.read(folder + "/review/SKILL.md");
  if (row.replaced) {
    EXPECT_FALSE(stdfs::is_symlink(entry));
    EXPECT_NE(now.find("project review"), std::string::npos) << now;
  } else {
    EXPECT_EQ(now, "my own review\n");
    EXPECT_EQ(stdfs::is_symlink(entry), kind == "user-link");
  }
  // Nothing was written through a link: npx's own folder changes only when it is
  // the agent's folder itself.
  if (folder != ".agents/skills") {
    EXPECT_EQ(repo.read(".agents/skills/review/SKILL.md"), npx_text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SkillFolders,
    ProjectSkillOverPlatform,
    ::testing::Values(Occupant{"claude-code", ".claude/skills", "npx-link", true},
                      Occupant{"claude-code", ".claude/skills", "npx-copy", true},
                      Occupant{"claude-code", ".claude/skills", "user-folder", false},
                      Occupant{"claude-code", ".claude/skills", "user-link", false},
                      Occupant{"gemini-cli", ".gemini/skills", "npx-link", true},
                      Occupant{"gemini-cli", ".gemini/skills", "npx-copy", true},
                      Occupant{"gemini-cli", ".gemini/skills", "user-folder", false},
                      Occupant{"codex", ".agents/skills", "npx-folder", true}));

// Once a project skill replaced npx's folder in .agents/skills, a copy of npx's
// version in another agent's folder is still known as the installer's.
TEST(SkillFolders, ACopyOfAReplacedPlatformSkillIsStillTheInstallers)
{
  kolvex::testing::AgentEnv env;
  TempDir repo;
  install_platform(repo, {"review"});
  repo.write(".claude/skills/review/SKILL.md", repo.read(".agents/skills/review/SKILL.md"));
  const List project{skill("review", "project review\n")};
  kolvex::agents::get_adapter_by_name("codex")->write_skills(repo.path(), project);
  kolvex::agents::get_adapter_by_name("claude-code")->write_skills(repo.path(), project);
  EXPECT_NE(repo.read(".claude/skills/review/SKILL.md").find("project review"), std::string::npos);
}
