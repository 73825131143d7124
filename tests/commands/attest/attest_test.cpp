#include "commands/attest/attest.hpp"

#include <CLI/CLI.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kolvex::commands::attest::AttestOptions;
using kolvex::commands::attest::register_attest;
using ::testing::HasSubstr;

struct Parsed {
  std::string out;
  std::string err;
  int status = 0;
};

// Parses `args` with the attest group registered as in the front end, its `add`
// subcommand's action replaced by one that records whether it ran.
Parsed parse(std::vector<std::string> args, bool* add_ran = nullptr)
{
  CLI::App app{"test"};
  app.name("kolvex");
  register_attest(app);
  CLI::App* add = app.get_subcommand("attest")->get_subcommand("add");
  add->callback([add_ran] {
    if (add_ran != nullptr) {
      *add_ran = true;
    }
  });

  std::vector<std::string> argv_storage{"kolvex"};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_storage) {
    argv.push_back(arg.data());
  }
  Parsed parsed;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    parsed.status = e.get_exit_code();
  }
  parsed.out = testing::internal::GetCapturedStdout();
  parsed.err = testing::internal::GetCapturedStderr();
  return parsed;
}

TEST(AttestGroup, ANamedSubcommandRunsAloneWithoutTheGroupsChecks)
{
  bool add_ran = false;
  const auto parsed = parse({"attest", "add", "--commit", "abc"}, &add_ran);
  EXPECT_TRUE(add_ran);
  EXPECT_EQ(parsed.status, 0);
  EXPECT_EQ(parsed.err, "");
  EXPECT_EQ(parsed.out, "");
}

TEST(AttestGroup, WithoutASubcommandTheGroupsActionRuns)
{
  bool add_ran = false;
  const auto parsed = parse({"attest"}, &add_ran);
  EXPECT_FALSE(add_ran);
  EXPECT_EQ(parsed.status, 1);
  EXPECT_EQ(parsed.err, "Missing required flags: --staged-diff-hash, --model, --summary\n");
}

TEST(AttestGroup, EmptyValuesCountAsGivenAndTheLastRepeatWins)
{
  const auto parsed = parse({"attest", "--summary", "", "--model", "", "--model", "m"});
  EXPECT_EQ(parsed.status, 1);
  EXPECT_EQ(parsed.err, "Missing required flags: --staged-diff-hash\n");
}

TEST(AttestGroup, ActionReturnsAtOnceWhenTold)
{
  AttestOptions options;
  options.show_example = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(kolvex::commands::attest::attest(true, options), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(AttestGroup, UnknownTaskTypeIsRefusedByTheParser)
{
  const auto parsed = parse({"attest", "--task-type", "story"});
  EXPECT_NE(parsed.status, 0);
  EXPECT_NE(parsed.status, 1);
  EXPECT_THAT(parsed.err, testing::Not(HasSubstr("Missing required flags")));
}

TEST(AttestGroup, HelpShowsTheParagraphsAsWritten)
{
  CLI::App app{"test"};
  app.name("kolvex");
  register_attest(app);
  const auto help = app.get_subcommand("attest")->help("kolvex");

  EXPECT_THAT(help, HasSubstr("Usage: kolvex attest [OPTIONS]"));
  EXPECT_THAT(
      help,
      ::testing::StartsWith("Create .kolvex/.commit-attestation.yaml from structured flags.\n\n"));
  EXPECT_THAT(
      help,
      HasSubstr("\nExample:\n"
                "  kolvex attest --example\n"
                "  kolvex attest \\\n"
                "    --staged-diff-hash $(git diff --staged | shasum -a 256 | cut -d' ' -f1) \\\n"
                "    --model claude-opus-4-6 \\\n"
                "    --summary \"Added rate limiting to auth endpoints\" \\\n"
                "    --rules '{\"checked\": true, \"applicable\": [...]}' \\\n"
                "    --arch-changes '{\"architecture\": {\"elements\": [{\"name\": \"web-api\",\n"
                "      \"change\": \"modified\", ...}], ...}}'\n\n"));
  EXPECT_THAT(help, HasSubstr("Developer identity, agent session id, and telemetry are populated"));
  EXPECT_THAT(help, HasSubstr("Don't pass them here.\n\nUsage: kolvex attest [OPTIONS]"));

  // Options appear in the documented order, each with its help text.
  const std::vector<std::pair<std::string, std::string>> expected{
      {"--example", "Print the example attestation template and exit."},
      {"--staged-diff-hash", "SHA-256 of staged diff."},
      {"--agent", "Optional \u2014 sync fills it from the active adapter if omitted."},
      {"--provider", "Model provider (e.g. anthropic, openai)."},
      {"--model", "Model ID (e.g. claude-opus-4-6)."},
      {"--summary", "One-line impact summary."},
      {"--agent-id", "Optional agent identifier."},
      {"--rules", "JSON string: {\"checked\": true, \"applicable\": [...]}."},
      {"--arch-changes",
       "\"fact_changes\": {\"add\": [], \"update\": [], \"remove\": []}}], ...}}"},
      {"--provenance",
       "{\"type\": \"spec|ticket|bug-fix|ad-hoc\", \"ref\": \"...\"}. Where the request came "
       "from."},
      {"--task-type", "What kind of change this is, as opposed to where the request came from."},
      {"--timestamp", "ISO 8601 timestamp. Auto-generated if omitted."},
      {"--no-verify", "Skip field validation (hash check still runs)."},
  };
  std::size_t last = 0;
  for (const auto& [flag, text] : expected) {
    const auto at = help.find("  " + flag + " ", last);
    ASSERT_NE(at, std::string::npos) << flag << " missing or out of order";
    EXPECT_NE(help.find(text, at), std::string::npos) << flag;
    last = at + 1;
  }

  // The front end's command list shows the summary line only.
  EXPECT_THAT(app.help(), HasSubstr("attest"));
  EXPECT_THAT(app.help(), testing::Not(HasSubstr("Example:")));
}

} // namespace
