#include "agents/gemini_cli.hpp"

#include "agents/commit_evidence.hpp"
#include "agents/json_line.hpp"
#include "agents/session_search.hpp"
#include "agents/telemetry_builder.hpp"
#include "agents/transcript_io.hpp"
#include "core/clock.hpp"
#include "core/sha256.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

// What kolvex knows of Gemini CLI.
constexpr std::string_view k_aliases[] = {"gemini", "geminicli"};
constexpr std::string_view k_repo_markers[] = {"GEMINI.md", ".gemini"};
constexpr EnvMarker k_env_markers[] = {
    {.name = "GEMINI_CLI", .value = "1", .names_session = false},
};
constexpr Harness k_gemini_cli{
    .name = "gemini-cli",
    .provider = "google",
    .aliases = k_aliases,
    .repo_markers = k_repo_markers,
    .instruction_file = InstructionFile{.path = "GEMINI.md", .locate = nullptr},
    .tool_server =
        ToolServerFile{.path = ".gemini/settings.json", .format = ToolServerFormat::mcp_json},
    .install = InstallProbe{.home_env = nullptr, .home_dir = ".gemini", .program = ""},
    .skills = SkillFolder{.dir = ".gemini/skills", .format = skills::SkillFormat::skill_md},
    .env_markers = k_env_markers,
};

constexpr std::array<std::string_view, 6> k_token_keys = {
    "input", "output", "cached", "thoughts", "tool", "total"};

struct ChatCallbacks {
  std::function<void(JsonElement header)> header;
  std::function<void(JsonElement message, std::string_view raw)> message;
};

// Walks a chat in either form; `raw` is the text a message came from (its line,
// or the whole file for the single-object form).
void visit_chat(const TranscriptBuffer& buffer, bool jsonl, const ChatCallbacks& callbacks)
{
  LineParser parser;
  if (!jsonl) {
    auto root = parser.parse(buffer, buffer.bytes());
    if (!root || !root->is_object()) {
      return;
    }
    if (callbacks.header) {
      callbacks.header(*root);
    }
    auto messages = member(*root, "messages");
    if (messages && messages->is_array() && callbacks.message) {
      for (auto message : array_of(*messages)) {
        callbacks.message(message, buffer.bytes());
      }
    }
    return;
  }
  bool seen_header = false;
  for (const auto& line : split_lines(buffer.bytes())) {
    auto root = parser.parse(buffer, line.text);
    if (!root || !root->is_object()) {
      continue;
    }
    if (!member(*root, "type")) {
      if (!seen_header && member(*root, "sessionId") && callbacks.header) {
        callbacks.header(*root);
      }
      seen_header = true;
      continue;
    }
    if (callbacks.message) {
      callbacks.message(*root, line.text);
    }
  }
}

bool is_jsonl(const stdfs::path& file)
{
  return file.extension() == ".jsonl";
}

