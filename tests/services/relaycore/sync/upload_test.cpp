// The upload with a recording client: batching, the order of the early returns,
// what each record carries, the session header, and stopping at a failed batch.
#include "services/relaycore/sync/upload.hpp"

#include "support/fake_adapter.hpp"
#include "support/fd_capture.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <map>

#include <pty.h>
#include <unistd.h>

namespace kolvex::services::relaycore::sync {
namespace {

namespace stdfs = std::filesystem;
using core::List;
using core::Map;
using core::Value;
using testing::FakeApiClient;
using testing::sha_of;
using testing::UploadRepo;

// An entry whose JSON is exactly `bytes` long: {"s": "xxx..."}.
Value entry_of_size(std::size_t bytes)
{
  return Map{{"s", std::string(bytes - 9, 'x')}};
}

std::vector<std::size_t> sizes(const std::vector<List>& batches)
{
  std::vector<std::size_t> out;
  for (const auto& batch : batches) {
    out.push_back(batch.size());
  }
  return out;
}

class Upload : public testing::UploadTest {
protected:
  UploadResult upload(const Value& project = Value(7), const std::string& key = "sk-key-1234")
  {
    return upload_attestations(key, "https://api.example", repo.path(), repo.archives(), project);
  }

  void SetUp() override
  {
    UploadTest::SetUp();
    client.upload = FakeApiClient::inserts_all;
  }

