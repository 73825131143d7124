// The kolvex block in agents' instruction files, and Cursor/Windsurf rules: the
// user's text around the block is kept byte for byte, and nothing changes when
// nothing changed.
#include "hooks/agent_guidance.hpp"

#include "services/local_config.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using kolvex::core::List;
using kolvex::core::Map;
using kolvex::testing::TempDir;
namespace guidance = kolvex::hooks::agent_guidance;
namespace stdfs = std::filesystem;

namespace {

struct stat status_of(const stdfs::path& p)
{
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st;
}

const std::string k_block =
    std::string(guidance::k_block_begin) + "\nnew\n" + std::string(guidance::k_block_end) + "\n";

} // namespace

TEST(MarkedBlock, ReplacedInPlaceWithEveryByteAroundKept)
{
  const std::string above = "# My project\r\n\nOwn rules \xff\xfe (not UTF-8)\n";
  const std::string below = "\n## Later\ntrailing without newline";
  const std::string old_block = std::string(guidance::k_block_begin) + "\nold\nlines\n" + "  " +
                                std::string(guidance::k_block_end) + "  \n";
  EXPECT_EQ(guidance::_rewrite_marked_block(above + old_block + below, k_block),
            above + k_block + below);
  // Only the first block is the block.
  EXPECT_EQ(guidance::_rewrite_marked_block(old_block + "x\n" + old_block, k_block),
            k_block + "x\n" + old_block);
}

TEST(MarkedBlock, AppendedAfterABlankLineWhenAbsent)
{
  EXPECT_EQ(guidance::_rewrite_marked_block("", k_block), k_block);
  EXPECT_EQ(guidance::_rewrite_marked_block("text\n", k_block), "text\n\n" + k_block);
  EXPECT_EQ(guidance::_rewrite_marked_block("text", k_block), "text\n\n" + k_block);
  EXPECT_EQ(guidance::_rewrite_marked_block("a\r\nb", k_block), "a\r\nb\r\n\r\n" + k_block);
  // A stray end line alone is no block.
  const std::string stray = std::string(guidance::k_block_end) + "\n";
  EXPECT_EQ(guidance::_rewrite_marked_block(stray, k_block), stray + "\n" + k_block);
}

TEST(MarkedBlock, AnOpenedBlockThatNeverClosesIsLeftAlone)
{
  EXPECT_FALSE(guidance::_rewrite_marked_block(
      "keep\n" + std::string(guidance::k_block_begin) + "\nuser text after a lost end\n", k_block));
}

// Markers count only as whole lines outside fenced code: a file that shows the
// markers in an example keeps the example, byte for byte; a byte-order mark is the
// file's and hides no marker; a second block is kept and counted.
struct MarkerCase {
  const char* name;
  std::string text;
  std::string expected;
  std::size_t duplicates;
};

class MarkerLines : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerLines, OnlyRealMarkersOpenAndCloseTheBlock)
{
  std::size_t duplicates = 99;
  EXPECT_EQ(guidance::_rewrite_marked_block(GetParam().text, k_block, &duplicates),
            GetParam().expected);
  EXPECT_EQ(duplicates, GetParam().duplicates);
}

const std::string k_begin(guidance::k_block_begin);
const std::string k_end(guidance::k_block_end);
const std::string k_old = k_begin + "\nold\n" + k_end + "\n";
const std::string k_example = "Our notes show the block:\n\n```markdown\n" + k_begin +
                              "\nuser example\n" + k_end + "\n```\n\nMore user text.\n";
const std::string k_tilde = "~~~~\n" + k_begin + "\n~~~\nstill code\n~~~~\n";

INSTANTIATE_TEST_SUITE_P(
    AgentFiles,
    MarkerLines,
    ::testing::Values(
        MarkerCase{"FencedExampleBeforeTheBlock",
                   k_example + k_old + "tail\n",
                   k_example + k_block + "tail\n",
                   0},
        MarkerCase{"FencedExampleOnly", k_example, k_example + "\n" + k_block, 0},
        MarkerCase{"TildeFenceClosedOnlyByALongEnoughFence", k_tilde + k_old, k_tilde + k_block, 0},
        MarkerCase{"IndentedFence",
                   "   ```\n" + k_begin + "\n   ```\n" + k_old,
                   "   ```\n" + k_begin + "\n   ```\n" + k_block,
                   0},
        MarkerCase{"FenceLeftOpenIsClosedBeforeTheBlock",
                   "notes\n```sh\n" + k_begin + "\n",
                   "notes\n```sh\n" + k_begin + "\n```\n\n" + k_block,
                   0},
        MarkerCase{"MarkerInsideASentence",
                   "See " + k_begin + " here\n" + k_old,
                   "See " + k_begin + " here\n" + k_block,
                   0},
        MarkerCase{"ByteOrderMarkBeforeTheBlock",
                   "\xEF\xBB\xBF" + k_old + "after\n",
                   "\xEF\xBB\xBF" + k_block + "after\n",
                   0},
        MarkerCase{"ByteOrderMarkWithoutABlock",
                   "\xEF\xBB\xBFnotes\r\n",
                   "\xEF\xBB\xBFnotes\r\n\r\n" + k_block,
                   0},
        MarkerCase{"TwoBlocksTheSecondKept",
                   k_old + "mine\n" + k_begin + "\nmy edit\n" + k_end + "\n",
                   k_block + "mine\n" + k_begin + "\nmy edit\n" + k_end + "\n",
                   1}),
    [](const auto& info) { return std::string(info.param.name); });

