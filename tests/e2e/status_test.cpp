// `kolvex status` end to end: the built binary reading real repositories' logs.
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <vector>

#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kolvex::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

const std::string k_log = ".kolvex/.platform/log.jsonl";
const std::string k_sha = "3f2a9c1e5b7d4f60a8e2c9b1d3f5a7c9e1b3d5f7";

class StatusE2E : public kolvex::testing::E2E {};

// Every file and directory under `root` (outside .git) with its size and
// modification time: what "writes nothing" must leave unchanged.
std::map<std::string, std::string> snapshot(const stdfs::path& root)
{
  std::map<std::string, std::string> entries;
  for (auto it = stdfs::recursive_directory_iterator(root);
       it != stdfs::recursive_directory_iterator();
       ++it) {
    if (it->path().filename() == ".git") {
      it.disable_recursion_pending();
      continue;
    }
    const auto rel = it->path().lexically_relative(root).string();
    std::string facts = std::to_string(it->last_write_time().time_since_epoch().count());
    if (it->is_regular_file()) {
      facts += " " + std::to_string(it->file_size());
    }
    entries[rel] = facts;
  }
  return entries;
}

TEST_F(StatusE2E, ARepositoryWithoutKolvexHasNothingRecordedAndGainsNothing)
{
  repo.commit_file("a.txt", "a\n", "first");
  const auto before = snapshot(repo.path());
  const auto json = kolvex::testing::run_kolvex({"status", "--json"}, repo.path());
  EXPECT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(json.out,
            R"({"pending": 0, "uploaded": 0, "skipped": 0, "unaddressable": 0, "corrupt": 0, )"
            R"("attested": 0, "unattested": 0, "set_up": false})"
            "\n");
  const auto words = kolvex::testing::run_kolvex({"status"}, repo.path());
  EXPECT_EQ(words.exit_code, 0) << words.err;
  EXPECT_THAT(words.out, HasSubstr("not set up for kolvex"));
  EXPECT_THAT(words.out, HasSubstr("kolvex setup"));
  EXPECT_THAT(words.out, Not(HasSubstr("Attestation log:")));
  EXPECT_EQ(snapshot(repo.path()), before);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));
}

TEST_F(StatusE2E, CountsComeFromTheLogFromAnySubdirectory)
{
  repo.commit_file("src/a.txt", "a\n", "first");
  repo.write(k_log,
             R"({"commit": ")" + k_sha +
                 R"(", "synced": false})"
                 "\n"
                 R"({"commit": ")" +
                 k_sha +
                 R"(", "synced": false, "event": "attestation_skipped"})"
                 "\n"
                 R"({"commit": ")" +
                 k_sha +
                 R"(", "synced": true, "event": "commit_unattested"})"
                 "\r\n"
                 R"({"commit": "unknown", "synced": false, "event": "commit_unattested"})"
                 "\n"
                 "\n"
                 "{torn\n"
                 "[1, 2]\n");
  const auto before = snapshot(repo.path());
  const auto json = kolvex::testing::run_kolvex({"status", "--json"}, repo.path() / "src");
  EXPECT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(json.out,
            R"({"pending": 2, "uploaded": 1, "skipped": 1, "unaddressable": 1, "corrupt": 2, )"
            R"("attested": 1, "unattested": 2, "set_up": false})"
            "\n");
  const auto words = kolvex::testing::run_kolvex({"status"}, repo.path() / "src");
  EXPECT_EQ(words.exit_code, 0) << words.err;
  // No configuration beside the log: said, and the log is counted all the same.
  EXPECT_THAT(words.out, HasSubstr("not set up for kolvex"));
  EXPECT_THAT(words.out, HasSubstr("Attestation log: " + k_log + "\n"));
  for (const std::string row : {"  pending upload    2",
                                "  uploaded          1",
                                "  attested          1",
                                "  unattested        2",
                                "  skipped           1",
                                "  unaddressable     1",
                                "  corrupt lines     2"}) {
    EXPECT_THAT(words.out, HasSubstr(row + "\n"));
  }
  EXPECT_THAT(words.out, HasSubstr("2 records waiting for upload."));
  EXPECT_THAT(words.err, HasSubstr("1 record names no full commit sha and can never be uploaded."));
  EXPECT_THAT(words.err, HasSubstr("2 lines of the log are not a JSON record"));
  EXPECT_EQ(snapshot(repo.path()), before);
}

