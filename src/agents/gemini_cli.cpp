#include "agents/gemini_cli.hpp"

#include "agents/commit_evidence.hpp"
#include "agents/json_line.hpp"
#include "agents/telemetry_builder.hpp"
#include "agents/transcript_io.hpp"
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

constexpr std::array<std::string_view, 6> k_token_keys = {
    "input", "output", "cached", "thoughts", "tool", "total"};
constexpr std::size_t k_head_bytes = 64 * 1024;

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

// Every chat file of every project.
std::vector<stdfs::path> chat_files()
{
  std::vector<stdfs::path> files;
  for (const auto& project : list_dirs(gemini_tmp_dir())) {
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

struct ChatHeader {
  std::string session_id;
  std::string project_hash;
};

std::optional<ChatHeader> read_header(const stdfs::path& file, std::size_t max_bytes)
{
  auto buffer = read_transcript(file, max_bytes);
  if (!buffer) {
    return std::nullopt;
  }
  std::optional<ChatHeader> header;
  visit_chat(*buffer,
             is_jsonl(file),
             {[&](JsonElement h) {
                header = ChatHeader{std::string(text_member(h, "sessionId")),
                                    std::string(text_member(h, "projectHash"))};
              },
              nullptr});
  return header;
}

bool of_project(const stdfs::path& file,
                const ChatHeader& header,
                const std::vector<std::string>& hashes)
{
  const auto project_dir = file.parent_path().parent_path().filename().string();
  return std::any_of(hashes.begin(), hashes.end(), [&](const std::string& hash) {
    return hash == header.project_hash || hash == project_dir;
  });
}

} // namespace

stdfs::path gemini_tmp_dir()
{
  return home_dir() / ".gemini" / "tmp";
}

std::optional<core::Map> gemini_telemetry(const stdfs::path& file)
{
  auto buffer = read_transcript(file);
  if (!buffer) {
    return std::nullopt;
  }
  TelemetryBuilder builder;
  std::string session_id;
  bool is_chat = false;
  // Messages are keyed by id, so a message written twice counts once.
  std::unordered_map<std::string, std::array<std::int64_t, k_token_keys.size()>> usage_by_id;
  std::array<std::int64_t, k_token_keys.size()> anonymous{};
  bool any_usage = false;
  std::unordered_set<std::string> seen_ids;
  visit_chat(*buffer,
             is_jsonl(file),
             {[&](JsonElement header) {
                is_chat = true;
                session_id = text_member(header, "sessionId");
              },
              [&](JsonElement message, std::string_view) {
                const auto type = text_member(message, "type");
                if (type != "user" && type != "gemini") {
                  return;
                }
                is_chat = true;
                if (session_id.empty()) {
                  session_id = text_member(message, "sessionId");
                }
                builder.timestamp(text_member(message, "timestamp"));
                const auto id = text_member(message, "id");
                if (id.empty() || seen_ids.emplace(id).second) {
                  builder.count_message();
                }
                if (type != "gemini") {
                  return;
                }
                builder.model(text_member(message, "model"));
                if (auto calls = member(message, "toolCalls")) {
                  for (auto call : array_of(*calls)) {
                    const auto call_id = text_member(call, "id");
                    if (call_id.empty() ||
                        seen_ids.emplace("call:" + std::string(call_id)).second) {
                      builder.count_tool_call();
                    }
                  }
                }
                auto tokens = member(message, "tokens");
                if (!tokens || !tokens->is_object()) {
                  return;
                }
                any_usage = true;
                std::array<std::int64_t, k_token_keys.size()> counts{};
                for (std::size_t i = 0; i < k_token_keys.size(); ++i) {
                  counts[i] = count_member(*tokens, k_token_keys[i]);
                }
                if (!id.empty()) {
                  usage_by_id[std::string(id)] = counts;
                } else {
                  for (std::size_t i = 0; i < counts.size(); ++i) {
                    anonymous[i] += counts[i];
                  }
                }
              }});
  if (!is_chat) {
    return std::nullopt;
  }
  core::Map tokens;
  if (any_usage) {
    auto sums = anonymous;
    for (const auto& [id, counts] : usage_by_id) {
      for (std::size_t i = 0; i < counts.size(); ++i) {
        sums[i] += counts[i];
      }
    }
    for (std::size_t i = 0; i < k_token_keys.size(); ++i) {
      tokens.set(k_token_keys[i], core::Value(static_cast<long long>(sums[i])));
    }
  }
  return builder.build(session_id, std::move(tokens));
}

bool GeminiCliAdapter::is_active() const
{
  return env_text("GEMINI_CLI") == "1";
}

std::optional<std::string> GeminiCliAdapter::get_session_id(const stdfs::path& repo_root) const
{
  std::vector<std::pair<double, stdfs::path>> candidates;
  for (auto& file : chat_files()) {
    if (auto mtime = file_mtime(file)) {
      candidates.emplace_back(*mtime, std::move(file));
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    return a.first > b.first;
  });
  const auto hashes = project_hashes(repo_root);
  for (const auto& [mtime, file] : candidates) {
    // The single-object form must be read whole to be parsed.
    const auto header = read_header(file, is_jsonl(file) ? k_head_bytes : SIZE_MAX);
    if (header && !header->session_id.empty() && of_project(file, *header, hashes)) {
      return header->session_id;
    }
  }
  return std::nullopt;
}

std::optional<contracts::AgentTelemetry>
GeminiCliAdapter::get_telemetry_for_session(const stdfs::path& repo_root,
                                            const std::optional<std::string>& session_id) const
{
  auto id = session_id && !session_id->empty() ? session_id : get_session_id(repo_root);
  if (!id || !is_safe_session_id(*id)) {
    return std::nullopt;
  }
  const auto short_id = id->substr(0, 8);
  for (const auto& file : chat_files()) {
    const auto stem = file.stem().string();
    if (stem.size() < short_id.size() ||
        stem.compare(stem.size() - short_id.size(), short_id.size(), short_id) != 0) {
      continue;
    }
    auto map = gemini_telemetry(file);
    if (map && map->find("session_id") && *map->find("session_id") == core::Value(*id)) {
      return contracts::AgentTelemetry(std::move(*map));
    }
  }
  return std::nullopt;
}

contracts::SessionMatches
GeminiCliAdapter::sessions_mentioning(const stdfs::path& repo_root,
                                      const std::vector<std::string>& shas,
                                      std::optional<double> since,
                                      const contracts::CommitTimes& commit_times) const
{
  CommitEvidence evidence(shas, commit_times);
  if (evidence.empty()) {
    return {};
  }
  const auto hashes = project_hashes(repo_root);
  for (const auto& file : chat_files()) {
    if (since) {
      const auto mtime = file_mtime(file);
      if (!mtime || *mtime < *since) {
        continue; // last written before the oldest commit: cannot show it
      }
    }
    auto buffer = read_transcript(file);
    if (!buffer) {
      continue;
    }
    ChatHeader header;
    auto findings = evidence.findings();
    visit_chat(*buffer,
               is_jsonl(file),
               {[&](JsonElement h) {
                  header.session_id = text_member(h, "sessionId");
                  header.project_hash = text_member(h, "projectHash");
                },
                [&](JsonElement message, std::string_view raw) {
                  if (is_jsonl(file)) {
                    findings.text(raw);
                  }
                  auto calls = member(message, "toolCalls");
                  if (!calls || !calls->is_array()) {
                    return;
                  }
                  const auto message_time = parse_timestamp(text_member(message, "timestamp"));
                  for (auto call : array_of(*calls)) {
                    if (text_member(call, "name") != "run_shell_command") {
                      continue;
                    }
                    auto when = parse_timestamp(text_member(call, "timestamp"));
                    if (auto args = member(call, "args")) {
                      findings.shell_command(text_member(*args, "command"),
                                             when ? when : message_time);
                    }
                    auto results = member(call, "result");
                    if (!results || !results->is_array()) {
                      continue;
                    }
                    for (auto result : array_of(*results)) {
                      auto response = member(result, "functionResponse");
                      auto body = response ? member(*response, "response") : std::nullopt;
                      if (body) {
                        findings.shell_output(text_member(*body, "output"));
                      }
                    }
                  }
                }});
    if (!is_jsonl(file)) {
      findings.text(buffer->bytes());
    }
    if (!header.session_id.empty() && of_project(file, header, hashes)) {
      evidence.add(header.session_id, findings);
    }
  }
  return evidence.result();
}

} // namespace kolvex::agents
