#include "agents/claude_code.hpp"

#include "agents/commit_evidence.hpp"
#include "agents/json_line.hpp"
#include "agents/telemetry_builder.hpp"
#include "agents/transcript_io.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

constexpr std::string_view k_synthetic_model = "<synthetic>";
// How much of a transcript get_session_id reads first to find a recorded cwd.
constexpr std::size_t k_head_bytes = 1 << 20;

struct Usage {
  std::int64_t input = 0;
  std::int64_t output = 0;
  std::int64_t cache_creation = 0;
  std::int64_t cache_read = 0;
};

// Sums one session over its files.  A response is written as one line per content
// block, all repeating the usage with output_tokens final only on the last, and a
// resumed or forked session copies earlier lines into its own file; so usage is
// kept per response (message.id + requestId) and the last line seen wins.
class ClaudeTotals {
public:
  void add_file(const stdfs::path& file, bool main_transcript)
  {
    LineReader reader(file);
    Line line;
    while (reader.next(line)) {
      // Every line is validated whole, so a line cut short (the last one, while
      // the harness is still writing it) or corrupted contributes nothing.
      auto root = m_parser.parse(reader, line.text);
      if (root && root->is_object()) {
        add_line(*root, main_transcript);
      }
    }
  }

  [[nodiscard]] core::Map build(std::string_view session_id) const
  {
    Usage sum;
    bool any_usage = m_anonymous_usage.has_value();
    if (m_anonymous_usage) {
      sum = *m_anonymous_usage;
    }
    for (const auto& [key, usage] : m_messages) {
      if (usage) {
        any_usage = true;
        sum.input += usage->input;
        sum.output += usage->output;
        sum.cache_creation += usage->cache_creation;
        sum.cache_read += usage->cache_read;
      }
    }
    core::Map tokens;
    if (any_usage) {
      tokens.set("input", core::Value(static_cast<long long>(sum.input)));
      tokens.set("output", core::Value(static_cast<long long>(sum.output)));
      tokens.set("cache_creation", core::Value(static_cast<long long>(sum.cache_creation)));
      tokens.set("cache_read", core::Value(static_cast<long long>(sum.cache_read)));
      tokens.set("total",
                 core::Value(static_cast<long long>(sum.input + sum.output + sum.cache_creation +
                                                    sum.cache_read)));
    }
    auto builder = m_builder;
    builder.count_message(static_cast<std::int64_t>(m_messages.size()));
    builder.count_tool_call(static_cast<std::int64_t>(m_tool_ids.size()));
    return builder.build(session_id, std::move(tokens));
  }

private:
  void add_line(JsonElement root, bool main_transcript)
  {
    auto type = text_member(root, "type");
    const auto message = member(root, "message");
    if (type.empty() && message && text_member(*message, "role") == "assistant") {
      type = "assistant"; // usage-only lines of older versions carry no type
    }
    if (type == "user") {
      m_builder.timestamp(text_member(root, "timestamp"));
      note_message(text_member(root, "uuid"), {}, std::nullopt);
    } else if (type == "assistant" && message) {
      add_assistant(root, *message, main_transcript);
    } else if (type == "system" || type == "summary" || type == "progress" ||
               type == "attachment") {
      m_builder.timestamp(text_member(root, "timestamp"));
    }
  }

  void add_assistant(JsonElement root, JsonElement message, bool main_transcript)
  {
    const auto model = text_member(message, "model");
    if (model == k_synthetic_model) {
      return; // written locally by the harness: no model, no tokens
    }
    m_builder.timestamp(text_member(root, "timestamp"));
    m_builder.model(model, main_transcript);
    std::optional<Usage> usage;
    if (auto u = member(message, "usage"); u && u->is_object()) {
      usage = Usage{count_member(*u, "input_tokens"),
                    count_member(*u, "output_tokens"),
                    count_member(*u, "cache_creation_input_tokens"),
                    count_member(*u, "cache_read_input_tokens")};
    }
    note_message(text_member(root, "uuid"), response_key(root, message), usage);
    if (auto content = member(message, "content"); content && content->is_array()) {
      for (auto item : array_of(*content)) {
        if (text_member(item, "type") == "tool_use") {
          if (auto id = text_member(item, "id"); !id.empty()) {
            m_tool_ids.emplace(id);
          }
        }
      }
    }
  }

