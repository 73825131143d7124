#include "services/git_author.hpp"

#include "core/git_repo.hpp"
#include "core/process.hpp"
#include "core/text.hpp"

#include <chrono>
#include <string>

namespace kolvex::services::shared {

namespace {

// The user.name and user.email git gives, "" for one it has none of.
struct Identity {
  std::string name;
  std::string email;
};

// Asks git for both keys in one process.  With -z each entry is "key\nvalue\0"; a key
// given several times resolves to its last value, as `git config <key>` does.
Identity ask_git(const std::filesystem::path& repo_root)
{
  Identity found;
  core::process::Options options;
  options.cwd = repo_root;
  options.timeout = std::chrono::seconds(10);
  const auto result =
      core::process::run({"git", "config", "-z", "--get-regexp", "^user\\.(name|email)$"}, options);
  if (result.exit_code == 0 && !result.timed_out) {
    const std::string out = core::process::decode_replace(result.out);
    for (const auto& entry : core::text::split(out, '\0')) {
      const auto newline = entry.find('\n');
      const std::string key = entry.substr(0, newline);
      const std::string value = newline == std::string::npos
                                    ? ""
                                    : std::string(core::text::trim(entry.substr(newline + 1)));
      if (key == "user.name") {
        found.name = value;
      } else if (key == "user.email") {
        found.email = value;
      }
    }
  }
  return found;
}

} // namespace

core::Map detect_git_author(const std::filesystem::path& repo_root)
{
  // This runs on every commit hook: a plain repository's configuration is read
  // here, decoded and trimmed as git's answer would be.
  const auto as_git_gives = [](const std::optional<std::string>& value) {
    return std::string(core::text::trim(core::process::decode_replace(value.value_or(""))));
  };
  std::string name;
  std::string email;
  if (const auto repo = core::git::open_plain(repo_root); repo && repo->user.plain) {
    name = as_git_gives(repo->user.name);
    email = as_git_gives(repo->user.email);
  } else {
    auto [asked_name, asked_email] = ask_git(repo_root);
    name = std::move(asked_name);
    email = std::move(asked_email);
  }
  core::Map author;
  if (!name.empty()) {
    author.set("git_author_name", core::Value(std::move(name)));
  }
  if (!email.empty()) {
    author.set("git_author_email", core::Value(std::move(email)));
  }
  return author;
}

} // namespace kolvex::services::shared
