#include "agents/claude_transcript.hpp"

#include "agents/json_line.hpp"
#include "agents/transcript_io.hpp"

#include <algorithm>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

constexpr std::string_view k_synthetic_model = "<synthetic>";

void add_usage(ClaudeUsage& sum, const ClaudeUsage& usage)
{
  sum.input += usage.input;
  sum.output += usage.output;
  sum.cache_creation += usage.cache_creation;
  sum.cache_read += usage.cache_read;
}

// Fills one digest.  A response is written as one line per content block, all
// repeating the usage with output_tokens final only on the last, so usage is kept
// per response and the last line seen wins.
class DigestReader {
public:
  ClaudeDigest read(LineReader& reader)
  {
    Line line;
    while (reader.next(line)) {
      // Every line is validated whole, so a line cut short (the last one, while
      // the harness is still writing it) or corrupted contributes nothing.
      auto root = m_parser.parse(reader, line.text);
      if (root && root->is_object()) {
        add_line(*root);
      }
    }
    m_digest.commits = m_commits.take();
    return std::move(m_digest);
  }

private:
  void add_line(JsonElement root)
  {
    const auto session = text_member(root, "sessionId");
    if (m_digest.session_id.empty() && is_safe_session_id(session)) {
      m_digest.session_id = session;
    }
    if (const auto cwd = text_member(root, "cwd"); !cwd.empty() && cwd != m_last_cwd) {
      m_last_cwd = cwd;
      if (std::find(m_digest.cwds.begin(), m_digest.cwds.end(), cwd) == m_digest.cwds.end()) {
        m_digest.cwds.emplace_back(cwd);
      }
    }
    auto type = text_member(root, "type");
    const auto message = member(root, "message");
    if (type.empty() && message && text_member(*message, "role") == "assistant") {
      type = "assistant"; // usage-only lines of older versions carry no type
    }
    if (type == "user") {
      m_digest.builder.timestamp(text_member(root, "timestamp"));
      note_message(text_member(root, "uuid"), {}, std::nullopt);
      if (message) {
        add_results(*message);
      }
    } else if (type == "assistant" && message) {
      add_assistant(root, *message);
    } else if (type == "system" || type == "summary" || type == "progress" ||
               type == "attachment") {
      m_digest.builder.timestamp(text_member(root, "timestamp"));
    }
  }

  void add_assistant(JsonElement root, JsonElement message)
  {
    const auto model = text_member(message, "model");
    if (model == k_synthetic_model) {
      return; // written locally by the harness: no model, no tokens
    }
    m_digest.builder.timestamp(text_member(root, "timestamp"));
    m_digest.builder.model(model);
    std::optional<ClaudeUsage> usage;
    if (auto u = member(message, "usage"); u && u->is_object()) {
      usage = ClaudeUsage{count_member(*u, "input_tokens"),
                          count_member(*u, "output_tokens"),
                          count_member(*u, "cache_creation_input_tokens"),
                          count_member(*u, "cache_read_input_tokens")};
    }
    note_message(text_member(root, "uuid"), response_key(root, message), usage);
    const auto content = member(message, "content");
    if (!content || !content->is_array()) {
      return;
    }
    std::optional<double> when;
    bool when_parsed = false;
    for (auto item : array_of(*content)) {
      if (text_member(item, "type") != "tool_use") {
        continue;
      }
      const auto id = text_member(item, "id");
      if (!id.empty()) {
        m_digest.tool_ids.emplace(id);
      }
      if (text_member(item, "name") != "Bash") {
        continue;
      }
      if (!when_parsed) {
        when = parse_timestamp(text_member(root, "timestamp"));
        when_parsed = true;
      }
      const auto input = member(item, "input");
      const auto session = text_member(root, "sessionId");
      m_commits.call(id,
                     input ? text_member(*input, "command") : std::string_view{},
                     when,
                     is_safe_session_id(session) ? session : std::string_view{});
    }
  }

  // Tool results come back in user lines; only those of Bash calls are read.
  void add_results(JsonElement message)
  {
    const auto content = member(message, "content");
    if (!content || !content->is_array()) {
      return;
    }
    for (auto item : array_of(*content)) {
      if (text_member(item, "type") != "tool_result") {
        continue;
      }
      const auto id = text_member(item, "tool_use_id");
      const auto result = member(item, "content");
      if (!result) {
        m_commits.output(id, {});
      } else if (result->is_array()) {
        m_commits.output(id, {}); // answered even when no part is text
        for (auto part : array_of(*result)) {
          m_commits.output(id, text_member(part, "text"));
        }
      } else {
        m_commits.output(id, text_of(*result));
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
  void
  note_message(std::string_view uuid, std::string response_key, std::optional<ClaudeUsage> usage)
  {
    if (response_key.empty() && !uuid.empty()) {
      response_key = "u:";
      response_key.append(uuid);
    }
    if (response_key.empty()) {
      if (usage) {
        ClaudeUsage sum = m_digest.anonymous_usage.value_or(ClaudeUsage{});
        add_usage(sum, *usage);
        m_digest.anonymous_usage = sum;
      }
      m_digest.builder.count_message();
      return;
    }
    auto [slot, inserted] = m_digest.responses.try_emplace(std::move(response_key), usage);
    if (!inserted && usage) {
      slot->second = usage;
    }
  }

  LineParser m_parser;
  ClaudeDigest m_digest;
  CommitFactsBuilder m_commits;
  std::string m_last_cwd;
};

} // namespace

std::optional<ClaudeDigest> read_claude_transcript(const stdfs::path& file)
{
  LineReader reader(file);
  if (!reader.ok()) {
    return std::nullopt;
  }
  return DigestReader().read(reader);
}

DigestCache<ClaudeDigest>& claude_digest_cache()
{
  static DigestCache<ClaudeDigest> cache(&read_claude_transcript);
  return cache;
}

core::Map claude_telemetry_of(const std::vector<const ClaudeDigest*>& mains,
                              const std::vector<const ClaudeDigest*>& subagents,
                              std::string_view session_id)
{
  // A resumed or forked session copies earlier lines into its own file, so the
  // responses of all files are merged by key, the later file's usage winning.
  TelemetryBuilder builder;
  std::unordered_map<std::string, std::optional<ClaudeUsage>> responses;
  std::unordered_set<std::string> tool_ids;
  std::optional<ClaudeUsage> anonymous;
  auto add = [&](const ClaudeDigest& digest, bool main_transcript) {
    builder.merge(digest.builder, main_transcript);
    for (const auto& [key, usage] : digest.responses) {
      auto [slot, inserted] = responses.try_emplace(key, usage);
      if (!inserted && usage) {
        slot->second = usage;
      }
    }
    tool_ids.insert(digest.tool_ids.begin(), digest.tool_ids.end());
    if (digest.anonymous_usage) {
      ClaudeUsage sum = anonymous.value_or(ClaudeUsage{});
      add_usage(sum, *digest.anonymous_usage);
      anonymous = sum;
    }
  };
  for (const auto* digest : mains) {
    add(*digest, true);
  }
  for (const auto* digest : subagents) {
    add(*digest, false);
  }
  bool any_usage = anonymous.has_value();
  ClaudeUsage sum = anonymous.value_or(ClaudeUsage{});
  for (const auto& [key, usage] : responses) {
    if (usage) {
      any_usage = true;
      add_usage(sum, *usage);
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
  builder.count_message(static_cast<std::int64_t>(responses.size()));
  builder.count_tool_call(static_cast<std::int64_t>(tool_ids.size()));
  return builder.build(session_id, std::move(tokens));
}

} // namespace kolvex::agents
