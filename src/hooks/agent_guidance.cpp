#include "hooks/agent_guidance.hpp"

#include "agents/registry.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"

#include <system_error>

namespace kolvex::hooks::agent_guidance {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger k_log("kolvex.hooks.agent_guidance");

// Instruction files are the user's; a larger one is not one we edit.
constexpr std::size_t k_max_instruction_bytes = 4U << 20;
constexpr std::size_t k_max_skill_summary = 160;

// Whether the repository uses `harness`: its files are there or the local
// configuration names it.
bool uses_agent(const stdfs::path& repo_root, const agents::Harness& harness)
{
  if (agents::used_in(harness, repo_root)) {
    return true;
  }
  try {
    for (const std::string& name :
         services::shared::configured_agents(services::shared::load_local_config(repo_root))) {
      if (agents::normalize_agent_name(name) == *harness.name) {
        return true;
      }
    }
  } catch (const std::exception& e) {
    k_log.debug_exception("reading the configured agents failed (best-effort)", e);
  }
  return false;
}

// Where the instruction file `rel` really is: itself, or, when it is a link, its
// target as long as that lies inside the repository (CLAUDE.md -> AGENTS.md is a
// common arrangement); nullopt for a link out of the repository.
std::optional<core::fs::Confined> instruction_target(const stdfs::path& repo_root,
                                                     const stdfs::path& rel)
{
  std::error_code ec;
  if (!stdfs::is_symlink(repo_root / rel, ec)) {
    return core::fs::Confined{repo_root, rel};
  }
  const stdfs::path root = stdfs::weakly_canonical(repo_root, ec);
  const stdfs::path target = ec ? stdfs::path() : stdfs::weakly_canonical(repo_root / rel, ec);
  const stdfs::path inside = target.lexically_relative(root);
  if (ec || inside.empty() || inside == "." || *inside.begin() == "..") {
    k_log.warning("Not writing kolvex guidance through " + (repo_root / rel).string() +
                  ": it links outside the repository");
    return std::nullopt;
  }
  return core::fs::Confined{root, inside};
}

// `text`'s first line, trimmed and cut to k_max_skill_summary bytes on a character
// boundary.
std::string summary_of(std::string_view text)
{
  std::string_view line = text.substr(0, text.find_first_of("\r\n"));
  line = core::text::trim(line);
  if (line.size() > k_max_skill_summary) {
    std::size_t cut = k_max_skill_summary;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    line = line.substr(0, cut);
  }
  return std::string(line);
}

// The repository-relative form of a cache location, for the block's text.
std::string shown(const stdfs::path& location)
{
  return location.generic_string();
}

// Each line of `text` with the position it starts at and where the next begins.
struct LineSpan {
  std::size_t begin;
  std::size_t next;
  std::string_view content; // without its line end
};

std::vector<LineSpan> line_spans(std::string_view text)
{
  std::vector<LineSpan> spans;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t nl = text.find('\n', pos);
    const std::size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view content = text.substr(pos, next - pos);
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
      content.remove_suffix(1);
    }
    spans.push_back({pos, next, content});
    pos = next;
  }
  return spans;
}

bool opens_with(std::string_view line, std::string_view marker_line)
{
  // The marker's own text up to its first space: "<!-- kolvex:begin".
  const std::string_view marker = marker_line.substr(0, marker_line.find(' ', 5));
  return core::text::trim(line).starts_with(marker);
}

} // namespace

std::string _extract_slug(const core::Value& skill)
{
  return agents::skills::extract_slug(skill);
}

std::string _validate_slug(const core::Value& slug, std::string_view source)
{
  return agents::skills::validate_slug(slug, source);
}

std::string _build_skill_file(const core::Value& skill, SkillFormat fmt)
{
  return agents::skills::build_skill_file(skill, fmt);
}

void write_rule_skills(const stdfs::path& repo_root, const core::List& skills)
{
  for (const agents::Harness* harness : agents::harnesses()) {
    const auto& folder = *harness->skills;
    if (folder && folder->format != SkillFormat::skill_md && uses_agent(repo_root, *harness)) {
      agents::skills::write_skill_files(repo_root, folder->dir, skills, folder->format);
    }
  }
}

