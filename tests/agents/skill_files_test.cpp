// Skill slugs and the files skills are written as: what the server sends becomes a
// file name only when it cannot climb, hide or name a path.
#include "agents/skill_files.hpp"

#include "core/yaml.hpp"

#include <gtest/gtest.h>

using kolvex::core::Map;
using kolvex::core::Value;
namespace skills = kolvex::agents::skills;

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
