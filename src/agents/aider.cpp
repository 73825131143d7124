#include "agents/aider.hpp"

#include "core/process.hpp"
#include "core/text.hpp"

namespace kolvex::agents {

namespace {

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

bool AiderAdapter::marks_commit(const std::filesystem::path& repo_root,
                                const std::string& sha) const
{
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