TEST_F(StatusE2E, FailsClearlyOutsideARepositoryOrOnALogThatIsNotText)
{
  TempDir plain;
  const auto outside = kolvex::testing::run_kolvex({"status"}, plain.path());
  EXPECT_EQ(outside.exit_code, 1);
  EXPECT_THAT(outside.err, HasSubstr("Not a git repository"));
  EXPECT_TRUE(outside.out.empty());

  repo.write(k_log, R"({"commit": ")" + k_sha + "\"}\n{\"summary\": \"\xff\"}\n");
  const auto bad = kolvex::testing::run_kolvex({"status", "--json"}, repo.path());
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_THAT(bad.err, HasSubstr("not valid UTF-8"));
  EXPECT_TRUE(bad.out.empty());

  const auto help = kolvex::testing::run_kolvex({"status", "--help"}, repo.path());
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out, HasSubstr("--json"));
}

// The peak resident memory of `kolvex <args>` run in `cwd`, in KiB, -1 when it
// failed.  Measured by a small Python parent: a process started from this large
// one would carry this one's peak across its exec.
long peak_memory_kib(const std::vector<std::string>& args, const stdfs::path& cwd)
{
  std::vector<std::string> argv{"python3",
                                "-c",
                                "import resource, subprocess, sys\n"
                                "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
                                "check=True)\n"
                                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n",
                                KOLVEX_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto result = kolvex::testing::run(argv, cwd);
  return result.exit_code == 0 ? std::stol(result.out) : -1;
}

// A log of `count` realistic lines, every one unsent or every one sent.
std::string log_of(int count, bool synced)
{
  std::string text;
  char sha[41];
  for (int i = 0; i < count; ++i) {
    std::snprintf(sha, sizeof sha, "%040x", i);
    text += std::string("{\"commit\": \"") + sha +
            "\", \"branch\": \"main\", \"timestamp\": \"2025-01-01T00:00:00+00:00\", "
            "\"agent\": \"claude-code\", \"summary\": \"change number " +
            std::to_string(i) + "\", \"synced\": " + (synced ? "true" : "false") +
            ", \"event\": \"commit_unattested\", \"developer\": {\"git_author_name\": "
            "\"Bench Dev\", \"git_author_email\": \"bench@example.com\"}}\n";
  }
  return text;
}

} // namespace

// A repository that never synced has every line unsent: counting them must not
// build each record, or a status over 100,000 lines costs a hundred megabytes.
TEST_F(StatusE2E, CountingUnsentLinesCostsNoMoreMemoryThanSentOnes)
{
  repo.write(k_log, log_of(100000, true));
  const long synced = peak_memory_kib({"status", "--json"}, repo.path());
  repo.write(k_log, log_of(100000, false));
  const auto json = kolvex::testing::run_kolvex({"status", "--json"}, repo.path());
  EXPECT_THAT(json.out, HasSubstr("{\"pending\": 100000, "));
  const long unsent = peak_memory_kib({"status", "--json"}, repo.path());
  ASSERT_GT(synced, 0);
  ASSERT_GT(unsent, 0);
  EXPECT_LT(unsent, synced + 16 * 1024) << "synced " << synced << " KiB, unsent " << unsent;
}

// A pending attestation no hook could use waits beside the pending file; status
// says so until the user deals with it.
TEST_F(StatusE2E, SaysARejectedAttestationIsWaiting)
{
  repo.write(k_log, R"({"commit": ")" + k_sha + "\"}\n");
  repo.write(".kolvex/.commit-attestation.yaml.rejected", "- not a mapping\n");
  const auto json = kolvex::testing::run_kolvex({"status", "--json"}, repo.path());
  EXPECT_EQ(json.exit_code, 0) << json.err;
  EXPECT_THAT(json.out,
              HasSubstr(R"("rejected_attestation": ".kolvex/.commit-attestation.yaml.rejected"})"));
  const auto words = kolvex::testing::run_kolvex({"status"}, repo.path());
  EXPECT_EQ(words.exit_code, 0) << words.err;
  EXPECT_THAT(words.err,
              HasSubstr("A rejected pending attestation is waiting in "
                        ".kolvex/.commit-attestation.yaml.rejected"));
}

// A log that is a link is refused; status says it was not read rather than that
// nothing was recorded.
TEST_F(StatusE2E, ALogThatIsALinkIsReportedNotRead)
{
  TempDir outside;
  const auto target = outside.write("elsewhere.jsonl", R"({"commit": ")" + k_sha + "\"}\n");
  stdfs::create_directories(repo.path() / ".kolvex/.platform");
  stdfs::create_symlink(target, repo.path() / k_log);
  const auto words = kolvex::testing::run_kolvex({"status"}, repo.path());
  EXPECT_EQ(words.exit_code, 1);
  EXPECT_THAT(words.err, HasSubstr("is not a regular file; it was not read"));
  EXPECT_THAT(words.out, ::testing::Not(HasSubstr("No commits recorded yet.")));
}
