#include "frontend/post_tool_due.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "utils/filelock.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kolvex::frontend {

namespace {

namespace stdfs = std::filesystem;

// The due file holds a few shas; anything longer is not ours.
constexpr std::size_t k_due_max_bytes = 64 << 10;
// How many commits wait for the row at most: a session whose harness runs no row
// must not grow the file without end.
constexpr std::size_t k_due_max_commits = 64;
// Two rows at once for one commit are rare; neither should wait long for the other.
constexpr double k_due_lock_seconds = 2.0;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.commands.attest.hook_row");
  return instance;
}

// The commits waiting in the due file of `repo_root`, oldest first.  An unreadable
// file holds none.
std::vector<std::string> read_due(const core::fs::Confined& at)
{
  std::vector<std::string> due;
  try {
    if (!core::fs::regular_file_exists(at)) {
      return due;
    }
    const std::string text = core::fs::read_text(at, k_due_max_bytes);
    for (const auto line : core::fs::splitlines(text)) {
      if (const auto sha = core::text::trim(line); core::text::is_object_name(sha)) {
        due.emplace_back(sha);
      }
    }
  } catch (const core::fs::UnsafePathError&) {
    throw;
  } catch (const std::exception& e) {
    logger().debug_exception("post-tool due file unreadable; starting afresh", e);
  }
  return due;
}

void write_due(const core::fs::Confined& at, const std::vector<std::string>& due)
{
  std::string text;
  for (const auto& sha : due) {
    text += sha + "\n";
  }
  core::fs::atomic_replace(at, text);
}

} // namespace

bool take_due(const paths::RepositoryHandle& repo, const std::string& commit)
{
  const core::fs::Confined at = repo.at(paths::post_tool_due(repo.root()));
  const auto lock = utils::filelock::locked(at, k_due_lock_seconds);
  std::vector<std::string> due = read_due(at);
  const auto found = std::find(due.begin(), due.end(), commit);
  if (found == due.end()) {
    return false;
  }
  due.erase(found);
  write_due(at, due);
  return true;
}

void _leave_for_row(const paths::RepositoryHandle& repo, const std::string& commit)
{
  const core::fs::Confined at = repo.at(paths::post_tool_due(repo.root()));
  const auto lock = utils::filelock::locked(at, k_due_lock_seconds);
  std::vector<std::string> due = read_due(at);
  if (std::find(due.begin(), due.end(), commit) != due.end()) {
    return;
  }
  due.push_back(commit);
  if (due.size() > k_due_max_commits) {
    due.erase(due.begin(), due.end() - static_cast<std::ptrdiff_t>(k_due_max_commits));
  }
  write_due(at, due);
}

} // namespace kolvex::frontend
