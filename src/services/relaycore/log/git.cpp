#include "services/relaycore/log/git.hpp"

#include "core/process.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

namespace kolvex::services::relaycore::log {

core::process::Result _git_result(std::vector<std::string> args,
                                  const std::filesystem::path& repo_root,
                                  std::optional<std::string> input)
{
  args.insert(args.begin(), "git");
  core::process::Options options;
  options.cwd = repo_root;
  options.input = std::move(input);
  options.timeout = std::chrono::seconds(GIT_TIMEOUT_SECONDS);
  options.session = core::process::Session::new_group;
  return core::process::run(args, options);
}

std::string _git(const std::vector<std::string>& args,
                 const std::optional<std::filesystem::path>& cwd)
{
  std::vector<std::string> argv;
  argv.reserve(args.size() + 1);
  argv.emplace_back("git");
  argv.insert(argv.end(), args.begin(), args.end());

  core::process::Options options;
  options.cwd = cwd;
  options.timeout = std::chrono::seconds(GIT_TIMEOUT_SECONDS);
  // git may spawn helpers (hooks, pagers, credential helpers); killing the whole
  // group on time-out leaves none of them holding our pipes open.
  options.session = core::process::Session::new_group;
  try {
    const auto result = core::process::run(argv, options);
    if (result.timed_out || result.exit_code != 0) {
      return "";
    }
    return std::string(core::text::trim(core::process::decode_replace(result.out)));
  } catch (const std::exception&) {
    // git missing or not executable, `cwd` missing: no answer rather than an error.
    return "";
  }
}

std::string _git_rev_parse(const std::vector<std::string>& args,
                           const std::optional<std::filesystem::path>& cwd)
{
  std::vector<std::string> full;
  full.reserve(args.size() + 1);
  full.emplace_back("rev-parse");
  full.insert(full.end(), args.begin(), args.end());
  auto answer = _git(full, cwd);
  return answer.empty() ? std::string("unknown") : answer;
}

bool _is_valid_commit_hash(std::string_view value) noexcept
{
  // A hand check of GIT_HASH_RE: it runs on every log line read, and the pattern
  // is simple enough that a regex engine would only add cost.
  return core::text::is_object_name(value);
}

} // namespace kolvex::services::relaycore::log
