#include "hooks/agent_guidance.hpp"

#include "agents/registry.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"

#include <system_error>
#include <utility>

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

// Whether `line`, with the blanks around it, is the marker line `marker_line`:
// the end marker exactly, the begin marker as its opening words and a closing
// "-->" (its wording has changed between versions).  A marker inside a sentence is
// prose about kolvex, not a marker.
bool is_marker(std::string_view line, std::string_view marker_line)
{
  const std::string_view trimmed = core::text::trim(line);
  if (marker_line == k_block_end) {
    return trimmed == k_block_end;
  }
  // The marker's own text up to its first space: "<!-- kolvex:begin".
  const std::string_view opening = marker_line.substr(0, marker_line.find(' ', 5));
  if (!trimmed.starts_with(opening) || !trimmed.ends_with("-->")) {
    return false;
  }
  const std::string_view rest = trimmed.substr(opening.size());
  return rest.starts_with(' ') || rest.starts_with("-->");
}

// A fenced code block's opening line: up to three spaces, then three or more
// backticks or tildes (CommonMark).  Its character and length, which the closing
// fence must match.
struct Fence {
  char mark = 0;
  std::size_t length = 0;
};

std::optional<Fence> fence_of(std::string_view line)
{
  std::size_t indent = 0;
  while (indent < line.size() && line[indent] == ' ') {
    ++indent;
  }
  if (indent > 3 || indent == line.size() || (line[indent] != '`' && line[indent] != '~')) {
    return std::nullopt;
  }
  const char mark = line[indent];
  std::size_t length = 0;
  while (indent + length < line.size() && line[indent + length] == mark) {
    ++length;
  }
  if (length < 3) {
    return std::nullopt;
  }
  // A backtick fence's info string holds no backtick.
  if (mark == '`' && line.find('`', indent + length) != std::string_view::npos) {
    return std::nullopt;
  }
  return Fence{mark, length};
}

bool closes(const Fence& open, std::string_view line)
{
  const std::optional<Fence> fence = fence_of(line);
  if (!fence || fence->mark != open.mark || fence->length < open.length) {
    return false;
  }
  const std::string_view rest = core::text::trim(line);
  return rest.find_first_not_of(open.mark) == std::string_view::npos;
}

// Whether each line of `spans` lies outside fenced code (a fence line itself is
// inside).  A fence left open runs to the end of the file, as Markdown renders it,
// and is given in `open_at_end`.
std::vector<bool> outside_code(const std::vector<LineSpan>& spans,
                               std::optional<Fence>& open_at_end)
{
  std::vector<bool> outside(spans.size(), true);
  std::optional<Fence> open;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (open) {
      outside[i] = false;
      if (closes(*open, spans[i].content)) {
        open.reset();
      }
    } else if ((open = fence_of(spans[i].content))) {
      outside[i] = false;
    }
  }
  open_at_end = open;
  return outside;
}

constexpr std::string_view k_bom = "\xEF\xBB\xBF";

// [begin line, end line] of each whole block outside code in `spans`, in order;
// nullopt when the first block opens and never closes.  `open_fence` is set to a
// fence the text leaves open.
std::optional<std::vector<std::pair<std::size_t, std::size_t>>>
marked_blocks(const std::vector<LineSpan>& spans, std::optional<Fence>& open_fence)
{
  const std::vector<bool> outside = outside_code(spans, open_fence);
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (!outside[i] || !is_marker(spans[i].content, k_block_begin)) {
      continue;
    }
    std::size_t j = i + 1;
    while (j < spans.size() && !(outside[j] && is_marker(spans[j].content, k_block_end))) {
      ++j;
    }
    if (j == spans.size()) {
      if (blocks.empty()) {
        return std::nullopt;
      }
      break;
    }
    blocks.emplace_back(i, j);
    i = j;
  }
  return blocks;
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