  static std::string response_key(JsonElement root, JsonElement message)
  {
    const auto id = text_member(message, "id");
    if (id.empty()) {
      return {};
    }
    std::string key("r:");
    key.append(id);
    key += '\x1f';
    key.append(text_member(root, "requestId"));
    return key;
  }

  // Records one message under `response_key`, else its line's uuid; a line with
  // neither cannot be recognised again and is counted on its own.
  void note_message(std::string_view uuid, std::string response_key, std::optional<Usage> usage)
  {
    if (response_key.empty() && !uuid.empty()) {
      response_key = "u:";
      response_key.append(uuid);
    }
    if (response_key.empty()) {
      if (usage) {
        Usage sum = m_anonymous_usage.value_or(Usage{});
        sum.input += usage->input;
        sum.output += usage->output;
        sum.cache_creation += usage->cache_creation;
        sum.cache_read += usage->cache_read;
        m_anonymous_usage = sum;
      }
      m_builder.count_message();
      return;
    }
    auto [slot, inserted] = m_messages.try_emplace(std::move(response_key), usage);
    if (!inserted && usage) {
      slot->second = usage;
    }
  }

  LineParser m_parser;
  TelemetryBuilder m_builder;
  std::unordered_map<std::string, std::optional<Usage>> m_messages;
  std::optional<Usage> m_anonymous_usage;
  std::unordered_set<std::string> m_tool_ids;
};

struct SessionFiles {
  std::vector<stdfs::path> main;
  std::vector<stdfs::path> subagents;
};

// Every file of session `id` under any project directory; main transcripts are
// ordered oldest first so that the newest one decides the current model.
SessionFiles find_session_files(const stdfs::path& projects, const std::string& id)
{
  SessionFiles files;
  std::error_code ec;
  for (const auto& dir : list_dirs(projects)) {
    auto main = dir / (id + ".jsonl");
    if (stdfs::is_regular_file(main, ec)) {
      files.main.push_back(std::move(main));
    }
    for (auto& sub : list_files(dir / id / "subagents", ".jsonl")) {
      files.subagents.push_back(std::move(sub));
    }
  }
  std::stable_sort(files.main.begin(), files.main.end(), [](const auto& a, const auto& b) {
    return file_mtime(a).value_or(0) < file_mtime(b).value_or(0);
  });
  return files;
}

// True when a line of `buffer` records a cwd inside the repository.
bool records_cwd_in(const TranscriptBuffer& buffer, const RepoMatcher& matcher, LineParser& parser)
{
  for (const auto& line : split_lines(buffer.bytes())) {
    if (line.text.find("\"cwd\"") == std::string_view::npos) {
      continue;
    }
    auto root = parser.parse(buffer, line.text);
    if (!root) {
      continue;
    }
    if (auto cwd = text_member(*root, "cwd"); !cwd.empty() && matcher.contains(cwd)) {
      return true;
    }
  }
  return false;
}

// Records what one transcript shows about the commits asked for, and whether it
// belongs to the repository at all.
bool scan_for_commits(LineReader& reader,
                      const RepoMatcher& matcher,
                      CommitEvidence::Findings& findings)
{
  LineParser parser;
  bool of_repo = false;
  std::unordered_set<std::string> bash_calls;
  Line line;
  while (reader.next(line)) {
    auto root = parser.parse(reader, line.text);
    if (!root || !root->is_object()) {
      continue;
    }
    if (!of_repo) {
      const auto cwd = text_member(*root, "cwd");
      of_repo = !cwd.empty() && matcher.contains(cwd);
    }
    findings.text(line.text);
    const auto type = text_member(*root, "type");
    const auto message = member(*root, "message");
    const auto content = message ? member(*message, "content") : std::nullopt;
    if (!content || !content->is_array()) {
      continue;
    }
    if (type == "assistant") {
      const auto when = parse_timestamp(text_member(*root, "timestamp"));
      for (auto item : array_of(*content)) {
        if (text_member(item, "type") != "tool_use" || text_member(item, "name") != "Bash") {
          continue;
        }
        if (auto input = member(item, "input")) {
          findings.shell_command(text_member(*input, "command"), when);
        }
        bash_calls.emplace(text_member(item, "id"));
      }
    } else if (type == "user") {
      for (auto item : array_of(*content)) {
        if (text_member(item, "type") != "tool_result" ||
            bash_calls.count(std::string(text_member(item, "tool_use_id"))) == 0) {
          continue;
        }
        const auto result = member(item, "content");
        if (!result) {
          continue;
        }
        if (result->is_string()) {
          findings.shell_output(text_of(*result));
        } else if (result->is_array()) {
          for (auto part : array_of(*result)) {
            findings.shell_output(text_member(part, "text"));
          }
        }
      }
    }
  }
  return of_repo;
}

} // namespace