  FakeApiClient client;
  contracts::ScopedApiClient scoped{client};
};

TEST(ChunkAttestations, CountAndByteBudgetsCloseBatches)
{
  List small;
  for (int i = 0; i < 250; ++i) {
    small.push_back(Map{{"commit", sha_of('a', i)}});
  }
  EXPECT_EQ(sizes(_chunk_attestations(small)), (std::vector<std::size_t>{100, 100, 50}));

  List big;
  for (int i = 0; i < 100; ++i) {
    big.push_back(entry_of_size(70'000));
  }
  // 89 x 70,000 = 6,230,000 fits in 6 MiB; a 90th would not.
  EXPECT_EQ(sizes(_chunk_attestations(big)), (std::vector<std::size_t>{89, 11}));

  const List around{
      entry_of_size(100), entry_of_size(100), entry_of_size(7'000'000), entry_of_size(100)};
  const auto batches = _chunk_attestations(around);
  ASSERT_EQ(sizes(batches), (std::vector<std::size_t>{2, 1, 1}));
  EXPECT_EQ(batches[1][0], around[2]); // never dropped, never split
  EXPECT_TRUE(_chunk_attestations({}).empty());

  // A batch may reach the byte budget exactly.
  EXPECT_EQ(sizes(_chunk_attestations({entry_of_size(60), entry_of_size(40), entry_of_size(10)},
                                      {.max_bytes = 100})),
            (std::vector<std::size_t>{2, 1}));
}

TEST(ChunkAttestations, AnEntryThatCannotBeSerialisedCountsNothingAndIsKept)
{
  Value deep = List{};
  for (int i = 0; i < core::json::k_max_depth + 5; ++i) {
    deep = List{deep};
  }
  const Value deep_entry = Map{{"commit", sha_of('d', 1)}, {"nested", deep}};
  const List entries{entry_of_size(50), deep_entry, entry_of_size(50)};
  const auto batches = _chunk_attestations(entries, {.max_bytes = 50});
  ASSERT_EQ(sizes(batches), (std::vector<std::size_t>{2, 1}));
  EXPECT_EQ(batches[0][1], deep_entry);
}

TEST_F(Upload, EarlyReturnsComeInTheirOrder)
{
  // Not set up at all: nothing to send, nothing asked.
  testing::TempDir bare;
  auto result = upload_attestations("k", "u", bare.path(), bare.path(), Value(1));
  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(result.already_synced);

  // The project id is checked before the log exists and before the key.
  for (const Value& empty : {Value(""), Value(0), Value()}) {
    result = upload(empty, "");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "no project id to address the upload to");
  }
  // No log yet: nothing to do, even without a key.
  result = upload(Value(7), "");
  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(result.already_synced);

  repo.record(sha_of('a', 1), "one");
  result = upload(Value(7), "");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "No API key configured");
  EXPECT_TRUE(client.uploads.empty());

  // An empty configuration counts as not set up.
  services::shared::save_local_config(repo.path(), Map{});
  result = upload();
  EXPECT_TRUE(result.already_synced);
  EXPECT_TRUE(client.uploads.empty());
}

TEST_F(Upload, RecordsGoWithTheirArchiveMadeJsonSafeAndTheirLedger)
{
  const auto first = sha_of('a', 1);
  const auto second = sha_of('a', 2);
  repo.record(first, "one");
  repo.record(second, "two");
  repo.write(repo.archives().lexically_relative(repo.path()) / (first + ".ledger.jsonl"),
             "{\"step\": 1}\n\n  {\"step\": 2}  \n");
  repo.write(repo.archives().lexically_relative(repo.path()) / (second + ".ledger.jsonl"),
             "{\"step\": 1}\nnot json\n");

  const auto result = upload(Value("42"));
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.uploaded, 2);
  ASSERT_EQ(client.uploads.size(), 1u);
  const auto& sent = client.uploads[0];
  EXPECT_EQ(sent.project_id, "42");
  EXPECT_EQ(sent.api_key, "sk-key-1234");
  ASSERT_EQ(sent.batch.size(), 2u);
  const Value* attestation = sent.batch[0].get("attestation");
  ASSERT_NE(attestation, nullptr);
  EXPECT_EQ(*attestation->get("day"), Value("2024-05-01")); // a YAML date, sent as text
  EXPECT_EQ(*sent.batch[0].get("ledger"), Value(List{Map{{"step", 1}}, Map{{"step", 2}}}));
  EXPECT_EQ(sent.batch[1].get("ledger"), nullptr); // a bad ledger line: sent without it
  EXPECT_EQ(sent.batch[1].get("summary")->as_string(), "two");
  EXPECT_EQ(repo.synced_count(), 2u);
  // What is marked is the log line, not the completed record.
  EXPECT_EQ(repo.lines()[0].get("attestation"), nullptr);
}

TEST_F(Upload, CorruptArchivesAreSkippedAndCounted)
{
  repo.record(sha_of('a', 1), "good");
  repo.record(sha_of('a', 2), "bad yaml");
  repo.record(sha_of('a', 3), "not utf-8");
  repo.record("unknown", "unaddressable", false);
  const auto dir = repo.archives().lexically_relative(repo.path());
  repo.write(dir / (sha_of('a', 2) + ".yaml"), "summary: [unclosed\n");
  repo.write(dir / (sha_of('a', 3) + ".yaml"), "summary: \xff\xfe\n");

  testing::FdCapture err(2);
  const auto result = upload();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.skipped_invalid, 3);
  ASSERT_EQ(client.uploads.size(), 1u);
  ASSERT_EQ(client.uploads[0].batch.size(), 1u);
  EXPECT_EQ(client.uploads[0].batch[0].get("summary")->as_string(), "good");
  EXPECT_NE(err.text().find("Corrupt attestation file"), std::string::npos);
  EXPECT_NE(err.text().find(sha_of('a', 3) + ".yaml"), std::string::npos);

  // Nothing else left to send: the skipped ones and the unaddressable line are
  // counted again, and the client is not called.
  const auto again = upload();
  EXPECT_TRUE(again.already_synced);
  EXPECT_EQ(again.skipped_invalid, 3);
  EXPECT_EQ(client.uploads.size(), 1u);
}

TEST_F(Upload, ALinkWhereAnArchiveBelongsIsNeverFollowed)
{
  testing::TempDir outside;
  const auto secret = outside.write("secret.yaml", "summary: the contents of a file outside\n");
  repo.record(sha_of('a', 1), "linked", false);
  repo.record(sha_of('a', 2), "plain");
  stdfs::create_directories(repo.archives());
  stdfs::create_symlink(secret, repo.archives() / (sha_of('a', 1) + ".yaml"));
  stdfs::create_symlink(secret, repo.archives() / (sha_of('a', 2) + ".ledger.jsonl"));
  testing::FdCapture err(2);
  const auto result = upload();
  EXPECT_EQ(result.skipped_invalid, 1);
  ASSERT_EQ(client.uploads.size(), 1u);
  ASSERT_EQ(client.uploads[0].batch.size(), 1u);
  EXPECT_EQ(client.uploads[0].batch[0].get("ledger"), nullptr);
  EXPECT_EQ(core::json::dump(client.uploads[0].batch[0]).find("outside"), std::string::npos);
}

