#include "agents/aider.hpp"

#include "support/agent_env.hpp"

#include <gtest/gtest.h>

using kolvex::agents::aider_marked;
using kolvex::agents::AiderAdapter;
using kolvex::contracts::ClaimKind;
using namespace kolvex::testing;

TEST(Aider, MarksOnTheNamesOrInACoAuthoredByTrailer)
{
  EXPECT_TRUE(aider_marked("Jane Doe (aider)", "Jane Doe", ""));
  EXPECT_TRUE(aider_marked("Jane Doe", "Jane Doe (aider)", ""));
  EXPECT_TRUE(aider_marked(
      "Jane Doe", "Jane Doe", "someone <a@b.c>\x1f  aider (openai/gpt-4o) <noreply@aider.dev>"));
  EXPECT_FALSE(aider_marked("Jane Doe", "Jane Doe", ""));
  EXPECT_FALSE(aider_marked("(aider) Jane", "aider fan", ""));
  EXPECT_FALSE(aider_marked("Jane (aider) Doe", "Jane", ""));
  EXPECT_FALSE(aider_marked("Jane", "Jane", "aider (gpt) <someone@example.com>"));
  EXPECT_FALSE(aider_marked("Jane", "Jane", "Jane Doe <noreply@aider.dev>"));
}

TEST(Aider, ItsMarksAreReadFromGitAndClaimedWithoutASession)
{
  AgentEnv env;
  TempRepo repo;
  const auto plain = repo.commit_file("a.txt", "a", "by hand");
  repo.git({"config", "user.name", "Test Dev (aider)"});
  const auto marked = repo.commit_file("b.txt", "b", "feat: by aider");
  const AiderAdapter aider;
  EXPECT_FALSE(aider.marks_commit(repo.path(), plain));
  EXPECT_TRUE(aider.marks_commit(repo.path(), marked));
  EXPECT_FALSE(aider.marks_commit(repo.path(), std::string(40, 'f'))); // no such commit

  const auto claims = aider.commit_claims(repo.path(), {marked, plain}, std::nullopt, {});
  ASSERT_EQ(claims.size(), 1U);
  EXPECT_EQ(claims.at(marked),
            (std::vector<kolvex::contracts::SessionClaim>{{"", ClaimKind::proof}}));
  // Nothing to name: aider keeps no sessions.
  EXPECT_TRUE(aider.sessions_mentioning(repo.path(), {marked}, std::nullopt, {}).empty());
  EXPECT_FALSE(aider.is_active());
}