stdfs::path claude_projects_dir()
{
  if (auto dir = env_text("CLAUDE_CONFIG_DIR"); !dir.empty()) {
    return stdfs::path(dir) / "projects";
  }
  return home_dir() / ".claude" / "projects";
}

core::Map claude_telemetry(const std::vector<stdfs::path>& main_files,
                           const std::vector<stdfs::path>& subagent_files,
                           std::string_view session_id)
{
  ClaudeTotals totals;
  for (const auto& file : main_files) {
    totals.add_file(file, true);
  }
  for (const auto& file : subagent_files) {
    totals.add_file(file, false);
  }
  return totals.build(session_id);
}

bool ClaudeCodeAdapter::is_active() const
{
  return !env_text("CLAUDE_CODE_SESSION_ID").empty() || env_text("CLAUDECODE") == "1";
}

std::optional<std::string> ClaudeCodeAdapter::get_session_id(const stdfs::path& repo_root) const
{
  if (auto id = env_text("CLAUDE_CODE_SESSION_ID"); !id.empty()) {
    return id;
  }
  std::vector<std::pair<double, stdfs::path>> candidates;
  for (const auto& dir : list_dirs(claude_projects_dir())) {
    for (auto& file : list_files(dir, ".jsonl")) {
      if (auto mtime = file_mtime(file)) {
        candidates.emplace_back(*mtime, std::move(file));
      }
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    return a.first > b.first;
  });
  const RepoMatcher matcher(repo_root);
  LineParser parser;
  for (const auto& [mtime, file] : candidates) {
    auto head = read_transcript(file, k_head_bytes);
    if (!head) {
      continue;
    }
    bool found = records_cwd_in(*head, matcher, parser);
    if (!found && head->bytes().size() >= k_head_bytes) {
      if (auto whole = read_transcript(file)) {
        found = records_cwd_in(*whole, matcher, parser);
      }
    }
    if (found) {
      return file.stem().string();
    }
  }
  return std::nullopt;
}

std::optional<contracts::AgentTelemetry>
ClaudeCodeAdapter::get_telemetry_for_session(const stdfs::path& repo_root,
                                             const std::optional<std::string>& session_id) const
{
  auto id = session_id && !session_id->empty() ? session_id : get_session_id(repo_root);
  if (!id || !is_safe_session_id(*id)) {
    return std::nullopt;
  }
  const auto files = find_session_files(claude_projects_dir(), *id);
  if (files.main.empty() && files.subagents.empty()) {
    return std::nullopt;
  }
  return contracts::AgentTelemetry(claude_telemetry(files.main, files.subagents, *id));
}

contracts::SessionMatches
ClaudeCodeAdapter::sessions_mentioning(const stdfs::path& repo_root,
                                       const std::vector<std::string>& shas,
                                       std::optional<double> since,
                                       const contracts::CommitTimes& commit_times) const
{
  CommitEvidence evidence(shas, commit_times);
  if (evidence.empty()) {
    return {};
  }
  const RepoMatcher matcher(repo_root);
  auto consider = [&](const stdfs::path& file, const std::string& session_id) {
    if (since) {
      const auto mtime = file_mtime(file);
      if (!mtime || *mtime < *since) {
        return; // last written before the oldest commit: cannot show it
      }
    }
    LineReader reader(file);
    if (!reader.ok()) {
      return;
    }
    auto findings = evidence.findings();
    if (scan_for_commits(reader, matcher, findings)) {
      evidence.add(session_id, findings);
    }
  };
  for (const auto& dir : list_dirs(claude_projects_dir())) {
    for (const auto& file : list_files(dir, ".jsonl")) {
      consider(file, file.stem().string());
    }
    for (const auto& session_dir : list_dirs(dir)) {
      for (const auto& file : list_files(session_dir / "subagents", ".jsonl")) {
        consider(file, session_dir.filename().string());
      }
    }
  }
  return evidence.result();
}

} // namespace kolvex::agents
