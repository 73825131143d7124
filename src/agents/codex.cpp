#include "agents/codex.hpp"

#include "agents/commit_evidence.hpp"
#include "agents/json_line.hpp"
#include "agents/session_search.hpp"
#include "agents/telemetry_builder.hpp"
#include "agents/transcript_io.hpp"
#include "core/clock.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

// What kolvex knows of Codex.  Its skills live in .agents/skills, which Codex reads
// natively and where the npx installer puts its own.
constexpr std::string_view k_aliases[] = {"codex-cli", "openai-codex"};
constexpr std::string_view k_repo_markers[] = {"AGENTS.md", ".codex"};
constexpr EnvMarker k_env_markers[] = {
    {.name = "CODEX_THREAD_ID", .value = "", .names_session = true},
};
constexpr Harness k_codex{
    .name = "codex",
    .provider = "openai",
    .aliases = k_aliases,
    .repo_markers = k_repo_markers,
    .instruction_file = InstructionFile{.path = "AGENTS.md", .locate = nullptr},
    .tool_server =
        ToolServerFile{.path = ".codex/config.toml", .format = ToolServerFormat::codex_toml},
    .install = InstallProbe{.home_env = "CODEX_HOME", .home_dir = ".codex", .program = ""},
    .skills =
        SkillFolder{.dir = skills::k_shared_skills_dir, .format = skills::SkillFormat::skill_md},
    .env_markers = k_env_markers,
};

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