TEST_F(Upload, AnEntryCarryingItsAttestationIsNotCompletedFromTheArchive)
{
  Map line = UploadRepo::line(sha_of('a', 1), "inline");
  line.set("raw_attestation", "summary: inline");
  log::_append_log_entry(paths::confined(repo.log()), line);
  const auto dir = repo.archives().lexically_relative(repo.path());
  repo.write(dir / (sha_of('a', 1) + ".yaml"), "summary: [corrupt\n");
  const auto result = upload();
  EXPECT_EQ(result.skipped_invalid, 0);
  ASSERT_EQ(client.uploads.size(), 1u);
  EXPECT_EQ(client.uploads[0].batch[0].get("attestation"), nullptr);
}

TEST_F(Upload, SessionHeaderFromTheHarnessElseTheEnvironmentElseNone)
{
  repo.record(sha_of('a', 1), "one");
  (void)upload();
  ASSERT_EQ(client.uploads.size(), 1u);
  EXPECT_TRUE(client.uploads[0].headers.empty());

  m_env.set("AGENT_SESSION_ID", "env-session");
  repo.record(sha_of('a', 2), "two");
  (void)upload();
  EXPECT_EQ(client.uploads[1].headers, (contracts::Headers{{"X-Agent-Session-Id", "env-session"}}));

  testing::FakeAdapter harness("claude-code", "anthropic", true);
  harness.current_session = "harness-session";
  {
    agents::ScopedAdapters with_harness{{&harness}};
    repo.record(sha_of('a', 3), "three");
    (void)upload();
    EXPECT_EQ(client.uploads[2].headers,
              (contracts::Headers{{"X-Agent-Session-Id", "harness-session"}}));
  }
  // A session id that would break the header line is left out, not sent.
  m_env.set("AGENT_SESSION_ID", "evil\r\nX-Injected: 1");
  repo.record(sha_of('a', 4), "four");
  const auto result = upload();
  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(client.uploads[3].headers.empty());
}

TEST_F(Upload, AnAnswerWithoutInsertedCountsTheWholeBatch)
{
  for (unsigned i = 0; i < 3; ++i) {
    repo.record(sha_of('a', i), "r");
  }
  client.upload = [](const List&) { return Value(Map{{"updated", 3}}); };
  EXPECT_EQ(upload().uploaded, 3);
}

TEST_F(Upload, AFailedBatchStopsTheRunAndStaysPendingForTheNext)
{
  for (unsigned i = 0; i < 250; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  int calls = 0;
  client.upload = [&](const List& batch) {
    if (++calls == 2) {
      throw contracts::AgentApiError("capacity", "plan limit reached");
    }
    return Value(Map{{"inserted", static_cast<std::int64_t>(batch.size()) - 1}});
  };
  auto result = upload();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "plan limit reached");
  EXPECT_EQ(result.uploaded, 99);
  EXPECT_EQ(client.uploads.size(), 2u); // the third batch was never tried
  EXPECT_EQ(repo.synced_count(), 100u);

  result = upload();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.uploaded, 99 + 49);
  ASSERT_EQ(client.uploads.size(), 4u);
  EXPECT_EQ(client.uploads[2].batch[0].get("commit")->as_string(), sha_of('a', 100));
  EXPECT_EQ(repo.synced_count(), 250u);
}

