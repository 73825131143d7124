#include "agents/commit_evidence.hpp"

#include <gtest/gtest.h>

using namespace kolvex::agents;
using kolvex::contracts::ClaimKind;
using kolvex::contracts::CommitClaims;
using kolvex::contracts::SessionClaim;

namespace {

const std::string SHA_A = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string SHA_B = "0123456789abcdef0123456789abcdef01234567";
const std::string SHA_C = "a1b2c3d4ffffffffffffffffffffffffffffffff"; // shares 8 digits with A
const std::string SHA_256 = std::string(64, 'e');
constexpr double T_A = 1000.0;
constexpr double T_B = 1100.0;

// The facts of one transcript holding one shell call.
CommitFacts
one_call(const std::string& command, std::optional<double> when, std::optional<std::string> output)
{
  CommitFactsBuilder builder;
  (void)builder.call("t1", command, when);
  if (output) {
    builder.output("t1", *output);
  }
  return builder.take();
}

CommitClaims claims_of(const std::vector<std::pair<std::string, CommitFacts>>& sessions,
                       const std::vector<std::string>& shas = {SHA_A, SHA_B})
{
  CommitEvidence evidence(shas, {{SHA_A, T_A}, {SHA_B, T_B}});
  for (const auto& [session, facts] : sessions) {
    evidence.add(session, facts);
  }
  return evidence.claims();
}

std::vector<SessionClaim> proof(std::initializer_list<const char*> sessions)
{
  std::vector<SessionClaim> out;
  for (const char* s : sessions) {
    out.push_back({s, ClaimKind::proof});
  }
  return out;
}

std::vector<SessionClaim> timing(std::initializer_list<const char*> sessions)
{
  std::vector<SessionClaim> out;
  for (const char* s : sessions) {
    out.push_back({s, ClaimKind::timing});
  }
  return out;
}

} // namespace

TEST(CommitEvidence, GitCommitPatternIsTheHookRowOne)
{
  EXPECT_TRUE(runs_git_commit("git commit -m x"));
  EXPECT_TRUE(runs_git_commit("cd a && git -C b commit --amend"));
  EXPECT_FALSE(runs_git_commit("git commitment"));
  EXPECT_FALSE(runs_git_commit("legit commit"));
  EXPECT_FALSE(runs_git_commit("git log\ncommit"));
}

TEST(CommitEvidence, EveryFormOfGitsSummaryLineIsProof)
{
  const std::vector<std::string> outputs = {
      "[main a1b2c3d] subject\n 1 file changed",
      "hook output\n[feature/login-2 a1b2c3d4e] subject",
      "[detached HEAD a1b2c3d] subject",
      "[main (root-commit) a1b2c3d] first",
      "[release 1.2 (root-commit) a1b2c3d4e5f60718293a4b5c6d7e8f9012345678] whole sha",
  };
  for (const auto& output : outputs) {
    // Any shell call's output counts: an alias ("gc") or a cherry-pick also commits.
    const auto claims = claims_of({{"s", one_call("gc -m x", std::nullopt, output)}});
    ASSERT_EQ(claims.count(SHA_A), 1U) << output;
    EXPECT_EQ(claims.at(SHA_A), proof({"s"})) << output;
  }
}

TEST(CommitEvidence, NamesThatProveNothing)
{
  const std::vector<std::string> outputs = {
      "[main a1b2c3] six digits are below git's abbreviation",
      "[main A1B2C3D] upper case is not git's",
      "[main a1b2c3d4e5f60718293a4b5c6d7e8f901234567890] longer than the sha",
      "main a1b2c3d subject without brackets",
      "[main xa1b2c3d] not a whole hex run",
      // git log / git show print full shas of any commit, someone else's included.
      "commit a1b2c3d4e5f60718293a4b5c6d7e8f9012345678\nAuthor: Someone",
  };
  for (const auto& output : outputs) {
    EXPECT_TRUE(claims_of({{"s", one_call("git show HEAD", std::nullopt, output)}}).empty())
        << output;
  }
  // An abbreviation that fits two of the commits asked about proves neither.
  EXPECT_TRUE(
      claims_of({{"s", one_call("x", std::nullopt, "[main a1b2c3d4] s")}}, {SHA_A, SHA_C}).empty());
}

TEST(CommitEvidence, FullShaIsProofOnlyFromTheCallThatCommitted)
{
  const auto committed =
      one_call("git commit -qm x && git rev-parse HEAD", std::nullopt, SHA_A + "\n");
  EXPECT_EQ(claims_of({{"s", committed}}).at(SHA_A), proof({"s"}));
  // A 64-digit (SHA-256) repository works alike.
  const auto sha256 =
      claims_of({{"s", one_call("git commit -q; git rev-parse HEAD", 1.0, SHA_256)}}, {SHA_256});
  EXPECT_EQ(sha256.at(SHA_256), proof({"s"}));
}

