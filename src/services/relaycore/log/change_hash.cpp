#include "services/relaycore/log/change_hash.hpp"

#include "core/fs.hpp"
#include "core/process.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/pending.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>
#include <unordered_set>

namespace kolvex::services::relaycore::log {

namespace {

namespace stdfs = std::filesystem;

std::string without_cr_before_lf(std::string_view bytes)
{
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;
    }
    out += bytes[i];
  }
  return out;
}

bool is_blank(std::string_view bytes)
{
  return core::text::trim(bytes).empty();
}

} // namespace

ChangeHashes change_hashes(std::string_view diff)
{
  const std::string lf_only = without_cr_before_lf(diff);
  ChangeHashes hashes{.lf_only = core::sha256_hex(lf_only), .raw = {}};
  hashes.raw = lf_only.size() == diff.size() ? hashes.lf_only : core::sha256_hex(diff);
  return hashes;
}

WholeTreeDiff whole_tree_diff(const stdfs::path& repo_root, const std::string& sha)
{
  const std::string_view empty_tree = sha.size() == 64 ? EMPTY_TREE_SHA256 : EMPTY_TREE_SHA1;
  auto diff = _git_result({"diff", std::string(empty_tree), sha}, repo_root);
  return {.diff = std::move(diff.out),
          .ok = !diff.timed_out && diff.exit_code == 0,
          .timed_out = diff.timed_out};
}

std::unordered_map<std::string, ChangeHashes>
commit_change_hashes(const stdfs::path& repo_root, const std::vector<std::string>& commits)
{
  std::unordered_map<std::string, ChangeHashes> found;
  if (commits.empty()) {
    return found;
  }
  std::string input;
  std::unordered_set<std::string> wanted;
  for (const std::string& sha : commits) {
    if (_is_valid_commit_hash(sha) && wanted.insert(sha).second) {
      input += sha;
      input += '\n';
    }
  }
  // Each commit's diff follows a line holding only its sha (--always prints that
  // line for an empty diff too); no diff line is a bare sha, as every one starts
  // with a header word or a ' ', '+', '-', '@' or '\\'.
  core::process::Result listed;
  try {
    listed = _git_result({"diff-tree", "--stdin", "--always", "-p", "-M"}, repo_root, input);
  } catch (const std::system_error&) {
    return found;
  }
  if (listed.timed_out || listed.exit_code != 0) {
    return found;
  }
  std::unordered_map<std::string, std::string_view> diffs;
  const std::string_view out = listed.out;
  std::string current;
  std::size_t start = 0;
  std::size_t at = 0;
  const auto close = [&](std::size_t end) {
    if (!current.empty()) {
      diffs[current] = out.substr(start, end - start);
    }
  };
  while (at < out.size()) {
    std::size_t end = out.find('\n', at);
    end = end == std::string_view::npos ? out.size() : end;
    const std::string line(out.substr(at, end - at));
    if (wanted.contains(line)) {
      close(at);
      current = line;
      start = std::min(end + 1, out.size());
    }
    at = end + 1;
  }
  close(out.size());
  for (const auto& [sha, diff] : diffs) {
    if (!is_blank(diff)) {
      found.emplace(sha, change_hashes(diff));
      continue;
    }
    try {
      const WholeTreeDiff whole = whole_tree_diff(repo_root, sha);
      if (whole.timed_out) {
        break;
      }
      if (whole.ok) {
        found.emplace(sha, change_hashes(whole.diff));
      }
    } catch (const std::system_error&) {
      continue;
    }
  }
  return found;
}

std::unordered_map<std::string, std::string>
commit_patch_ids(const stdfs::path& repo_root, const std::vector<std::string>& commits)
{
  std::unordered_map<std::string, std::string> ids;
  std::string input;
  for (const std::string& commit : commits) {
    if (_is_valid_commit_hash(commit)) {
      input += commit + "\n";
    }
  }
  if (input.empty()) {
    return ids;
  }
  try {
    const auto diffs = _git_result({"diff-tree", "--stdin", "-p"}, repo_root, input);
    if (diffs.timed_out || diffs.exit_code != 0) {
      return ids;
    }
    const auto listed = _git_result({"patch-id", "--stable"}, repo_root, diffs.out);
    if (listed.timed_out || listed.exit_code != 0) {
      return ids;
    }
    for (const std::string_view line : core::fs::splitlines(listed.out)) {
      const std::size_t space = line.find(' ');
      if (space != std::string_view::npos) {
        ids.emplace(std::string(line.substr(space + 1)), std::string(line.substr(0, space)));
      }
    }
  } catch (const std::system_error&) {
  }
  return ids;
}

} // namespace kolvex::services::relaycore::log
