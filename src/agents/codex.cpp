#include "agents/codex.hpp"

#include "agents/commit_evidence.hpp"
#include "agents/json_line.hpp"
#include "agents/telemetry_builder.hpp"
#include "agents/transcript_io.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

constexpr std::size_t k_head_bytes = 1 << 20;
constexpr std::string_view k_rollout_prefix = "rollout-";

bool is_uuid(std::string_view s)
{
  if (s.size() != 36) {
    return false;
  }
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) {
      return false;
    }
  }
  return true;
}

// The session id a rollout's name carries ("rollout-<timestamp>-<uuid>.jsonl").
std::optional<std::string> id_from_name(const stdfs::path& file)
{
  const auto stem = file.stem().string();
  if (stem.size() > 36 && is_uuid(std::string_view(stem).substr(stem.size() - 36))) {
    return stem.substr(stem.size() - 36);
  }
  return std::nullopt;
}

// Every rollout, live and archived.
std::vector<stdfs::path> rollout_files()
{
  std::vector<stdfs::path> files;
  for (const char* sub : {"sessions", "archived_sessions"}) {
    for (auto& file : list_files_recursive(codex_home() / sub, ".jsonl")) {
      if (file.filename().string().rfind(k_rollout_prefix, 0) == 0) {
        files.push_back(std::move(file));
      }
    }
  }
  return files;
}

// The shell command a function_call's JSON `arguments` ran, in any of the three
// forms: {"command": ["bash", "-lc", "..."]}, {"command": "..."}, {"cmd": "..."}.
std::string shell_command_of(std::string_view arguments, simdjson::dom::parser& parser)
{
  JsonElement args;
  if (parser.parse(arguments.data(), arguments.size()).get(args) != simdjson::SUCCESS) {
    return {};
  }
  if (auto cmd = text_member(args, "cmd"); !cmd.empty()) {
    return std::string(cmd);
  }
  const auto command = member(args, "command");
  if (!command) {
    return {};
  }
  if (command->is_string()) {
    return std::string(text_of(*command));
  }
  std::string joined;
  if (command->is_array()) {
    for (auto part : array_of(*command)) {
      if (!joined.empty()) {
        joined += ' ';
      }
      joined.append(text_of(part));
    }
  }
  return joined;
}

struct Meta {
  std::string id;
  std::string cwd;
};

// The session_meta of a rollout, read from its first lines.
std::optional<Meta> read_meta(const stdfs::path& file)
{
  auto head = read_transcript(file, k_head_bytes);
  if (!head) {
    return std::nullopt;
  }
  LineParser parser;
  for (const auto& line : split_lines(head->bytes())) {
    auto root = parser.parse(*head, line.text);
    if (!root || text_member(*root, "type") != "session_meta") {
      continue;
    }
    const auto payload = member(*root, "payload");
    if (!payload) {
      return std::nullopt;
    }
    return Meta{std::string(text_member(*payload, "id")),
                std::string(text_member(*payload, "cwd"))};
  }
  return std::nullopt;
}

// Records what one rollout shows about the commits asked for; answers the session
// id it names and whether it worked in the repository.
std::pair<std::string, bool>
scan_for_commits(LineReader& reader, const RepoMatcher& matcher, CommitEvidence::Findings& findings)
{
  LineParser parser;
  simdjson::dom::parser args_parser;
  std::string session_id;
  bool of_repo = false;
  std::unordered_set<std::string> shell_calls;
  Line line;
  while (reader.next(line)) {
    auto root = parser.parse(reader, line.text);
    if (!root || !root->is_object()) {
      continue;
    }
    findings.text(line.text);
    const auto type = text_member(*root, "type");
    const auto payload = member(*root, "payload");
    if (!payload) {
      continue;
    }
    if (type == "session_meta" || type == "turn_context") {
      const auto cwd = text_member(*payload, "cwd");
      of_repo = of_repo || (!cwd.empty() && matcher.contains(cwd));
      if (type == "session_meta" && session_id.empty()) {
        session_id = text_member(*payload, "id");
      }
      continue;
    }
    if (type != "response_item") {
      continue;
    }
    const auto item_type = text_member(*payload, "type");
    if (item_type == "function_call") {
      auto command = shell_command_of(text_member(*payload, "arguments"), args_parser);
      if (!command.empty()) {
        findings.shell_command(command, parse_timestamp(text_member(*root, "timestamp")));
        shell_calls.emplace(text_member(*payload, "call_id"));
      }
    } else if (item_type == "function_call_output" &&
               shell_calls.count(std::string(text_member(*payload, "call_id"))) != 0) {
      const auto output = member(*payload, "output");
      if (output && output->is_string()) {
        findings.shell_output(text_of(*output));
      } else if (output && output->is_array()) {
        for (auto part : array_of(*output)) {
          findings.shell_output(text_member(part, "text"));
        }
      }
    }
  }
  return {session_id, of_repo};
}

} // namespace

stdfs::path codex_home()
{
  if (auto dir = env_text("CODEX_HOME"); !dir.empty()) {
    return dir;
  }
  return home_dir() / ".codex";
}