TEST(CommitEvidence, TimingCountsOnlyForAnUnansweredCommitCallInTheWindow)
{
  // No result in the transcript: the call ran 60 s before A.
  EXPECT_EQ(claims_of({{"s", one_call("git commit -m a", T_A - 60, std::nullopt)}}).at(SHA_A),
            timing({"s"}));
  // In the commit's own second (call times carry fractions) still counts.
  EXPECT_EQ(claims_of({{"s", one_call("git commit -m a", T_A + 0.9, std::nullopt)}}).at(SHA_A),
            timing({"s"}));
  const std::vector<std::pair<std::optional<double>, std::optional<std::string>>> no_claim = {
      {T_A - 60, "On branch main\nnothing to commit, working tree clean"}, // failed
      {T_A - 60, "[main 0123456] another commit"}, // named a commit: not A (and it is B's)
      {T_A - 60, ""},                              // answered, printed nothing
      {T_A - 301, std::nullopt},                   // too early for A, and B is later still
      {T_B + 1, std::nullopt},                     // after every commit
      {std::nullopt, std::nullopt},                // no time at all
  };
  for (const auto& [when, output] : no_claim) {
    const auto claims = claims_of({{"s", one_call("git commit -m a", when, output)}});
    EXPECT_EQ(claims.count(SHA_A), 0U) << when.value_or(-1) << " " << output.value_or("none");
  }
  // The call that printed "[main 0123456]" proved B instead.
  EXPECT_EQ(claims_of({{"s", one_call("git commit", T_A - 60, "[main 0123456] b")}}).at(SHA_B),
            proof({"s"}));
}

TEST(CommitEvidence, AnUnansweredCallMakesOnlyTheEarliestCommitOfItsWindow)
{
  const auto claims = claims_of({{"s", one_call("git commit -m a", T_A - 10, std::nullopt)}});
  EXPECT_EQ(claims.at(SHA_A), timing({"s"}));
  EXPECT_EQ(claims.count(SHA_B), 0U) << "B is in the window too, but one call makes one commit";

  // Three commits in one second (newest first): the call made the oldest of them.
  CommitEvidence same_second({SHA_B, SHA_C, SHA_A}, {{SHA_A, T_A}, {SHA_B, T_A}, {SHA_C, T_A}});
  same_second.add("s", one_call("git commit -m a", T_A - 10, std::nullopt));
  const auto tied = same_second.claims();
  ASSERT_EQ(tied.size(), 1U);
  EXPECT_EQ(tied.at(SHA_A), timing({"s"}));
}

TEST(CommitEvidence, ProofOutranksTimingAndTwoProofsAreBothReported)
{
  const auto prover = one_call("git commit -m a", T_A - 5, "[main a1b2c3d] a");
  const auto pending = one_call("git commit -m b", T_A - 30, std::nullopt);
  // A printed the commit's summary; B's earlier call, whose
  // result is missing, falls inside the window but does not dilute A's proof.
  EXPECT_EQ(claims_of({{"late", pending}, {"printer", prover}}).at(SHA_A), proof({"printer"}));
  // Two proofs (a forked session repeating its parent's output under its own id).
  EXPECT_EQ(claims_of({{"one", prover}, {"two", prover}, {"one", prover}}).at(SHA_A),
            proof({"one", "two"}));
}

TEST(CommitEvidence, ACallIsCreditedToTheSessionItsLineNames)
{
  CommitFactsBuilder builder;
  const auto index = builder.call("", "git commit -m a", T_A - 1, "parent-session");
  builder.output_at(index, "[main a1b2c3d] a");
  builder.output("unknown-call", "[main 0123456] b"); // no such call: ignored
  const auto facts = builder.take();
  ASSERT_EQ(facts.calls.size(), 1U);
  EXPECT_EQ(claims_of({{"copy", facts}}).at(SHA_A), proof({"parent-session"}));
  EXPECT_EQ(claims_of({{"copy", facts}}).count(SHA_B), 0U);
}

TEST(CommitEvidence, OnlyCallsThatMatterAreKeptAndPendingCommitsAreSeen)
{
  CommitFactsBuilder builder;
  (void)builder.call("ls", "ls -la", 10.0);
  builder.output("ls", "total 0");
  (void)builder.call("c1", "git commit -m x", 20.0);
  builder.output("c1", "nothing to commit");
  auto answered = builder.take();
  EXPECT_EQ(answered.calls.size(), 1U);
  EXPECT_FALSE(commit_pending(answered, 0.0));

  (void)builder.call("c2", "git commit -m y", 30.0);
  const auto pending = builder.take();
  EXPECT_TRUE(commit_pending(pending, 30.0));
  EXPECT_FALSE(commit_pending(pending, 31.0)) << "a call older than the bound is no live commit";
}
