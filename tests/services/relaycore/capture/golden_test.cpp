// Log lines and archived records of every capture path, byte for byte against the
// goldens tests/golden/gen_capture_golden.py makes with Python's json and PyYAML.
#include "services/relaycore/capture/capture.hpp"

#include "support/e2e.hpp"
#include "support/fake_adapter.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using kolvex::agents::ScopedAdapters;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::FakeAdapter;
namespace capture = kolvex::services::relaycore::capture;
namespace stdfs = std::filesystem;

namespace {

std::string read_golden(const std::string& name)
{
  std::ifstream in(stdfs::path(KOLVEX_GOLDEN_DIR) / "capture" / name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Map golden_case(const std::string& name)
{
  const Value cases = kolvex::core::json::parse(read_golden("cases.json"));
  for (const auto& entry : cases.as_list()) {
    if (entry.get_string("name") == name) {
      return entry.as_map();
    }
  }
  throw std::runtime_error("no golden case " + name);
}

std::string text(const Map& map, std::string_view key)
{
  return map.find(key)->as_string();
}

class CaptureGolden : public kolvex::testing::ScratchRepoTest {
protected:
  // Commits a file on `the_case`'s branch with its author, date and subject.
  std::string commit(const Map& the_case)
  {
    if (text(the_case, "branch") != "main") {
      repo.git({"checkout", "-q", "-b", text(the_case, "branch")});
    }
    kolvex::testing::ScopedEnv author;
    author.set("GIT_AUTHOR_NAME", text(the_case, "author_name"))
        .set("GIT_AUTHOR_EMAIL", text(the_case, "author_email"))
        .set("GIT_AUTHOR_DATE", text(the_case, "author_date"));
    return repo.commit_file("file.txt", "content\n", text(the_case, "subject"));
  }

  // The adapter `the_case` describes, knowing its session's telemetry.
  static FakeAdapter adapter_of(const Map& the_case, bool active)
  {
    const Map& spec = the_case.find("adapter")->as_map();
    FakeAdapter adapter(text(spec, "name"), text(spec, "provider"), active);
    adapter.current_session = text(spec, "session");
    adapter.sessions[text(spec, "session")] = the_case.find("telemetry")->as_map();
    return adapter;
  }

  void expect_golden(const std::string& name, const std::string& sha) const
  {
    const auto lines = kolvex::testing::log_lines(repo);
    ASSERT_EQ(lines.size(), 1U);
    std::string line = lines[0] + "\n";
    line.replace(line.find(sha), sha.size(), "<COMMIT>");
    EXPECT_EQ(line, read_golden(name + ".line.json"));
    EXPECT_EQ(kolvex::testing::archive_of(repo, sha), read_golden(name + ".archive.yaml"));
  }
};

} // namespace

TEST_F(CaptureGolden, PostCommitWithTheAmbientHarness)
{
  const Map the_case = golden_case("post_commit_ambient");
  const FakeAdapter adapter = adapter_of(the_case, true);
  ScopedAdapters scope({&adapter});
  const std::string sha = commit(the_case);
  ASSERT_EQ(capture::record_commit(repo.path()), sha);
  expect_golden("post_commit_ambient", sha);
}

TEST_F(CaptureGolden, CatchUpOfAnotherAuthorsCommit)
{
  const Map the_case = golden_case("catch_up_author");
  ScopedAdapters scope({});
  const std::string sha = commit(the_case);
  ASSERT_TRUE(
      capture::capture_commit(repo.path(), sha, {.source = "catch_up", .attribute_ambient = false})
          .written);
  expect_golden("catch_up_author", sha);
}

TEST_F(CaptureGolden, Backfill)
{
  const Map the_case = golden_case("backfill");
  const FakeAdapter adapter = adapter_of(the_case, false);
  ScopedAdapters scope({&adapter});
  const std::string sha = commit(the_case);
  ASSERT_TRUE(
      capture::record_backfill(repo.path(), sha, "sess-7", text(the_case, "task_type")).written);
  expect_golden("backfill", sha);
}

TEST_F(CaptureGolden, PendingAttestation)
{
  const Map the_case = golden_case("pending_attested");
  ScopedAdapters scope({});
  const std::string sha = commit(the_case);
  repo.write(".kolvex/.commit-attestation.yaml", text(the_case, "pending"));
  const auto result = capture::capture_commit(repo.path(), "HEAD", {.source = "post_commit"});
  ASSERT_TRUE(result.attested);
  expect_golden("pending_attested", sha);
}