std::optional<std::string>
_rewrite_marked_block(std::string_view text, std::string_view block, std::size_t* duplicates)
{
  // A byte-order mark is the file's, not its first line's: kept where it is, and
  // a marker right after it is still a marker.
  const std::string_view bom = text.starts_with(k_bom) ? k_bom : std::string_view();
  const std::string_view body = text.substr(bom.size());
  const std::vector<LineSpan> spans = line_spans(body);
  std::optional<Fence> open_fence;
  const auto found = marked_blocks(spans, open_fence);
  if (!found) {
    return std::nullopt;
  }
  const auto& blocks = *found;
  if (duplicates != nullptr) {
    *duplicates = blocks.empty() ? 0 : blocks.size() - 1;
  }
  std::string out(bom);
  if (!blocks.empty()) {
    // Only the first block is refreshed; a later copy may hold what the user wrote
    // into it, so it stays for them to remove.
    out += body.substr(0, spans[blocks.front().first].begin);
    out += block;
    out += body.substr(spans[blocks.front().second].next);
    return out;
  }
  const std::string_view line_end = body.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  out += body;
  if (!body.empty() && !body.ends_with('\n')) {
    out += line_end;
  }
  if (open_fence) {
    // A block appended inside code the user left open would be code, and never
    // found again: the fence is closed where Markdown closed it anyway.
    out += std::string(open_fence->length, open_fence->mark);
    out += line_end;
  }
  if (!body.empty()) {
    out += line_end;
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
  std::size_t duplicates = 0;
  const std::optional<std::string> updated =
      _rewrite_marked_block(text, _guidance_block(project_id, skills, line_end), &duplicates);
  if (!updated) {
    k_log.warning(at->full().string() + ": the kolvex block has no end line (" +
                  std::string(k_block_end) + "); left as it is");
    return false;
  }
  if (duplicates > 0) {
    k_log.warning(at->full().string() + " holds the kolvex block " +
                  std::to_string(duplicates + 1) +
                  " times; only the first is kept up to date. Remove the others (from " +
                  std::string(k_block_begin.substr(0, k_block_begin.find(' ', 5))) + " to " +
                  std::string(k_block_end) + ")");
  }
  if (*updated == text) {
    return false;
  }
  core::fs::atomic_replace(*at, *updated, st ? (st->st_mode & 07777) : 0644);
  return true;
}

std::optional<std::string> _remove_marked_block(std::string_view text)
{
  const std::string_view bom = text.starts_with(k_bom) ? k_bom : std::string_view();
  const std::string_view body = text.substr(bom.size());
  const std::vector<LineSpan> spans = line_spans(body);
  std::optional<Fence> open_fence;
  const auto blocks = marked_blocks(spans, open_fence);
  if (!blocks || blocks->empty()) {
    return std::nullopt;
  }
  const std::size_t begin = spans[blocks->front().first].begin;
  const std::size_t end = spans[blocks->front().second].next;
  std::string before(body.substr(0, begin));
  if (end == body.size()) {
    // An appended block came after a blank line of kolvex's.
    const std::string_view line_end = body.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    const std::string blank = std::string(line_end) + std::string(line_end);
    if (before.ends_with(blank)) {
      before.resize(before.size() - line_end.size());
    } else if (before == line_end) {
      before.clear();
    }
  }
  return std::string(bom) + before + std::string(body.substr(end));
}

GuidanceRemoval remove_agent_guidance(const stdfs::path& repo_root, std::string_view agent)
{
  GuidanceRemoval removal;
  const std::optional<stdfs::path> rel = instruction_file(repo_root, agent);
  if (!rel) {
    return removal;
  }
  removal.file = repo_root / *rel;
  const std::optional<core::fs::Confined> at = instruction_target(repo_root, *rel);
  if (!at) {
    return removal;
  }
  const std::optional<struct ::stat> st = core::fs::stat_regular(*at);
  if (!st) {
    return removal;
  }
  const std::string text = core::fs::read_bytes(*at, k_max_instruction_bytes);
  const std::optional<std::string> kept = _remove_marked_block(text);
  if (!kept) {
    return removal;
  }
  if (kept->empty()) {
    core::fs::remove_file(*at);
    removal.action = GuidanceRemoval::Action::deleted;
  } else {
    core::fs::atomic_replace(*at, *kept, st->st_mode & 07777);
    removal.action = GuidanceRemoval::Action::updated;
  }
  removal.file = at->full();
  return removal;
}

} // namespace kolvex::hooks::agent_guidance
