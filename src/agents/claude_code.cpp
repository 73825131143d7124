#include "agents/claude_code.hpp"

#include "agents/claude_transcript.hpp"
#include "agents/commit_evidence.hpp"
#include "agents/session_search.hpp"
#include "agents/transcript_io.hpp"
#include "core/clock.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

// What kolvex knows of Claude Code.
constexpr std::string_view k_aliases[] = {"claude", "claudecode", "claude-code-cli"};
constexpr std::string_view k_repo_markers[] = {"CLAUDE.md", ".claude"};
constexpr EnvMarker k_env_markers[] = {
    {.name = "CLAUDE_CODE_SESSION_ID", .value = "", .names_session = true},
    {.name = "CLAUDECODE", .value = "1", .names_session = false},
};
constexpr Harness k_claude_code{
    .name = "claude-code",
    .provider = "anthropic",
    .aliases = k_aliases,
    .repo_markers = k_repo_markers,
    .instruction_file = InstructionFile{.path = "CLAUDE.md", .locate = nullptr},
    .tool_server = ToolServerFile{.path = ".mcp.json", .format = ToolServerFormat::mcp_json},
    .install = InstallProbe{.home_env = "CLAUDE_CONFIG_DIR", .home_dir = ".claude", .program = ""},
    .skills = SkillFolder{.dir = ".claude/skills", .format = skills::SkillFormat::skill_md},
    .env_markers = k_env_markers,
};

// Keys longer than this are cut and suffixed with a hash.
constexpr std::size_t k_key_limit = 200;

bool is_ascii_alnum(unsigned char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether a project directory named `dir_key` (normalised) may hold sessions of
// the repository keyed `repo_key`: its own key, a sub-directory's ("<key>-src"),
// or, for a key cut at the limit, any key sharing the cut.  Siblings that share
// the prefix ("<key>-old") are weeded out by the cwd recorded in the lines.
bool key_fits(std::string_view dir_key, std::string_view repo_key)
{
  const auto prefix = repo_key.substr(0, std::min(repo_key.size(), k_key_limit));
  if (dir_key.substr(0, prefix.size()) != prefix) {
    return false;
  }
  return dir_key.size() == prefix.size() || prefix.size() == k_key_limit ||
         dir_key[prefix.size()] == '-';
}

std::string strip_trailing_slashes(std::string text)
{
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

// The project directories that may hold sessions of `repo_root`, for the root as
// given and with links resolved.
std::vector<stdfs::path> repo_project_dirs(const stdfs::path& repo_root)
{
  std::vector<std::string> keys{
      claude_project_key(strip_trailing_slashes(repo_root.lexically_normal().string()))};
  std::error_code ec;
  const auto resolved = stdfs::weakly_canonical(repo_root, ec);
  if (!ec) {
    auto key = claude_project_key(strip_trailing_slashes(resolved.string()));
    if (key != keys.front()) {
      keys.push_back(std::move(key));
    }
  }
  std::vector<stdfs::path> dirs;
  for (auto& dir : list_dirs(claude_projects_dir())) {
    const auto name = claude_project_key(dir.filename().string());
    if (std::any_of(
            keys.begin(), keys.end(), [&](const auto& key) { return key_fits(name, key); })) {
      dirs.push_back(std::move(dir));
    }
  }
  return dirs;
}

// The session transcripts (and sub-agent transcripts) of `dirs` last written at
// or after `newer_than`, newest first; nothing is opened.
std::vector<TranscriptFile> session_files_in(const std::vector<stdfs::path>& dirs,
                                             std::optional<double> newer_than)
{
  std::vector<TranscriptFile> files;
  auto consider = [&](const stdfs::path& path, std::string session_id) {
    if (!is_safe_session_id(session_id)) {
      return;
    }
    auto file = transcript_file(path, std::move(session_id));
    if (file && (!newer_than || file->mtime >= *newer_than)) {
      files.push_back(std::move(*file));
    }
  };
  for (const auto& dir : dirs) {
    for (const auto& path : list_files(dir, ".jsonl")) {
      consider(path, path.stem().string());
    }
    for (const auto& session_dir : list_dirs(dir)) {
      for (const auto& path : list_files(session_dir / "subagents", ".jsonl")) {
        consider(path, session_dir.filename().string());
      }
    }
  }
  sort_newest_first(files);
  return files;
}

// The session of a transcript whose lines record a cwd in the repository (the
// one its place in the store names), "" for a transcript of another.
auto session_in(RepoMatcher matcher)
{
  return [matcher = std::move(matcher)](const ClaudeDigest& digest, const TranscriptFile& file) {
    const bool of_repo = std::any_of(digest.cwds.begin(),
                                     digest.cwds.end(),
                                     [&](const std::string& cwd) { return matcher.contains(cwd); });
    return of_repo ? file.session_id : std::string();
  };
}

struct SessionFiles {
  std::vector<TranscriptFile> main;
  std::vector<TranscriptFile> subagents;
};

// Every file of session `id` under any project directory, looked up by name;
// main transcripts are ordered oldest first so that the newest one decides the
// current model.
SessionFiles find_session_files(const std::string& id)
{
  SessionFiles files;
  for (const auto& dir : list_dirs(claude_projects_dir())) {
    if (auto main = transcript_file(dir / (id + ".jsonl"), id)) {
      files.main.push_back(std::move(*main));
    }
    for (const auto& sub : list_files(dir / id / "subagents", ".jsonl")) {
      if (auto file = transcript_file(sub, id)) {
        files.subagents.push_back(std::move(*file));
      }
    }
  }
  std::stable_sort(files.main.begin(), files.main.end(), [](const auto& a, const auto& b) {
    return a.mtime_ns < b.mtime_ns;
  });
  return files;
}

// Digests of `files` (kept alive by `keep`), unreadable ones left out.
std::vector<const ClaudeDigest*> digests_of(const std::vector<TranscriptFile>& files,
                                            std::vector<std::shared_ptr<const ClaudeDigest>>& keep)
{
  std::vector<const ClaudeDigest*> digests;
  for (const auto& file : files) {
    if (auto digest = claude_digest_cache().get(file)) {
      digests.push_back(digest.get());
      keep.push_back(std::move(digest));
    }
  }
  return digests;
}

} // namespace

stdfs::path claude_projects_dir()
{
  if (auto dir = env_text("CLAUDE_CONFIG_DIR"); !dir.empty()) {
    return stdfs::path(dir) / "projects";
  }
  return home_dir() / ".claude" / "projects";
}

std::string claude_project_key(std::string_view path)
{
  std::string key;
  key.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c < 0x80) {
      key += is_ascii_alnum(c) ? static_cast<char>(c) : '-';
      ++i;
      continue;
    }
    // One '-' per UTF-16 code unit: two for a character beyond U+FFFF, one for
    // each ill-formed run (the U+FFFD a decoder makes of it).
    const core::text::Utf8Step step = core::text::utf8_step(path, i);
    key += step.valid && step.length == 4 ? "--" : "-";
    i += step.length;
  }
  return key;
}

