// `kolvex sync` end to end: the built binary, a real repository with an origin
// remote and the local API server.
#include "core/fs.hpp"
#include "core/json.hpp"
#include "e2e/set_up_repo.hpp"
#include "services/local_config.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

namespace stdfs = std::filesystem;
using kolvex::core::Value;
using kolvex::testing::DevServer;
using kolvex::testing::run_kolvex;
using kolvex::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

class SyncE2E : public kolvex::testing::SetUpRepoTest {
protected:
  void SetUp() override
  {
    SetUpRepoTest::SetUp();
    repo.commit_file("b.txt", "two\n", "second");
  }

  [[nodiscard]] std::size_t unsynced() const
  {
    std::size_t count = 0;
    const std::string log =
        kolvex::core::fs::read_text(repo.path() / ".kolvex/.platform/log.jsonl");
    for (const auto line : kolvex::core::fs::splitlines(log)) {
      count += line.find("\"synced\": false") != std::string_view::npos ? 1 : 0;
    }
    return count;
  }
};

TEST_F(SyncE2E, FirstSyncLinksUploadsAndTheNextHasNothingToSend)
{
  DevServer server;
  sign_in(server);
  ASSERT_EQ(unsynced(), 2u);
  const auto first = run_kolvex({"sync"}, repo.path());
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_THAT(first.out, HasSubstr("Created project 1 (acme/widgets)"));
  EXPECT_THAT(first.out, HasSubstr("Uploaded 2 records"));
  EXPECT_THAT(first.out, HasSubstr("Context cache refreshed"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/context.yaml"));
  EXPECT_EQ(unsynced(), 0u);
  const Value listing = kolvex::core::json::parse(server.get("/v1/_admin/attestations?project=1"));
  EXPECT_EQ(listing.get("attestations")->as_list().size(), 2u);
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"), Value(1));

  repo.commit_file("c.txt", "three\n", "third");
  const auto second = run_kolvex({"sync", "--json"}, repo.path());
  ASSERT_EQ(second.exit_code, 0) << second.err;
  const Value report = kolvex::core::json::parse(second.out);
  EXPECT_EQ(*report.get("attestations_uploaded"), Value(true));
  EXPECT_EQ(*report.get("cache_refreshed"), Value(true));
  EXPECT_EQ(*report.get("project_id"), Value("1"));
  EXPECT_TRUE(report.get("resolution")->is_null()); // linked: not asked again
  EXPECT_EQ(*report.get("upload")->get("uploaded"), Value(1));
  EXPECT_EQ(*report.get("pending"), Value(0));

  env.set("KOLVEX_DEBUG", "1"); // the debug lines must not carry the key either
  const auto third = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(third.exit_code, 0);
  EXPECT_THAT(third.out, HasSubstr("Nothing to upload"));
  for (const std::string* text :
       {&first.out, &first.err, &second.out, &second.err, &third.out, &third.err}) {
    EXPECT_THAT(*text, Not(HasSubstr(server.api_key())));
  }
}

TEST_F(SyncE2E, WithTheServerDownItExitsOneWithOneReasonAndLosesNothing)
{
  DevServer server;
  sign_in(server);
  ASSERT_EQ(run_kolvex({"setup", "--project", "1"}, repo.path()).exit_code, 0);
  ASSERT_EQ(server.stop(), 0);
  const auto down = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(down.exit_code, 1);
  const auto errors = kolvex::core::fs::splitlines(down.err);
  ASSERT_EQ(errors.size(), 1u) << down.err;
  EXPECT_THAT(std::string(errors[0]), HasSubstr("Upload failed: "));
  EXPECT_THAT(down.out, HasSubstr("2 record(s) left pending"));
  EXPECT_EQ(unsynced(), 2u);

  // Unlinked, the resolve is what fails, with the same remedy.
  kolvex::core::Map config = kolvex::services::shared::load_local_config(repo.path());
  config.erase("project_id");
  kolvex::services::shared::save_local_config(repo.path(), config);
  const auto unlinked = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(unlinked.exit_code, 1);
  EXPECT_EQ(unlinked.err,
            "Could not reach a project: could not reach kolvex (ApiError). They will upload on "
            "the next `kolvex sync` that can reach a project.\n");
  EXPECT_EQ(unsynced(), 2u);
}

TEST_F(SyncE2E, SeveralTeamsAskOnceForATeamIdThenRememberIt)
{
  TempDir content;
  content.write("whoami.json",
                R"({"user": "u", "teams": [{"id": 3, "name": "a"}, {"id": 5, "name": "b"}]})");
  DevServer server({.args = {"--content", content.path().string()}});
  sign_in(server);
  const auto ambiguous = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(ambiguous.exit_code, 1);
  EXPECT_THAT(ambiguous.err, HasSubstr("3, 5"));
  EXPECT_THAT(ambiguous.err, HasSubstr("Retry naming one of the ids above"));
  EXPECT_EQ(unsynced(), 2u);

  const auto named = run_kolvex({"sync", "--team-id", "5"}, repo.path());
  ASSERT_EQ(named.exit_code, 0) << named.err;
  const auto config = kolvex::services::shared::load_local_config(repo.path());
  EXPECT_EQ(*config.find("team_id"), Value(5));
  EXPECT_EQ(unsynced(), 0u);
}

TEST_F(SyncE2E, TwoSyncsAtOnceSendEveryRecordAndMarkEveryLine)
{
  DevServer server;
  sign_in(server);
  for (int i = 0; i < 6; ++i) {
    repo.commit_file("n" + std::to_string(i) + ".txt", "x\n", "change " + std::to_string(i));
  }
  ASSERT_EQ(unsynced(), 8u);
  std::vector<kolvex::core::process::Result> results(2);
  std::vector<std::thread> syncs;
  for (auto& result : results) {
    syncs.emplace_back([&result, this] { result = run_kolvex({"sync"}, repo.path()); });
  }
  for (auto& sync : syncs) {
    sync.join();
  }
  for (const auto& result : results) {
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  }
  EXPECT_EQ(unsynced(), 0u);
  const Value listing = kolvex::core::json::parse(server.get("/v1/_admin/attestations?project=1"));
  EXPECT_EQ(listing.get("attestations")->as_list().size(), 8u);
  const std::string log = kolvex::core::fs::read_text(repo.path() / ".kolvex/.platform/log.jsonl");
  EXPECT_EQ(kolvex::core::fs::splitlines(log).size(), 8u); // no line lost or doubled
}

TEST_F(SyncE2E, NotSignedInKeepsEverythingAndSaysHowToSignIn)
{
  const auto result = run_kolvex({"sync"}, repo.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("not signed in. Run `kolvex auth login` and they upload"));
  EXPECT_EQ(unsynced(), 2u);
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/example-attestation.yaml"));
}

TEST_F(SyncE2E, SetupProjectLinksWithoutTheNetwork)
{
  const auto linked = run_kolvex({"setup", "--project", "77"}, repo.path());
  ASSERT_EQ(linked.exit_code, 0) << linked.err;
  EXPECT_THAT(linked.out, HasSubstr("project 77"));
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"),
            Value(77));
  const auto relinked = run_kolvex({"setup", "project", "78"}, repo.path());
  ASSERT_EQ(relinked.exit_code, 0) << relinked.err;
  EXPECT_EQ(relinked.out, "Linked this repository to project 78\n");
  EXPECT_EQ(*kolvex::services::shared::load_local_config(repo.path()).find("project_id"),
            Value(78));
  EXPECT_EQ(run_kolvex({"setup", "--project", "x"}, repo.path()).exit_code, 2);
  EXPECT_EQ(run_kolvex({"setup", "--project", "0"}, repo.path()).exit_code, 2);
}

// An amend replaces a commit: the server gets the amended commit's record, which
// names the old one, and not the old one as work of its own.
TEST_F(SyncE2E, ARecordARewriteReplacedIsNotSentOnItsOwn)
{
  DevServer server;
  sign_in(server);
  const std::string old = repo.git({"rev-parse", "HEAD"});
  repo.git({"commit", "-q", "--amend", "-m", "second, reworded"});
  const std::string amended = repo.git({"rev-parse", "HEAD"});
  ASSERT_EQ(run_kolvex({"sync"}, repo.path()).exit_code, 0);

  const Value listing = kolvex::core::json::parse(server.get("/v1/_admin/attestations?project=1"));
  std::vector<std::string> received;
  for (const Value& row : listing.get("attestations")->as_list()) {
    received.push_back(row.get("commit")->as_string());
    if (received.back() == amended) {
      EXPECT_EQ(row.get("record")->get("rewritten_from")->as_list().at(0), Value(old));
    }
  }
  EXPECT_EQ(received, (std::vector<std::string>{repo.git({"rev-parse", "HEAD~1"}), amended}));
  EXPECT_THAT(run_kolvex({"status"}, repo.path()).out, Not(HasSubstr("waiting for upload")));
}

} // namespace
