#include "frontend/revision_range.hpp"

#include "core/fs.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "services/relaycore/log/git.hpp"

#include <CLI/CLI.hpp>

#include <chrono>
#include <stdexcept>

namespace kolvex::commands {

namespace {

namespace stdfs = std::filesystem;
namespace rlog = services::relaycore::log;

// Without an upstream, the range is this many of the newest commits of HEAD.
constexpr int k_default_count = 20;

// The revision arguments of the range: the one given, else the branch's commits not
// on its upstream, else the newest commits of HEAD.  `shown` says which in words.
std::vector<std::string>
range_arguments(const stdfs::path& root, const std::string& given, std::string& shown)
{
  if (!given.empty()) {
    // Never an option for git: "--output=..." would write a file.
    if (given.front() == '-') {
      throw CLI::ValidationError("'" + given + "' is not a revision range");
    }
    shown = given;
    return {given};
  }
  const std::string upstream =
      rlog::_git({"rev-parse", "--abbrev-ref", "--symbolic-full-name", "@{upstream}"}, root);
  if (!upstream.empty()) {
    shown = upstream + "..HEAD";
    return {"@{upstream}..HEAD"};
  }
  shown = "the last " + std::to_string(k_default_count) + " commits of HEAD";
  return {"-n", std::to_string(k_default_count), "HEAD"};
}

// The commits of the range, newest first, with their subjects: one git question.
std::vector<RangeCommit> commits_in(const stdfs::path& root, const std::vector<std::string>& range)
{
  std::vector<std::string> argv{"git", "log", "--no-show-signature", "--format=%H %s"};
  argv.insert(argv.end(), range.begin(), range.end());
  argv.emplace_back("--");
  core::process::Options options;
  options.cwd = root;
  options.timeout = std::chrono::seconds(120);
  const core::process::Result result = core::process::run(argv, options);
  if (result.exit_code != 0) {
    std::string why(core::text::trim(core::process::decode_replace(result.err)));
    if (result.timed_out) {
      why = "git took too long";
    }
    throw std::runtime_error("git cannot list the commits of that range" +
                             (why.empty() ? std::string() : ": " + why));
  }
  std::vector<RangeCommit> rows;
  const std::string listing = core::process::decode_replace(result.out);
  for (const std::string_view line : core::fs::splitlines(listing)) {
    const std::size_t space = line.find(' ');
    RangeCommit row;
    row.commit = std::string(line.substr(0, space));
    row.subject = space == std::string_view::npos ? "" : std::string(line.substr(space + 1));
    if (rlog::_is_valid_commit_hash(row.commit)) {
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

} // namespace

RevisionRange list_range(const stdfs::path& root, const std::string& given)
{
  RevisionRange range;
  if (given.empty() && rlog::_git({"rev-parse", "--verify", "--quiet", "HEAD"}, root).empty()) {
    // A repository without a commit yet: nothing to list, and git's "bad revision"
    // would only puzzle.
    range.shown = "this repository (it has no commit yet)";
    return range;
  }
  range.commits = commits_in(root, range_arguments(root, given, range.shown));
  return range;
}

} // namespace kolvex::commands