// Taking the block out gives back the file it was added to, byte for byte: a
// fenced example of the markers, a byte-order mark and CRLF lines are the user's.
TEST(MarkedBlock, RemovingTheAddedBlockGivesTheFileBack)
{
  for (const std::string& original : {std::string(),
                                      std::string("text\n"),
                                      std::string("a\r\nb\r\n"),
                                      k_example,
                                      std::string("\xEF\xBB\xBFnotes\r\n")}) {
    const auto added = guidance::_rewrite_marked_block(original, k_block);
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(guidance::_remove_marked_block(*added), original) << original;
    EXPECT_EQ(guidance::_remove_marked_block(original), std::nullopt) << original;
  }
  // Text the user put after the block stays; only the block's lines go.
  EXPECT_EQ(guidance::_remove_marked_block("mine\n\n" + k_old + "later\n"), "mine\n\nlater\n");
  // A block that never closes is not guessed at.
  EXPECT_EQ(guidance::_remove_marked_block(k_begin + "\nuser text\n"), std::nullopt);
}

TEST(GuidanceBlock, ListsSafeSkillsAndIsStable)
{
  const List skills{Map{{"slug", "review"}, {"description", "Reviews diffs\nsecond line"}},
                    Map{{"slug", "../etc"}, {"description", "unsafe"}},
                    Map{{"name", "Ship It"}}};
  const std::string block = guidance::_guidance_block("42", skills);
  EXPECT_TRUE(block.starts_with(std::string(guidance::k_block_begin) + "\n")) << block;
  EXPECT_TRUE(block.ends_with(std::string(guidance::k_block_end) + "\n")) << block;
  EXPECT_NE(block.find("(project 42)"), std::string::npos);
  EXPECT_NE(block.find(".kolvex/.platform/kolvexrules.yaml"), std::string::npos);
  EXPECT_NE(block.find("- `review`: Reviews diffs\n"), std::string::npos) << block;
  EXPECT_NE(block.find("- `ship-it`\n"), std::string::npos) << block;
  EXPECT_EQ(block.find("etc"), std::string::npos) << block;
  EXPECT_EQ(guidance::_guidance_block("42", skills), block);
  EXPECT_EQ(guidance::_guidance_block("42", std::nullopt).find("skills:"), std::string::npos);
  const std::string crlf = guidance::_guidance_block("42", skills, "\r\n");
  EXPECT_EQ(crlf.find("\n"), crlf.find("\r\n") + 1);
}

// A user's CLAUDE.md with text above and below the block keeps it byte for byte
// over three refreshes, and an unchanged refresh does not touch the file.
TEST(AgentGuidance, ThreeRewritesKeepTheUsersTextAndTheFileMode)
{
  TempDir repo;
  const std::string above = "# Team notes\n\nAlways run the linter.\n\n";
  const std::string below = "\n## Below the block\nKeep me.\n";
  repo.write("CLAUDE.md", above + guidance::_guidance_block("7", std::nullopt) + below);
  ::chmod((repo.path() / "CLAUDE.md").c_str(), 0664);

  EXPECT_TRUE(guidance::write_agent_guidance(repo.path(), "claude-code", "42"));
  const List skills{Map{{"slug", "review"}, {"description", "Reviews"}}};
  EXPECT_TRUE(guidance::write_agent_guidance(repo.path(), "Claude Code", "42", skills));
  const struct stat before = status_of(repo.path() / "CLAUDE.md");
  EXPECT_FALSE(guidance::write_agent_guidance(repo.path(), "claude", "42", skills));
  const struct stat after = status_of(repo.path() / "CLAUDE.md");
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 0777, 0664U);

  EXPECT_EQ(repo.read("CLAUDE.md"), above + guidance::_guidance_block("42", skills) + below);
}

TEST(AgentGuidance, EachAgentItsFile)
{
  TempDir repo;
  EXPECT_TRUE(guidance::write_agent_guidance(repo.path(), "codex", "1"));
  EXPECT_FALSE(guidance::write_agent_guidance(repo.path(), "cursor", "1")); // same AGENTS.md
  EXPECT_TRUE(guidance::write_agent_guidance(repo.path(), "gemini-cli", "1"));
  EXPECT_FALSE(guidance::write_agent_guidance(repo.path(), "windsurf", "1"));
  EXPECT_FALSE(guidance::write_agent_guidance(repo.path(), "unknown-agent", "1"));
  EXPECT_TRUE(stdfs::exists(repo.path() / "AGENTS.md"));
  EXPECT_TRUE(stdfs::exists(repo.path() / "GEMINI.md"));
  EXPECT_FALSE(stdfs::exists(repo.path() / "CLAUDE.md"));

  // aider: the Markdown file its configuration reads.
  EXPECT_FALSE(guidance::instruction_file(repo.path(), "aider"));
  repo.write(".aider.conf.yml", "read: [notes.txt, ../../outside.md, CONVENTIONS.md]\n");
  EXPECT_EQ(guidance::instruction_file(repo.path(), "aider"), stdfs::path("CONVENTIONS.md"));
  EXPECT_TRUE(guidance::write_agent_guidance(repo.path(), "aider", "1"));
  EXPECT_TRUE(stdfs::exists(repo.path() / "CONVENTIONS.md"));
}