std::vector<std::string> detect_agents(const stdfs::path& repo_root)
{
  std::vector<std::string> found;
  for (const agents::Harness* harness : agents::harnesses()) {
    if (agents::used_in(*harness, repo_root)) {
      found.emplace_back(*harness->name);
    }
  }
  return found;
}

std::optional<stdfs::path> instruction_file(const stdfs::path& repo_root, std::string_view agent)
{
  const agents::Harness* harness = agents::find_harness(agent);
  if (harness == nullptr) {
    return std::nullopt;
  }
  return agents::instruction_file_in(*harness, repo_root);
}

std::string _guidance_block(std::string_view project_id,
                            const std::optional<core::List>& skills,
                            std::string_view line_end)
{
  const stdfs::path none;
  std::vector<std::string> lines{
      std::string(k_block_begin),
      "## kolvex",
      "",
      "Commits in this repository are recorded by kolvex (project " + std::string(project_id) +
          ").",
      "",
      "- Before each commit, attest it: `kolvex attest --staged-diff-hash \"$(git diff --staged "
      "| shasum -a 256 | cut -d' ' -f1)\" --model <model> --summary \"<what changed and why>\"` "
      "(`kolvex attest --example` shows every field).",
      "- Read the project's rules in `" + shown(paths::rules_file(none)) +
          "`, its architecture in `" + shown(paths::state_file(none)) + "`, its specs in `" +
          shown(paths::specs_dir(none)) + "/` and its docs in `" +
          shown(paths::guidance_dir(none)) +
          "/` before changing code, and name the rules you followed when you attest.",
  };
  std::vector<std::string> skill_lines;
  for (const core::Value& skill : skills.value_or(core::List{})) {
    try {
      const std::string slug = agents::skills::extract_slug(skill);
      const std::string description = summary_of(skill.get_string("description").value_or(""));
      skill_lines.push_back("- `" + slug + "`" + (description.empty() ? "" : ": " + description));
    } catch (const UnsafeSlugError&) {
      // Not written anywhere, so not announced either.
    }
  }
  if (!skill_lines.empty()) {
    lines.emplace_back("");
    lines.emplace_back("Project skills:");
    lines.insert(lines.end(), skill_lines.begin(), skill_lines.end());
  }
  lines.emplace_back(k_block_end);
  std::string block;
  for (const std::string& line : lines) {
    block += line;
    block += line_end;
  }
  return block;
}

std::optional<std::string> _rewrite_marked_block(std::string_view text, std::string_view block)
{
  const std::vector<LineSpan> spans = line_spans(text);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (!opens_with(spans[i].content, k_block_begin)) {
      continue;
    }
    for (std::size_t j = i + 1; j < spans.size(); ++j) {
      if (opens_with(spans[j].content, k_block_end)) {
        std::string out(text.substr(0, spans[i].begin));
        out += block;
        out += text.substr(spans[j].next);
        return out;
      }
    }
    return std::nullopt;
  }
  std::string out(text);
  if (!out.empty()) {
    if (!out.ends_with('\n')) {
      out += text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    }
    out += text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  }
  out += block;
  return out;
}

bool write_agent_guidance(const stdfs::path& repo_root,
                          std::string_view agent,
                          std::string_view project_id,
                          const std::optional<core::List>& skills)
{
  const std::optional<stdfs::path> rel = instruction_file(repo_root, agent);
  if (!rel) {
    k_log.debug("No instruction file for agent " + std::string(agent));
    return false;
  }
  const std::optional<core::fs::Confined> at = instruction_target(repo_root, *rel);
  if (!at) {
    return false;
  }
  const std::optional<struct ::stat> st = core::fs::stat_regular(*at);
  const std::string text = st ? core::fs::read_bytes(*at, k_max_instruction_bytes) : std::string();
  // Written in the file's own line ends, so that a CRLF file stays one.
  const std::string_view line_end = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  const std::optional<std::string> updated =
      _rewrite_marked_block(text, _guidance_block(project_id, skills, line_end));
  if (!updated) {
    k_log.warning(at->full().string() + ": the kolvex block has no end line (" +
                  std::string(k_block_end) + "); left as it is");
    return false;
  }
  if (*updated == text) {
    return false;
  }
  core::fs::atomic_replace(*at, *updated, st ? (st->st_mode & 07777) : 0644);
  return true;
}

} // namespace kolvex::hooks::agent_guidance
