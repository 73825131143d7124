#include "services/git_author.hpp"

#include "core/process.hpp"
#include "core/text.hpp"

#include <chrono>
#include <string>

namespace kolvex::services::shared {

namespace {

// The value of one git configuration key, or "" when unset or git fails.
std::string git_config(const std::filesystem::path& repo_root, const std::string& key)
{
  core::process::Options options;
  options.cwd = repo_root;
  options.timeout = std::chrono::seconds(10);
  const auto result = core::process::run({"git", "config", key}, options);
  if (result.exit_code != 0 || result.timed_out) {
    return {};
  }
  return std::string(core::text::trim(core::process::decode_replace(result.out)));
}

} // namespace

core::Map detect_git_author(const std::filesystem::path& repo_root)
{
  core::Map author;
  if (auto name = git_config(repo_root, "user.name"); !name.empty()) {
    author.set("git_author_name", core::Value(std::move(name)));
  }
  if (auto email = git_config(repo_root, "user.email"); !email.empty()) {
    author.set("git_author_email", core::Value(std::move(email)));
  }
  return author;
}

} // namespace kolvex::services::shared