bool is_hex_hash(std::string_view name)
{
  return name.size() == 64 && std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The chat files of the project directories that may belong to a repository with
// one of `hashes` (every project when `hashes` is empty): a directory named by
// another project's hash is never entered.
std::vector<stdfs::path> chat_paths(const std::vector<std::string>& hashes)
{
  std::vector<stdfs::path> files;
  for (const auto& project : list_dirs(gemini_tmp_dir())) {
    const auto name = project.filename().string();
    if (!hashes.empty() && is_hex_hash(name) &&
        std::find(hashes.begin(), hashes.end(), name) == hashes.end()) {
      continue;
    }
    for (const char* suffix : {".json", ".jsonl"}) {
      for (auto& file : list_files(project / "chats", suffix)) {
        if (file.filename().string().rfind("session-", 0) == 0) {
          files.push_back(std::move(file));
        }
      }
    }
  }
  return files;
}

// The project hashes `repo_root` may have been recorded under.
std::vector<std::string> project_hashes(const stdfs::path& repo_root)
{
  std::vector<std::string> hashes{core::sha256_hex(repo_root.lexically_normal().string())};
  std::error_code ec;
  const auto resolved = stdfs::weakly_canonical(repo_root, ec);
  if (!ec) {
    auto hash = core::sha256_hex(resolved.string());
    if (hash != hashes.front()) {
      hashes.push_back(std::move(hash));
    }
  }
  return hashes;
}

// What one chat file holds.
struct GeminiDigest {
  bool is_chat = false;
  std::string session_id;
  std::string project_hash;
  std::string project_dir; // the name of the project directory the file lies in
  TelemetryBuilder builder;
  // Token counts per message id (a message written twice counts once), and of
  // messages without an id.
  std::unordered_map<std::string, std::array<std::int64_t, k_token_keys.size()>> usage_by_id;
  std::array<std::int64_t, k_token_keys.size()> anonymous{};
  bool any_usage = false;
  CommitFacts commits;
};

// A call is answered once its result is in the chat or its status is final.
bool call_answered(JsonElement call)
{
  const auto status = text_member(call, "status");
  return member(call, "result").has_value() || status == "success" || status == "error" ||
         status == "cancelled";
}

void add_calls(JsonElement message,
               CommitFactsBuilder& commits,
               TelemetryBuilder& builder,
               std::unordered_set<std::string>& seen_ids)
{
  auto calls = member(message, "toolCalls");
  if (!calls || !calls->is_array()) {
    return;
  }
  const auto message_time = parse_timestamp(text_member(message, "timestamp"));
  for (auto call : array_of(*calls)) {
    const auto call_id = text_member(call, "id");
    if (call_id.empty() || seen_ids.emplace("call:" + std::string(call_id)).second) {
      builder.count_tool_call();
    }
    if (text_member(call, "name") != "run_shell_command") {
      continue;
    }
    const auto when = parse_timestamp(text_member(call, "timestamp"));
    const auto args = member(call, "args");
    const auto index = commits.call(
        {}, args ? text_member(*args, "command") : std::string_view{}, when ? when : message_time);
    if (call_answered(call)) {
      commits.answered_at(index);
    }
    auto results = member(call, "result");
    if (!results || !results->is_array()) {
      continue;
    }
    for (auto result : array_of(*results)) {
      auto response = member(result, "functionResponse");
      auto body = response ? member(*response, "response") : std::nullopt;
      if (body) {
        commits.output_at(index, text_member(*body, "output"));
      }
    }
  }
}

std::optional<GeminiDigest> read_gemini_chat(const stdfs::path& file)
{
  auto buffer = read_transcript(file);
  if (!buffer) {
    return std::nullopt;
  }
  GeminiDigest digest;
  digest.project_dir = file.parent_path().parent_path().filename().string();
  CommitFactsBuilder commits;
  std::unordered_set<std::string> seen_ids;
  visit_chat(*buffer,
             is_jsonl(file),
             {[&](JsonElement header) {
                digest.is_chat = true;
                digest.session_id = text_member(header, "sessionId");
                digest.project_hash = text_member(header, "projectHash");
              },
              [&](JsonElement message, std::string_view) {
                const auto type = text_member(message, "type");
                if (type != "user" && type != "gemini") {
                  return;
                }
                digest.is_chat = true;
                if (digest.session_id.empty()) {
                  digest.session_id = text_member(message, "sessionId");
                }
                digest.builder.timestamp(text_member(message, "timestamp"));
                const auto id = text_member(message, "id");
                if (id.empty() || seen_ids.emplace(id).second) {
                  digest.builder.count_message();
                }
                if (type != "gemini") {
                  return;
                }
                digest.builder.model(text_member(message, "model"));
                add_calls(message, commits, digest.builder, seen_ids);
                auto tokens = member(message, "tokens");
                if (!tokens || !tokens->is_object()) {
                  return;
                }
                digest.any_usage = true;
                std::array<std::int64_t, k_token_keys.size()> counts{};
                for (std::size_t i = 0; i < k_token_keys.size(); ++i) {
                  counts[i] = count_member(*tokens, k_token_keys[i]);
                }
                if (!id.empty()) {
                  digest.usage_by_id[std::string(id)] = counts;
                } else {
                  for (std::size_t i = 0; i < counts.size(); ++i) {
                    digest.anonymous[i] += counts[i];
                  }
                }
              }});
  digest.commits = commits.take();
  return digest;
}

DigestCache<GeminiDigest>& gemini_digest_cache()
{
  static DigestCache<GeminiDigest> cache(&read_gemini_chat);
  return cache;
}

std::optional<core::Map> telemetry_of(const GeminiDigest& digest)
{
  if (!digest.is_chat) {
    return std::nullopt;
  }
  core::Map tokens;
  if (digest.any_usage) {
    auto sums = digest.anonymous;
    for (const auto& [id, counts] : digest.usage_by_id) {
      for (std::size_t i = 0; i < counts.size(); ++i) {
        sums[i] += counts[i];
      }
    }
    for (std::size_t i = 0; i < k_token_keys.size(); ++i) {
      tokens.set(k_token_keys[i], core::Value(static_cast<long long>(sums[i])));
    }
  }
  return digest.builder.build(digest.session_id, std::move(tokens));
}

// The session of a chat of the repository (by its recorded project hash or its
// directory's name), "" for a chat of another project.
auto session_in(std::vector<std::string> hashes)
{
  return [hashes = std::move(hashes)](const GeminiDigest& digest, const TranscriptFile&) {
    const bool of_project = std::any_of(hashes.begin(), hashes.end(), [&](const std::string& hash) {
      return hash == digest.project_hash || hash == digest.project_dir;
    });
    return of_project ? digest.session_id : std::string();
  };
}

// The chats of the repository's candidate projects last written at or after
// `newer_than`, newest first.
std::vector<TranscriptFile> chats_since(const std::vector<std::string>& hashes,
                                        std::optional<double> newer_than)
{
  std::vector<TranscriptFile> files;
  for (const auto& path : chat_paths(hashes)) {
    auto file = transcript_file(path);
    if (file && (!newer_than || file->mtime >= *newer_than)) {
      files.push_back(std::move(*file));
    }
  }
  sort_newest_first(files);
  return files;
}

} // namespace