// The log is read as the batches go out: a record appended meanwhile is sent once,
// by this run or the next, and every record reaches the server exactly once.
TEST_F(Upload, ARecordAppendedDuringTheRunIsSentExactlyOnce)
{
  for (unsigned i = 0; i < 150; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  std::map<std::string, int> sent;
  client.upload = [&](const List& batch) {
    if (sent.empty()) {
      repo.record(sha_of('b', 0), "appended", false);
    }
    for (const Value& entry : batch) {
      ++sent[entry.get("commit")->as_string()];
    }
    return Value(Map{{"inserted", static_cast<std::int64_t>(batch.size())}});
  };
  ASSERT_TRUE(upload().ok);
  ASSERT_TRUE(upload().ok);
  EXPECT_EQ(sent.size(), 151u);
  for (const auto& [commit, times] : sent) {
    EXPECT_EQ(times, 1) << commit;
  }
  EXPECT_EQ(repo.synced_count(), 151u);
}

TEST_F(Upload, ProgressGoesToStderrOnlyWhenItIsATerminal)
{
  for (unsigned i = 0; i < 250; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  {
    testing::FdCapture err(2); // a file, not a terminal: the run stays quiet
    ASSERT_TRUE(upload().ok);
    EXPECT_EQ(err.text(), "");
  }
  for (unsigned i = 250; i < 500; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const int saved = ::dup(2);
  ::dup2(slave, 2);
  const auto result = upload();
  ::dup2(saved, 2);
  ::close(saved);
  ::close(slave);
  ASSERT_TRUE(result.ok);
  std::string shown;
  char buffer[4096];
  for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<std::size_t>(n));
    if (shown.find('\n') != std::string::npos) {
      break;
    }
  }
  ::close(master);
  EXPECT_NE(shown.find("\rUploading attestations: 100 of 250"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\rUploading attestations: 250 of 250"), std::string::npos) << shown;
  EXPECT_NE(shown.find('\n'), std::string::npos); // the line is ended
}

TEST(MarkSynced, KeepsWhatIsNotAnObjectAndNormalisesTheRest)
{
  UploadRepo repo;
  const auto a = sha_of('a', 1);
  const auto b = sha_of('b', 2);
  // Leading blank lines go with the strip; inner blank lines stay; a JSON line that
  // is not an object and a broken line stay byte for byte; CR LF becomes LF; an
  // object is re-serialised even when it is not marked.
  const std::string text =
      "\n\n{\"commit\": \"" + a + "\", \"uploaded\": true, \"synced\": false}\r\n" + "[1,2]\n" +
      "   \n" + "{broken\n" + "{\"commit\":\"" + b + "\",\"x\":\"\xc3\xa9\"}\n" +
      "{\"commit\": [1], \"n\": 1}\n" + "{\"commit\": \"" + b + "\", \"again\": 1}";
  repo.write(repo.log().lexically_relative(repo.path()), text);
  _mark_synced(repo.log(), List{Map{{"commit", a}}, Map{{"commit", ""}}});
  const std::string expected = "{\"commit\": \"" + a + "\", \"synced\": true}\n" + "[1,2]\n" +
                               "   \n" + "{broken\n" + "{\"commit\": \"" + b +
                               "\", \"x\": \"\\u00e9\"}\n" + "{\"commit\": [1], \"n\": 1}\n" +
                               "{\"commit\": \"" + b + "\", \"again\": 1}\n";
  EXPECT_EQ(core::fs::read_text(repo.log()), expected);

  // Every line of a commit is marked; a new "synced" goes last.
  _mark_synced(repo.log(), List{Map{{"commit", b}}});
  EXPECT_NE(core::fs::read_text(repo.log()).find("\"again\": 1, \"synced\": true}\n"),
            std::string::npos);
  EXPECT_NE(core::fs::read_text(repo.log()).find("\"x\": \"\\u00e9\", \"synced\": true}\n"),
            std::string::npos);
}

TEST(MarkSynced, ABatchWithoutCommitsTouchesNeitherTheLogNorTheLock)
{
  UploadRepo repo;
  const std::string text = "{\"commit\":\"x\"}";
  repo.write(repo.log().lexically_relative(repo.path()), text);
  _mark_synced(repo.log(),
               List{Map{{"summary", "no commit"}}, Map{{"commit", ""}}, Map{{"commit", 5}}});
  EXPECT_EQ(core::fs::read_text(repo.log()), text);
  EXPECT_FALSE(stdfs::exists(repo.log().string() + ".lock"));
}

TEST(MarkSynced, AWhiteSpaceOnlyLogBecomesOneEmptyLine)
{
  UploadRepo repo;
  repo.write(repo.log().lexically_relative(repo.path()), " \n\t\n");
  _mark_synced(repo.log(), List{Map{{"commit", sha_of('a', 1)}}});
  EXPECT_EQ(core::fs::read_text(repo.log()), "\n");
}

} // namespace
} // namespace kolvex::services::relaycore::sync
