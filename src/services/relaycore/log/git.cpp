#include "services/relaycore/log/git.hpp"

#include "core/process.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>

namespace kolvex::services::relaycore::log {

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
  // is simple enough that a regex engine would only add cost.  A table and no
  // early exit: the digits of a sha are random, and a branch on each would be
  // mispredicted half the time (a quarter of the time of counting a 100,000-line
  // log went there).
  static constexpr auto k_lower_hex = [] {
    std::array<bool, 256> table{};
    for (char c = '0'; c <= '9'; ++c) {
      table[static_cast<unsigned char>(c)] = true;
    }
    for (char c = 'a'; c <= 'f'; ++c) {
      table[static_cast<unsigned char>(c)] = true;
    }
    return table;
  }();
  if (value.size() != 40 && value.size() != 64) {
    return false;
  }
  bool hex = true;
  for (const char c : value) {
    hex &= k_lower_hex[static_cast<unsigned char>(c)];
  }
  return hex;
}

} // namespace kolvex::services::relaycore::log
