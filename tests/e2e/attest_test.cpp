// `kolvex attest` end to end: the built binary in real temporary repositories.
#include "hooks/scripts.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kolvex::core::process::Result;
using kolvex::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

const std::string k_timestamp = "2026-01-15T10:30:00Z";
const std::string k_pending = ".kolvex/.commit-attestation.yaml";
const std::string k_created =
    "Created .kolvex/.commit-attestation.yaml\n"
    "  Run 'git commit' \u2014 the pre-commit hook will verify the hash.\n";

std::string read_golden(const std::string& name)
{
  std::ifstream in(stdfs::path(KOLVEX_GOLDEN_DIR) / "attest" / name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string trimmed(std::string text)
{
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

class AttestE2E : public kolvex::testing::E2E {
protected:
  // git's own defaults, whatever the machine's configuration: the goldens depend on
  // the exact bytes of the staged diff.
  AttestE2E() : E2E({.kolvex_on_path = false, .path = ""}) {}

  void SetUp() override
  {
    E2E::SetUp();
    // Set up, as a repository an agent attests in normally is (untracked: the staged
    // diff is not touched).
    repo.write(".kolvex/.platform/config.yaml", "agents: []\n");
    repo.write("hello.txt", "hello\n");
    repo.git({"add", "hello.txt"});
    m_hash = pipeline_hash();
  }

  [[nodiscard]] const std::string& hash() const { return m_hash; }

  // The hash as the help text tells agents to compute it.
  [[nodiscard]] std::string pipeline_hash() const
  {
    auto result = kolvex::testing::run({"sh", "-c", "git diff --staged | sha256sum"}, repo.path());
    return result.out.substr(0, result.out.find(' '));
  }

  [[nodiscard]] Result attest(const std::vector<std::string>& args) const
  {
    std::vector<std::string> full{"attest"};
    full.insert(full.end(), args.begin(), args.end());
    return kolvex::testing::run_kolvex(full, repo.path());
  }

  // The three required flags, valid, plus `extra`.
  [[nodiscard]] Result attest_with(const std::vector<std::string>& extra) const
  {
    std::vector<std::string> args{"--staged-diff-hash",
                                  m_hash,
                                  "--model",
                                  "claude-opus-4-6",
                                  "--summary",
                                  "Added rate limiting to auth endpoints",
                                  "--timestamp",
                                  k_timestamp};
    args.insert(args.end(), extra.begin(), extra.end());
    return attest(args);
  }

  [[nodiscard]] bool pending_exists() const { return stdfs::exists(repo.path() / k_pending); }

  [[nodiscard]] std::string pending() const { return repo.read(k_pending); }

private:
  std::string m_hash;
};

// ---- Byte-exact files -------------------------------------------------------------

TEST_F(AttestE2E, PendingFilesMatchTheGoldens)
{
  ASSERT_EQ(hash(), "9129272a09ce04bb5971d6262097780c249b391ac71a34defb09fad1daada6b2")
      << "the staged diff is not git's default form; the goldens assume it";

  auto result = attest_with({});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, k_created);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(pending(), read_golden("minimal.yaml"));

  stdfs::remove(repo.path() / k_pending); // used by a commit: no warning about it
  result = attest(
      {"--staged-diff-hash",
       hash(),
       "--model",
       "claude-opus-4-6",
       "--summary",
       "A\xc3\xb1"
       "adido l\xc3\xadmite de peticiones \xe2\x80\x94 auth",
       "--timestamp",
       k_timestamp,
       "--agent",
       "claude-code",
       "--provider",
       "anthropic",
       "--agent-id",
       "agent-7",
       "--provenance",
       R"({"type": "ticket", "ref": "AUTH-142"})",
       "--task-type",
       "feature",
       "--rules",
       R"({"checked": true, "applicable": ["no-secrets-in-code", "tests-for-new-endpoints"]})",
       "--arch-changes",
       trimmed(read_golden("arch_full.json"))});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(pending(), read_golden("full.yaml"));

  result = attest({"--staged-diff-hash",
                   hash(),
                   "--model",
                   "",
                   "--summary",
                   "null",
                   "--timestamp",
                   "yesterday",
                   "--agent",
                   "123",
                   "--provider",
                   "",
                   "--provenance",
                   trimmed(read_golden("provenance_odd.json")),
                   "--rules",
                   "true",
                   "--arch-changes",
                   "{}",
                   "--no-verify"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(pending(), read_golden("odd_values.yaml"));

  result = attest_with({"--arch-changes",
                        R"({"frontend": {"elements": []}})",
                        "--summary",
                        "Only unknown primitives"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(pending(), read_golden("unknown_changes.yaml"));
  EXPECT_THAT(result.err, HasSubstr("changes: empty"));
}

// ---- The example and the required flags -------------------------------------------

TEST_F(AttestE2E, ExampleWinsOverEveryOtherFlag)
{
  const auto result = attest({"--summary",
                              "x",
                              "--rules",
                              "{not json",
                              "--staged-diff-hash",
                              "0000",
                              "--example",
                              "--provenance",
                              "[]"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, kolvex::hooks::scripts::example_attestation());
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(pending_exists());
}

TEST_F(AttestE2E, MissingFlagsAreNamedTogether)
{
  auto result = attest({});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Missing required flags: --staged-diff-hash, --model, --summary\n");
  EXPECT_EQ(result.out, "");

  result = attest({"--model", "m"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Missing required flags: --staged-diff-hash, --summary\n");
  EXPECT_FALSE(pending_exists());
}

TEST_F(AttestE2E, AnEmptyModelIsGivenAndOnlyWarnedAbout)
{
  const auto result = attest({"--staged-diff-hash", hash(), "--model", "", "--summary", "s"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("agent_model: empty"));
  EXPECT_THAT(pending(), HasSubstr("\nagent_model: ''\n"));

  // The same spelled --name= (a shell expanding an empty variable), and an empty
  // optional flag, which is left out.
  const auto assigned = attest({"--staged-diff-hash=" + hash(),
                                "--model=",
                                "--summary=s",
                                "--agent=",
                                "--timestamp=" + k_timestamp});
  ASSERT_EQ(assigned.exit_code, 0) << assigned.err;
  EXPECT_THAT(pending(), HasSubstr("\nagent_model: ''\nsummary: s\n"));
}

// ---- The hash check -----------------------------------------------------------------

TEST_F(AttestE2E, AHashDifferingOnlyInCaseIsAMismatch)
{
  std::string upper = hash();
  for (auto& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const auto result =
      attest({"--staged-diff-hash", upper, "--model", "m", "--summary", "s", "--no-verify"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "Diff hash mismatch \u2014 staged changes have changed since hash was computed\n");
  EXPECT_EQ(result.out,
            "  Provided: " + upper.substr(0, 16) + "...\n  Current:  " + hash().substr(0, 16) +
                "...\n");
  EXPECT_FALSE(pending_exists());
}

TEST_F(AttestE2E, StaleHashIsReportedBeforeBadJson)
{
  const auto stale = hash();
  repo.write("hello.txt", "hello again\n");
  repo.git({"add", "hello.txt"});
  const auto result =
      attest({"--staged-diff-hash", stale, "--model", "m", "--summary", "s", "--rules", "{broken"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Diff hash mismatch"));
  EXPECT_THAT(result.err, Not(HasSubstr("Invalid --rules JSON")));
  EXPECT_THAT(result.out, HasSubstr("  Current:  " + pipeline_hash().substr(0, 16) + "...\n"));
}

TEST_F(AttestE2E, NothingStagedIsTheHashOfNothing)
{
  repo.git({"rm", "-q", "--cached", "hello.txt"});
  const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  ASSERT_EQ(pipeline_hash(), empty);
  const auto result = attest({"--staged-diff-hash", empty, "--model", "m", "--summary", "s"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
}

// ---- The JSON flags -------------------------------------------------------------------

TEST_F(AttestE2E, RulesThatAreEmptyAreLeftOut)
{
  for (const std::string rules : {"{}", "[]", "", "null", "false", "0"}) {
    const auto result = attest_with({"--rules", rules});
    ASSERT_EQ(result.exit_code, 0) << rules << ": " << result.err;
    EXPECT_THAT(pending(), Not(HasSubstr("rules"))) << rules;
  }
  const auto result = attest_with({"--rules", "true", "--no-verify"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("\nrules: true\n"));
}

TEST_F(AttestE2E, RulesAreCheckedByValidationUnlessSkipped)
{
  const auto result = attest_with({"--rules", "true"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("rules: must be a mapping"));
}

TEST_F(AttestE2E, ArchChangesKeepOnlyPrimitives)
{
  auto result = attest_with({"--arch-changes", R"({"frontend": {"elements": []}, "ui": 1})"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("\nchanges: {}\n"));

  result = attest_with({"--arch-changes", "{}"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), Not(HasSubstr("changes")));
}

TEST_F(AttestE2E, ArchChangesThatAreNotAnObjectAreRefused)
{
  for (const std::string value : {R"(["architecture"])", R"("architecture")", "42"}) {
    const auto result = attest_with({"--arch-changes", value});
    EXPECT_EQ(result.exit_code, 1) << value;
    EXPECT_THAT(result.err, HasSubstr("--arch-changes must be a JSON object, got: ")) << value;
    EXPECT_FALSE(pending_exists());
  }
}

TEST_F(AttestE2E, BadJsonNamesTheFirstFlagOnly)
{
  auto result = attest_with({"--rules", "{", "--arch-changes", "[", "--provenance", "x"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, testing::StartsWith("Invalid --rules JSON: "));
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);

  result = attest_with({"--arch-changes", "[", "--provenance", "x"});
  EXPECT_THAT(result.err, testing::StartsWith("Invalid --arch-changes JSON: "));
  result = attest_with({"--provenance", "x"});
  EXPECT_THAT(result.err, testing::StartsWith("Invalid --provenance JSON: "));
  EXPECT_FALSE(pending_exists());
}

TEST_F(AttestE2E, ProvenanceShapesAndTypes)
{
  auto result = attest_with({"--provenance", ""});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), Not(HasSubstr("provenance")));
  stdfs::remove(repo.path() / k_pending);

  const std::string allowed = "['spec', 'ticket', 'bug-fix', 'ad-hoc']";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"[]", "--provenance must be a JSON object, got: list"},
      {R"("ticket")", "--provenance must be a JSON object, got: str"},
      {"3", "--provenance must be a JSON object, got: int"},
      {"2.5", "--provenance must be a JSON object, got: float"},
      {"true", "--provenance must be a JSON object, got: bool"},
      {"null", "--provenance must be a JSON object, got: NoneType"},
      {"{}", "provenance.type must be one of " + allowed + ", got: None"},
      {R"({"type": null})", "provenance.type must be one of " + allowed + ", got: None"},
      {R"({"type": "story"})", "provenance.type must be one of " + allowed + ", got: 'story'"},
      {R"({"type": 1.5})", "provenance.type must be one of " + allowed + ", got: 1.5"},
      {R"({"type": true})", "provenance.type must be one of " + allowed + ", got: True"},
      {R"({"type": ["spec"]})", "provenance.type must be one of " + allowed + ", got: ['spec']"},
  };
  for (const auto& [value, message] : cases) {
    result = attest_with({"--provenance", value});
    EXPECT_EQ(result.exit_code, 1) << value;
    EXPECT_EQ(result.err, message + "\n") << value;
    EXPECT_FALSE(pending_exists());
  }

  result = attest_with({"--provenance", R"({"type": "spec", "ref": "SPEC-1", "extra": [1]})"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("provenance:\n  type: spec\n  ref: SPEC-1\n  extra:\n  - 1\n"));
}

// ---- Timestamp, task type, usage errors ----------------------------------------------

TEST_F(AttestE2E, TimestampIsVerbatimOrGenerated)
{
  auto result = attest(
      {"--staged-diff-hash", hash(), "--model", "m", "--summary", "s", "--timestamp", "yesterday"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("\ntimestamp: yesterday\n"));
  EXPECT_THAT(result.err, HasSubstr("timestamp: 'yesterday' is not an ISO 8601 time"));

  stdfs::remove(repo.path() / k_pending);
  result =
      attest({"--staged-diff-hash", hash(), "--model", "m", "--summary", "s", "--timestamp", ""});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto file = pending();
  const auto at = file.find("\ntimestamp: '");
  ASSERT_NE(at, std::string::npos) << file;
  const auto stamp = file.substr(at + 13, 20);
  EXPECT_EQ(stamp.size(), 20U);
  EXPECT_EQ(stamp[4], '-');
  EXPECT_EQ(stamp[10], 'T');
  EXPECT_EQ(stamp[19], 'Z');
  EXPECT_EQ(result.err, "");
}

TEST_F(AttestE2E, TaskTypeIsAChoiceOfTheParser)
{
  auto result = attest_with({"--task-type", "refactor"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("\ntask_type: refactor\nsummary:"));

  stdfs::remove(repo.path() / k_pending);
  result = attest_with({"--task-type", "story"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_THAT(result.err, HasSubstr("--task-type"));
  EXPECT_FALSE(pending_exists());

  result = attest_with({"--no-such-flag"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_FALSE(pending_exists());
}

TEST_F(AttestE2E, HelpIsShownAndSucceeds)
{
  const auto result = attest({"--help"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out,
              HasSubstr("Create .kolvex/.commit-attestation.yaml from structured flags."));
  EXPECT_THAT(result.out, HasSubstr("  kolvex attest \\\n    --staged-diff-hash $(git diff"));
  EXPECT_THAT(result.out, HasSubstr("--no-verify"));
}

// ---- Field validation -------------------------------------------------------------------

TEST_F(AttestE2E, NoVerifyEnvironmentMustBeExactlyOne)
{
  env.set("KOLVEX_NO_VERIFY", "true");
  auto result = attest_with({"--summary", ""});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("summary: empty"));

  env.set("KOLVEX_NO_VERIFY", " 1");
  EXPECT_EQ(attest_with({"--summary", ""}).exit_code, 1);

  env.set("KOLVEX_NO_VERIFY", "1");
  result = attest_with({"--summary", ""});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("\nsummary: ''\n"));

  // The hash is never skipped.
  stdfs::remove(repo.path() / k_pending);
  result = attest({"--staged-diff-hash", std::string(64, 'f'), "--model", "m", "--summary", "s"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Diff hash mismatch"));
  EXPECT_FALSE(pending_exists());
}

TEST_F(AttestE2E, WarningsComeBeforeErrors)
{
  const auto result = attest({"--staged-diff-hash",
                              hash(),
                              "--model",
                              "",
                              "--summary",
                              "two\nlines",
                              "--timestamp",
                              "soon",
                              "--rules",
                              R"({"checked": false, "applicable": [1]})"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  std::vector<std::string> lines;
  std::stringstream err(result.err);
  for (std::string line; std::getline(err, line);) {
    lines.push_back(line);
  }
  EXPECT_THAT(lines,
              testing::ElementsAre(HasSubstr("timestamp:"),
                                   HasSubstr("agent_model:"),
                                   HasSubstr("rules.checked: false"),
                                   HasSubstr("rules.applicable[0]:"),
                                   HasSubstr("summary: must be one line")));
  EXPECT_FALSE(pending_exists());
}

// ---- Writing ------------------------------------------------------------------------------

TEST_F(AttestE2E, DirectoryIsCreatedAndAnEarlierFileReplacedWhole)
{
  stdfs::remove_all(repo.path() / ".kolvex");
  auto result = attest_with({"--agent",
                             "claude-code",
                             "--arch-changes",
                             R"({"api": {"elements": [{"name": "v2", "change": "added"}]}})"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  ASSERT_TRUE(pending_exists());
  EXPECT_THAT(pending(), HasSubstr("agent: claude-code"));
  EXPECT_THAT(result.err, Not(HasSubstr("Replacing")));

  result = attest_with({});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(pending(), read_golden("minimal.yaml"));
  // No commit used the first one: replacing it is said, with its summary.
  EXPECT_THAT(result.err,
              HasSubstr("Replacing the pending attestation \"Added rate limiting to auth "
                        "endpoints\", which no commit has used"));
  // Only the pending file is there: the replacement left no sibling behind.
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(repo.path() / ".kolvex")) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(names, testing::ElementsAre(".commit-attestation.yaml"));
}

TEST_F(AttestE2E, AFailedCheckLeavesTheEarlierFileAlone)
{
  ASSERT_EQ(attest_with({}).exit_code, 0);
  const auto before = pending();
  EXPECT_EQ(attest_with({"--provenance", "[]"}).exit_code, 1);
  EXPECT_EQ(pending(), before);
}

TEST_F(AttestE2E, FromASubdirectoryTheFileGoesToTheRoot)
{
  stdfs::create_directories(repo.path() / "src" / "deep");
  const auto result = kolvex::testing::run_kolvex(
      {"attest", "--staged-diff-hash", hash(), "--model", "m", "--summary", "s"},
      repo.path() / "src" / "deep");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, k_created);
  EXPECT_TRUE(pending_exists());
}

TEST_F(AttestE2E, InARepositoryNeverSetUpItWarnsThatNothingWillRecordTheCommit)
{
  stdfs::remove_all(repo.path() / ".kolvex" / ".platform");
  const auto result = attest_with({});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(pending_exists());
  EXPECT_THAT(result.err, HasSubstr("not set up for kolvex"));
  EXPECT_THAT(result.err, HasSubstr("kolvex setup"));
}

TEST(AttestOutsideARepository, IsOneErrorLineAndStatusOne)
{
  TempDir outside;
  kolvex::testing::ScopedEnv environment;
  environment.set("GIT_CEILING_DIRECTORIES", outside.path().parent_path().string());
  const auto result = kolvex::testing::run_kolvex(
      {"attest", "--staged-diff-hash", std::string(64, 'a'), "--model", "m", "--summary", "s"},
      outside.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, testing::StartsWith("Not a git repository"));
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(stdfs::exists(outside.path() / ".kolvex"));
}

} // namespace

// ---- Command line -----------------------------------------------------------------

TEST_F(AttestE2E, ValuesThatLookLikeOptionsOrAreEmptyAreTakenAsGiven)
{
  auto result = attest({"--staged-diff-hash", hash(), "--model", "m", "--summary", "--retry="});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("summary: --retry=\n"));

  // "--name=" is an empty value: the word after it is still an option of its own.
  result = attest({"--staged-diff-hash=" + hash(), "--summary=", "--model", "m"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("summary: empty"));
  EXPECT_THAT(result.err, Not(HasSubstr("not expected")));

  result = attest({"--staged-diff-hash", hash(), "--model", "m", "--summary", "s", "--agent="});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(pending(), HasSubstr("summary: s\n"));
}