stdfs::path gemini_tmp_dir()
{
  return home_dir() / ".gemini" / "tmp";
}

std::optional<core::Map> gemini_telemetry(const stdfs::path& file)
{
  const auto digest = gemini_digest_cache().get(file);
  if (!digest) {
    return std::nullopt;
  }
  return telemetry_of(*digest);
}

GeminiCliAdapter::GeminiCliAdapter() : HarnessAdapter(k_gemini_cli) {}

const HarnessAdapter& gemini_cli_adapter()
{
  static const GeminiCliAdapter adapter;
  return adapter;
}

std::optional<std::string> GeminiCliAdapter::get_session_id(const stdfs::path& repo_root) const
{
  const double live_since = core::clock::now_seconds() - LIVE_SESSION_SECONDS;
  auto hashes = project_hashes(repo_root);
  const auto files = chats_since(hashes, live_since);
  return find_live_session(files, gemini_digest_cache(), live_since, session_in(std::move(hashes)));
}

std::optional<contracts::AgentTelemetry>
GeminiCliAdapter::get_telemetry_for_session(const stdfs::path& repo_root,
                                            const std::optional<std::string>& session_id) const
{
  auto id = session_id && !session_id->empty() ? session_id : get_session_id(repo_root);
  if (!id || !is_safe_session_id(*id)) {
    return std::nullopt;
  }
  // Chat files are named after the first eight characters of the id.
  const auto short_id = id->substr(0, 8);
  for (const auto& path : chat_paths({})) {
    const auto stem = path.stem().string();
    if (stem.size() < short_id.size() ||
        stem.compare(stem.size() - short_id.size(), short_id.size(), short_id) != 0) {
      continue;
    }
    const auto digest = gemini_digest_cache().get(path);
    if (digest && digest->session_id == *id) {
      if (auto map = telemetry_of(*digest)) {
        return contracts::AgentTelemetry(std::move(*map));
      }
    }
  }
  return std::nullopt;
}

contracts::CommitClaims
GeminiCliAdapter::commit_claims(const stdfs::path& repo_root,
                                const std::vector<std::string>& shas,
                                std::optional<double> since,
                                const contracts::CommitTimes& commit_times) const
{
  CommitEvidence evidence(shas, commit_times);
  if (evidence.empty()) {
    return {};
  }
  auto hashes = project_hashes(repo_root);
  // Chats last written before the oldest commit cannot show it.
  const auto files = chats_since(hashes, since);
  return find_commit_claims(files, gemini_digest_cache(), evidence, session_in(std::move(hashes)));
}

} // namespace kolvex::agents