std::optional<core::Map> codex_telemetry(const stdfs::path& file, std::string_view session_id)
{
  LineReader reader(file);
  if (!reader.ok()) {
    return std::nullopt;
  }
  LineParser parser;
  TelemetryBuilder builder;
  std::string meta_id;
  core::Map tokens;
  Line line;
  while (reader.next(line)) {
    auto root = parser.parse(reader, line.text);
    if (!root || !root->is_object()) {
      continue;
    }
    const auto type = text_member(*root, "type");
    const auto payload = member(*root, "payload");
    if (!payload || !payload->is_object()) {
      continue;
    }
    if (type == "session_meta") {
      if (meta_id.empty()) {
        meta_id = text_member(*payload, "id");
      }
    } else if (type == "turn_context") {
      builder.model(text_member(*payload, "model"));
    } else if (type == "event_msg") {
      if (text_member(*payload, "type") != "token_count") {
        builder.timestamp(text_member(*root, "timestamp"));
        continue;
      }
      // Cumulative: the last one is the session's total.  info may be null.
      const auto info = member(*payload, "info");
      const auto total = info ? member(*info, "total_token_usage") : std::nullopt;
      if (total && total->is_object()) {
        tokens = core::Map{};
        tokens.set("input",
                   core::Value(static_cast<long long>(count_member(*total, "input_tokens"))));
        tokens.set(
            "cached_input",
            core::Value(static_cast<long long>(count_member(*total, "cached_input_tokens"))));
        tokens.set("output",
                   core::Value(static_cast<long long>(count_member(*total, "output_tokens"))));
        tokens.set(
            "reasoning_output",
            core::Value(static_cast<long long>(count_member(*total, "reasoning_output_tokens"))));
        tokens.set("total",
                   core::Value(static_cast<long long>(count_member(*total, "total_tokens"))));
      }
    } else if (type == "response_item") {
      const auto item_type = text_member(*payload, "type");
      if (item_type == "message") {
        const auto role = text_member(*payload, "role");
        if (role == "user" || role == "assistant") {
          builder.count_message();
        }
      } else if (item_type == "function_call" || item_type == "custom_tool_call" ||
                 item_type == "local_shell_call") {
        builder.count_tool_call();
      }
    } else if (type != "compacted") {
      continue; // unknown record types say nothing, not even a time
    }
    builder.timestamp(text_member(*root, "timestamp"));
  }
  return builder.build(meta_id.empty() ? session_id : std::string_view(meta_id), std::move(tokens));
}

bool CodexAdapter::is_active() const
{
  return !env_text("CODEX_THREAD_ID").empty();
}

std::optional<std::string> CodexAdapter::get_session_id(const stdfs::path& repo_root) const
{
  if (auto id = env_text("CODEX_THREAD_ID"); !id.empty()) {
    return id;
  }
  std::vector<std::pair<double, stdfs::path>> candidates;
  for (auto& file : rollout_files()) {
    if (auto mtime = file_mtime(file)) {
      candidates.emplace_back(*mtime, std::move(file));
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    return a.first > b.first;
  });
  const RepoMatcher matcher(repo_root);
  for (const auto& [mtime, file] : candidates) {
    const auto meta = read_meta(file);
    if (meta && !meta->cwd.empty() && matcher.contains(meta->cwd)) {
      if (!meta->id.empty()) {
        return meta->id;
      }
      if (auto id = id_from_name(file)) {
        return id;
      }
    }
  }
  return std::nullopt;
}

std::optional<contracts::AgentTelemetry>
CodexAdapter::get_telemetry_for_session(const stdfs::path& repo_root,
                                        const std::optional<std::string>& session_id) const
{
  auto id = session_id && !session_id->empty() ? session_id : get_session_id(repo_root);
  if (!id || !is_safe_session_id(*id)) {
    return std::nullopt;
  }
  const auto suffix = "-" + *id + ".jsonl";
  std::vector<stdfs::path> matches;
  for (auto& file : rollout_files()) {
    const auto name = file.filename().string();
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      matches.push_back(std::move(file));
    }
  }
  // A session both live and archived: the one written last is the more complete.
  std::stable_sort(matches.begin(), matches.end(), [](const auto& a, const auto& b) {
    return file_mtime(a).value_or(0) > file_mtime(b).value_or(0);
  });
  for (const auto& file : matches) {
    if (auto map = codex_telemetry(file, *id)) {
      return contracts::AgentTelemetry(std::move(*map));
    }
  }
  return std::nullopt;
}

contracts::SessionMatches
CodexAdapter::sessions_mentioning(const stdfs::path& repo_root,
                                  const std::vector<std::string>& shas,
                                  std::optional<double> since,
                                  const contracts::CommitTimes& commit_times) const
{
  CommitEvidence evidence(shas, commit_times);
  if (evidence.empty()) {
    return {};
  }
  const RepoMatcher matcher(repo_root);
  for (const auto& file : rollout_files()) {
    if (since) {
      const auto mtime = file_mtime(file);
      if (!mtime || *mtime < *since) {
        continue; // last written before the oldest commit: cannot show it
      }
    }
    LineReader reader(file);
    if (!reader.ok()) {
      continue;
    }
    auto findings = evidence.findings();
    auto [session_id, of_repo] = scan_for_commits(reader, matcher, findings);
    if (!of_repo) {
      continue;
    }
    if (session_id.empty()) {
      session_id = id_from_name(file).value_or(file.stem().string());
    }
    evidence.add(session_id, findings);
  }
  return evidence.result();
}

} // namespace kolvex::agents