core::Map claude_telemetry(const std::vector<stdfs::path>& main_files,
                           const std::vector<stdfs::path>& subagent_files,
                           std::string_view session_id)
{
  auto files_of = [](const std::vector<stdfs::path>& paths) {
    std::vector<TranscriptFile> files;
    for (const auto& path : paths) {
      if (auto file = transcript_file(path)) {
        files.push_back(std::move(*file));
      }
    }
    return files;
  };
  std::vector<std::shared_ptr<const ClaudeDigest>> keep;
  const auto mains = digests_of(files_of(main_files), keep);
  const auto subagents = digests_of(files_of(subagent_files), keep);
  return claude_telemetry_of(mains, subagents, session_id);
}

ClaudeCodeAdapter::ClaudeCodeAdapter() : HarnessAdapter(k_claude_code) {}

const HarnessAdapter& claude_code_adapter()
{
  static const ClaudeCodeAdapter adapter;
  return adapter;
}

std::optional<std::string> ClaudeCodeAdapter::get_session_id(const stdfs::path& repo_root) const
{
  if (auto id = marker_session_id()) {
    return id;
  }
  const double live_since = core::clock::now_seconds() - LIVE_SESSION_SECONDS;
  return find_live_session(session_files_in(repo_project_dirs(repo_root), live_since),
                           claude_digest_cache(),
                           live_since,
                           session_in(RepoMatcher(repo_root)));
}

std::optional<contracts::AgentTelemetry>
ClaudeCodeAdapter::get_telemetry_for_session(const stdfs::path& repo_root,
                                             const std::optional<std::string>& session_id) const
{
  auto id = session_id && !session_id->empty() ? session_id : get_session_id(repo_root);
  if (!id || !is_safe_session_id(*id)) {
    return std::nullopt;
  }
  const auto files = find_session_files(*id);
  if (files.main.empty() && files.subagents.empty()) {
    return std::nullopt;
  }
  std::vector<std::shared_ptr<const ClaudeDigest>> keep;
  const auto mains = digests_of(files.main, keep);
  const auto subagents = digests_of(files.subagents, keep);
  return contracts::AgentTelemetry(claude_telemetry_of(mains, subagents, *id));
}

contracts::CommitClaims
ClaudeCodeAdapter::commit_claims(const stdfs::path& repo_root,
                                 const std::vector<std::string>& shas,
                                 std::optional<double> since,
                                 const contracts::CommitTimes& commit_times) const
{
  CommitEvidence evidence(shas, commit_times);
  if (evidence.empty()) {
    return {};
  }
  // Transcripts last written before the oldest commit cannot show it.
  return find_commit_claims(session_files_in(repo_project_dirs(repo_root), since),
                            claude_digest_cache(),
                            evidence,
                            session_in(RepoMatcher(repo_root)));
}

} // namespace kolvex::agents
