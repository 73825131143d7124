#include "services/repository.hpp"

#include "core/git_repo.hpp"
#include "core/process.hpp"
#include "core/sha256.hpp"

#include <chrono>
#include <system_error>

namespace kolvex::services::shared {

namespace {

// Long enough for the staged diff of a large change on a slow disk; a git that takes
// longer is waiting on something (a lock) and we would rather say so.
constexpr std::chrono::seconds k_diff_timeout{120};
constexpr std::chrono::seconds k_query_timeout{10};

std::filesystem::path working_dir(const std::optional<std::filesystem::path>& cwd)
{
  return cwd ? *cwd : std::filesystem::current_path();
}

std::string first_line(std::string_view text)
{
  const auto end = text.find('\n');
  return std::string(text.substr(0, end));
}

} // namespace

std::filesystem::path get_repo_root(const std::optional<std::filesystem::path>& cwd)
{
  const auto dir = working_dir(cwd);
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    throw NotARepository("Not a git repository: " + dir.string() + " is not a directory");
  }
  // The hook runs at the top, where a plain repository's answer is on disk.
  if (const auto repo = core::git::open_plain(dir)) {
    return repo->top;
  }
  core::process::Options options;
  options.cwd = dir;
  options.timeout = k_query_timeout;
  const auto result = core::process::run({"git", "rev-parse", "--show-toplevel"}, options);
  if (result.timed_out) {
    throw GitCommandError("git rev-parse --show-toplevel did not answer within " +
                          std::to_string(k_query_timeout.count()) + " seconds");
  }
  // The path is taken as raw bytes: a work tree may live under a directory whose name
  // is not UTF-8, and git prints it unquoted.
  std::string top = result.out;
  if (!top.empty() && top.back() == '\n') {
    top.pop_back();
  }
  if (result.exit_code != 0 || top.empty()) {
    throw NotARepository("Not a git repository (or not inside its work tree): " + dir.string() +
                         ". Run kolvex from your project's directory.");
  }
  return {top};
}

std::string get_staged_diff_hash(const std::optional<std::filesystem::path>& cwd)
{
  const auto root = get_repo_root(cwd);
  // Deliberately a plain `git diff --staged`, with the user's configuration and
  // environment and with stdout a pipe, exactly as in the pipeline
  // `git diff --staged | shasum -a 256` that agents are told to run: any flag we
  // added (--no-color, --no-ext-diff, --src-prefix...) would change the bytes for a
  // user whose configuration sets the matching option, and the hashes would differ.
  core::process::Options options;
  options.cwd = root;
  options.timeout = k_diff_timeout;
  const auto result = core::process::run({"git", "diff", "--staged"}, options);
  if (result.timed_out) {
    throw GitCommandError("git diff --staged did not finish within " +
                          std::to_string(k_diff_timeout.count()) + " seconds");
  }
  if (result.exit_code != 0) {
    throw GitCommandError("git diff --staged failed: " + first_line(result.err));
  }
  return core::sha256_hex(result.out);
}

} // namespace kolvex::services::shared