bool all_digits(std::string_view s, std::size_t width)
{
  return s.size() == width &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Collects the rollouts under `dir`.  Dated directories (YYYY/MM/DD) wholly
// before `floor` ("YYYY-MM-DD", "" for none) are not entered, so an age-bounded
// search costs a few directory listings, not a walk over years of sessions.
void collect_rollouts(const stdfs::path& dir,
                      int level,
                      const std::string& date,
                      const std::string& floor,
                      std::vector<stdfs::path>& out)
{
  for (auto& file : list_files(dir, ".jsonl")) {
    if (file.filename().string().rfind(k_rollout_prefix, 0) == 0) {
      out.push_back(std::move(file));
    }
  }
  for (const auto& sub : list_dirs(dir)) {
    const auto name = sub.filename().string();
    if (level < 3 && all_digits(name, level == 0 ? 4 : 2)) {
      const auto next = date.empty() ? name : date + "-" + name;
      if (!floor.empty() && next < floor.substr(0, next.size())) {
        continue;
      }
      collect_rollouts(sub, level + 1, next, floor, out);
    } else {
      collect_rollouts(sub, 3, {}, floor, out);
    }
  }
}

// Rollouts, live and archived; with `newer_than`, only in date directories that
// can hold a file written since (directory names are local dates: a day of slack).
std::vector<stdfs::path> rollout_paths(std::optional<double> newer_than)
{
  std::string floor;
  if (newer_than) {
    floor = core::clock::format_utc(static_cast<long long>(*newer_than) - 86400).substr(0, 10);
  }
  std::vector<stdfs::path> paths;
  for (const char* sub : {"sessions", "archived_sessions"}) {
    collect_rollouts(codex_home() / sub, 0, {}, floor, paths);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Rollouts last written at or after `newer_than`, newest first.
std::vector<TranscriptFile> rollouts_since(std::optional<double> newer_than)
{
  std::vector<TranscriptFile> files;
  for (const auto& path : rollout_paths(newer_than)) {
    auto file = transcript_file(path, id_from_name(path).value_or(""));
    if (file && (!newer_than || file->mtime >= *newer_than)) {
      files.push_back(std::move(*file));
    }
  }
  sort_newest_first(files);
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

// What one rollout holds.
struct CodexDigest {
  std::string meta_id;
  std::vector<std::string> cwds;
  TelemetryBuilder builder;
  core::Map tokens;
  CommitFacts commits;
};

core::Map token_totals(JsonElement total)
{
  core::Map tokens;
  auto put = [&](const char* key, const char* field) {
    tokens.set(key, core::Value(static_cast<long long>(count_member(total, field))));
  };
  put("input", "input_tokens");
  put("cached_input", "cached_input_tokens");
  put("output", "output_tokens");
  put("reasoning_output", "reasoning_output_tokens");
  put("total", "total_tokens");
  return tokens;
}

void add_output(CommitFactsBuilder& commits, std::string_view call_id, JsonElement payload)
{
  const auto output = member(payload, "output");
  commits.output(call_id, {});
  if (output && output->is_string()) {
    commits.output(call_id, text_of(*output));
  } else if (output && output->is_array()) {
    for (auto part : array_of(*output)) {
      commits.output(call_id, text_member(part, "text"));
    }
  }
}

std::optional<CodexDigest> read_codex_rollout(const stdfs::path& file)
{
  LineReader reader(file);
  if (!reader.ok()) {
    return std::nullopt;
  }
  LineParser parser;
  simdjson::dom::parser args_parser;
  CodexDigest digest;
  CommitFactsBuilder commits;
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
    if (type == "session_meta" || type == "turn_context") {
      const auto cwd = text_member(*payload, "cwd");
      if (!cwd.empty() &&
          std::find(digest.cwds.begin(), digest.cwds.end(), cwd) == digest.cwds.end()) {
        digest.cwds.emplace_back(cwd);
      }
    }
    if (type == "session_meta") {
      if (digest.meta_id.empty()) {
        digest.meta_id = text_member(*payload, "id");
      }
    } else if (type == "turn_context") {
      digest.builder.model(text_member(*payload, "model"));
    } else if (type == "event_msg") {
      if (text_member(*payload, "type") != "token_count") {
        digest.builder.timestamp(text_member(*root, "timestamp"));
        continue;
      }
      // Cumulative: the last one is the session's total.  info may be null.
      const auto info = member(*payload, "info");
      const auto total = info ? member(*info, "total_token_usage") : std::nullopt;
      if (total && total->is_object()) {
        digest.tokens = token_totals(*total);
      }
    } else if (type == "response_item") {
      const auto item_type = text_member(*payload, "type");
      if (item_type == "message") {
        const auto role = text_member(*payload, "role");
        if (role == "user" || role == "assistant") {
          digest.builder.count_message();
        }
      } else if (item_type == "function_call" || item_type == "custom_tool_call" ||
                 item_type == "local_shell_call") {
        digest.builder.count_tool_call();
      }
      const auto call_id = text_member(*payload, "call_id");
      if (item_type == "function_call") {
        const auto command = shell_command_of(text_member(*payload, "arguments"), args_parser);
        if (!command.empty()) {
          (void)commits.call(call_id, command, parse_timestamp(text_member(*root, "timestamp")));
        }
      } else if (item_type == "function_call_output") {
        add_output(commits, call_id, *payload);
      }
    } else if (type != "compacted") {
      continue; // unknown record types say nothing, not even a time
    }
    digest.builder.timestamp(text_member(*root, "timestamp"));
  }
  digest.commits = commits.take();
  return digest;
}

DigestCache<CodexDigest>& codex_digest_cache()
{
  static DigestCache<CodexDigest> cache(&read_codex_rollout);
  return cache;
}

core::Map telemetry_of(const CodexDigest& digest, std::string_view session_id)
{
  return digest.builder.build(
      digest.meta_id.empty() ? session_id : std::string_view(digest.meta_id), digest.tokens);
}

// The session of a rollout that worked in the repository: its session_meta id,
// else the one in its name; "" for a rollout of another repository.
auto session_in(RepoMatcher matcher)
{
  return [matcher = std::move(matcher)](const CodexDigest& digest, const TranscriptFile& file) {
    const bool of_repo = std::any_of(digest.cwds.begin(),
                                     digest.cwds.end(),
                                     [&](const std::string& cwd) { return matcher.contains(cwd); });
    if (!of_repo) {
      return std::string();
    }
    if (!digest.meta_id.empty()) {
      return digest.meta_id;
    }
    return file.session_id.empty() ? file.path.stem().string() : file.session_id;
  };
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
  const auto digest = codex_digest_cache().get(file);
  if (!digest) {
    return std::nullopt;
  }
  return telemetry_of(*digest, session_id);
}

CodexAdapter::CodexAdapter() : HarnessAdapter(k_codex) {}

const HarnessAdapter& codex_adapter()
{
  static const CodexAdapter adapter;
  return adapter;
}

std::optional<std::string> CodexAdapter::get_session_id(const stdfs::path& repo_root) const
{
  if (auto id = marker_session_id()) {
    return id;
  }
  const double live_since = core::clock::now_seconds() - LIVE_SESSION_SECONDS;
  return find_live_session(rollouts_since(live_since),
                           codex_digest_cache(),
                           live_since,
                           session_in(RepoMatcher(repo_root)));
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
  std::vector<TranscriptFile> matches;
  for (const auto& path : rollout_paths(std::nullopt)) {
    const auto name = path.filename().string();
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      if (auto file = transcript_file(path, *id)) {
        matches.push_back(std::move(*file));
      }
    }
  }
  // A session both live and archived: the one written last is the more complete.
  sort_newest_first(matches);
  for (const auto& file : matches) {
    if (const auto digest = codex_digest_cache().get(file)) {
      return contracts::AgentTelemetry(telemetry_of(*digest, *id));
    }
  }
  return std::nullopt;
}

contracts::CommitClaims
CodexAdapter::commit_claims(const stdfs::path& repo_root,
                            const std::vector<std::string>& shas,
                            std::optional<double> since,
                            const contracts::CommitTimes& commit_times) const
{
  CommitEvidence evidence(shas, commit_times);
  if (evidence.empty()) {
    return {};
  }
  // Rollouts last written before the oldest commit cannot show it.
  return find_commit_claims(
      rollouts_since(since), codex_digest_cache(), evidence, session_in(RepoMatcher(repo_root)));
}

} // namespace kolvex::agents
