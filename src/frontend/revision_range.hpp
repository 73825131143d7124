#pragma once

// The commits a command works on, given as a git revision range: what `kolvex log`
// and `kolvex notes write` take, with one default.

#include <filesystem>
#include <string>
#include <vector>

namespace kolvex::commands {

// One commit of a range.
struct RangeCommit {
  std::string commit;  // full sha
  std::string subject; // first line of its message
};

// The commits of a range, newest first, and how to name the range to the user.
struct RevisionRange {
  std::string shown;
  std::vector<RangeCommit> commits;
};

// Lists the commits of `given` in `root` with one git question; an empty `given`
// means the branch's commits not on its upstream, else the last 20 of HEAD.  Throws
// CLI::ValidationError for a range that starts with '-' (git would take it as an
// option) and std::runtime_error, with git's words, when git cannot list it.
[[nodiscard]] RevisionRange list_range(const std::filesystem::path& root, const std::string& given);

} // namespace kolvex::commands