// CLAUDE.md linked to AGENTS.md gets the block in AGENTS.md; a link out of the
// repository is refused with the target untouched; a block without its end is left.
TEST(AgentGuidance, LinksAreFollowedOnlyInsideTheRepository)
{
  TempDir repo;
  TempDir outside;
  repo.write("AGENTS.md", "shared\n");
  stdfs::create_symlink("AGENTS.md", repo.path() / "CLAUDE.md");
  EXPECT_TRUE(guidance::write_agent_guidance(repo.path(), "claude-code", "5"));
  EXPECT_TRUE(stdfs::is_symlink(repo.path() / "CLAUDE.md"));
  EXPECT_NE(repo.read("AGENTS.md").find("(project 5)"), std::string::npos);

  outside.write("GEMINI.md", "outside\n");
  stdfs::create_symlink(outside.path() / "GEMINI.md", repo.path() / "GEMINI.md");
  EXPECT_FALSE(guidance::write_agent_guidance(repo.path(), "gemini-cli", "5"));
  EXPECT_EQ(outside.read("GEMINI.md"), "outside\n");

  const std::string damaged = "x\n" + std::string(guidance::k_block_begin) + "\nlost end\n";
  repo.write("AGENTS.md", damaged);
  stdfs::remove(repo.path() / "CLAUDE.md");
  EXPECT_FALSE(guidance::write_agent_guidance(repo.path(), "codex", "5"));
  EXPECT_EQ(repo.read("AGENTS.md"), damaged);
}

TEST(AgentGuidance, DetectsAgentsFromTheirFiles)
{
  TempDir repo;
  EXPECT_TRUE(guidance::detect_agents(repo.path()).empty());
  repo.write("GEMINI.md", "");
  repo.write(".cursor/rules/x.mdc", "");
  stdfs::create_directories(repo.path() / ".claude");
  EXPECT_EQ(guidance::detect_agents(repo.path()),
            (std::vector<std::string>{"claude-code", "gemini-cli", "cursor"}));
}

TEST(RuleWriters, WriteOnlyForAgentsTheRepositoryUses)
{
  TempDir repo;
  const List skills{Map{{"slug", "review"}, {"content", "Review.\n"}}};
  guidance::write_rule_skills(repo.path(), skills);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".cursor"));
  EXPECT_FALSE(stdfs::exists(repo.path() / ".windsurf"));

  repo.write(".cursorrules", "");
  kolvex::services::shared::save_local_config(repo.path(), Map{{"agents", List{"windsurf"}}});
  guidance::write_rule_skills(repo.path(), skills);
  EXPECT_EQ(repo.read(".cursor/rules/review.mdc"),
            "---\ndescription: review\nalwaysApply: false\n---\n\nReview.\n");
  EXPECT_EQ(repo.read(".windsurf/rules/review.md"),
            "---\ntrigger: model_decision\ndescription: review\n---\n\nReview.\n");
}

// Removal takes out the skill files kolvex wrote and the folders they alone filled;
// a rule the user edited, and a folder holding a file of theirs, stay.
TEST(RuleWriters, RemovalTakesOutOnlyWhatKolvexWrote)
{
  TempDir repo;
  repo.write(".cursorrules", "");
  repo.write(".windsurf/rules/mine.md", "my rule\n");
  kolvex::services::shared::save_local_config(repo.path(), Map{{"agents", List{"windsurf"}}});
  const List skills{Map{{"slug", "review"}, {"content", "Review.\n"}},
                    Map{{"slug", "ship"}, {"content", "Ship.\n"}}};
  guidance::write_rule_skills(repo.path(), skills);
  repo.write(".cursor/rules/ship.mdc", "edited by the user\n");

  const auto removed = kolvex::agents::skills::remove_skill_files(repo.path());
  EXPECT_EQ(removed.size(), 3U);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".cursor/rules/review.mdc"));
  EXPECT_EQ(repo.read(".cursor/rules/ship.mdc"), "edited by the user\n");
  EXPECT_FALSE(stdfs::exists(repo.path() / ".windsurf/rules/review.md"));
  EXPECT_EQ(repo.read(".windsurf/rules/mine.md"), "my rule\n");
  // Nothing is recorded as kolvex's any more: a second removal takes nothing.
  EXPECT_TRUE(kolvex::agents::skills::remove_skill_files(repo.path()).empty());

  TempDir alone;
  alone.write(".cursorrules", "");
  guidance::write_rule_skills(alone.path(), skills);
  (void)kolvex::agents::skills::remove_skill_files(alone.path());
  EXPECT_FALSE(stdfs::exists(alone.path() / ".cursor"));
}
