#include "agents/aider.hpp"

#include "core/fs.hpp"
#include "core/git_repo.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"

namespace kolvex::agents {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger k_log("kolvex.agents.aider");

// A configuration larger than this is not one we read.
constexpr std::size_t k_max_config_bytes = 4U << 20;

// The first Markdown file aider's configuration reads ("read: CONVENTIONS.md" or a
// list), when it is a plain relative path.
std::optional<stdfs::path> aider_conventions(const stdfs::path& repo_root)
{
  core::Value config;
  try {
    const core::fs::Confined at{repo_root, ".aider.conf.yml"};
    if (!core::fs::stat_regular(at)) {
      return std::nullopt;
    }
    config = core::yaml::load(core::fs::read_text(at, k_max_config_bytes));
  } catch (const std::exception& e) {
    k_log.debug_exception("reading .aider.conf.yml failed (best-effort)", e);
    return std::nullopt;
  }
  const core::Value* read = config.get("read");
  core::List names;
  if (read != nullptr && read->is_string()) {
    names.push_back(*read);
  } else if (read != nullptr && read->is_list()) {
    names = read->as_list();
  }
  for (const core::Value& name : names) {
    if (!name.is_string() || !name.as_string().ends_with(".md")) {
      continue;
    }
    const stdfs::path rel = stdfs::path(name.as_string()).lexically_normal();
    if (!rel.is_absolute() && !rel.empty() && *rel.begin() != "..") {
      return rel;
    }
  }
  return std::nullopt;
}

constexpr std::string_view k_aliases[] = {"aider-chat"};
constexpr std::string_view k_repo_markers[] = {".aider.conf.yml", ".aider.chat.history.md"};
constexpr Harness k_aider{
    .name = "aider",
    .provider = std::nullopt,
    .aliases = k_aliases,
    .repo_markers = k_repo_markers,
    .instruction_file = InstructionFile{.path = "", .locate = aider_conventions},
    .tool_server = std::nullopt,
    .install = InstallProbe{.home_env = nullptr, .home_dir = "", .program = "aider"},
    .skills = std::nullopt,
    .env_markers = std::span<const EnvMarker>(),
};

constexpr std::string_view k_name_mark = " (aider)";
constexpr std::string_view k_trailer_start = "aider (";
constexpr std::string_view k_trailer_end = ") <noreply@aider.dev>";

// One record per commit: sha, author name, committer name, then the values of its
// Co-authored-by trailers separated by US; fields by NUL, records ended by RS.
const char* const k_format =
    "--format=%H%x00%an%x00%cn%x00%(trailers:key=Co-authored-by,valueonly,separator=%x1f)%x1e";

// The shas among the records of `output` that aider marked.
std::vector<std::string> marked_in(std::string_view output)
{
  std::vector<std::string> marked;
  for (auto record : core::text::split(output, '\x1e')) {
    const auto fields = core::text::split(core::text::trim(record), '\0');
    if (fields.size() >= 3 &&
        aider_marked(fields[1], fields[2], fields.size() > 3 ? fields[3] : std::string())) {
      marked.push_back(fields[0]);
    }
  }
  return marked;
}

std::vector<std::string> marked_commits(const std::filesystem::path& repo_root,
                                        const std::vector<std::string>& shas)
{
  std::vector<std::string> argv{"git", "show", "-s", k_format};
  argv.insert(argv.end(), shas.begin(), shas.end());
  core::process::Options options;
  options.cwd = repo_root;
  const auto result = core::process::run(argv, options);
  if (result.exit_code != 0) {
    return {};
  }
  return marked_in(result.out);
}

} // namespace

bool aider_marked(std::string_view author, std::string_view committer, std::string_view trailers)
{
  if (author.ends_with(k_name_mark) || committer.ends_with(k_name_mark)) {
    return true;
  }
  for (const auto& value : core::text::split(trailers, '\x1f')) {
    const auto trimmed = core::text::trim(value);
    if (trimmed.starts_with(k_trailer_start) && trimmed.ends_with(k_trailer_end)) {
      return true;
    }
  }
  return false;
}

AiderAdapter::AiderAdapter() : HarnessAdapter(k_aider) {}

const HarnessAdapter& aider_adapter()
{
  static const AiderAdapter adapter;
  return adapter;
}

bool AiderAdapter::marks_commit(const std::filesystem::path& repo_root,
                                const std::string& sha) const
{
  // Every mark holds one of these words as the commit stores it, so a commit read
  // whole without them is not aider's and git need not be asked (this runs on
  // every commit hook).
  if (const auto repo = core::git::open_plain(repo_root)) {
    const auto object = core::git::read_loose_object(*repo, sha);
    if (object && object->starts_with("commit ") && object->find("(aider)") == std::string::npos &&
        object->find("noreply@aider.dev") == std::string::npos) {
      return false;
    }
  }
  const auto marked = marked_commits(repo_root, {sha});
  return marked.size() == 1 && marked.front() == sha;
}

contracts::CommitClaims AiderAdapter::commit_claims(const std::filesystem::path& repo_root,
                                                    const std::vector<std::string>& shas,
                                                    std::optional<double>,
                                                    const contracts::CommitTimes&) const
{
  contracts::CommitClaims claims;
  if (shas.empty()) {
    return claims;
  }
  for (auto& sha : marked_commits(repo_root, shas)) {
    claims[sha].push_back({"", contracts::ClaimKind::proof});
  }
  return claims;
}

} // namespace kolvex::agents
