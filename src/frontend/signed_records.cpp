#include "frontend/signed_records.hpp"

#include "services/relaycore/sync/note_signing.hpp"
#include "services/relaycore/sync/notes.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

namespace kolvex::commands {

namespace rsync = services::relaycore::sync;

std::unordered_map<std::string, SignedRecord>
signed_records(const std::filesystem::path& repo_root,
               const std::unordered_set<std::string>& commits)
{
  std::unordered_map<std::string, SignedRecord> found;
  for (const std::string& commit : commits) {
    found[commit].problem = "no note";
  }
  auto notes = rsync::read_note_versions(repo_root, commits);
  rsync::SignatureChecker checker(repo_root);
  for (auto& [commit, versions] : notes) {
    // The version the log would show is tried first; a merged note may also hold an
    // older or a teammate's version, and only a signed one counts.
    std::vector<std::size_t> order(versions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_partition(
        order.begin(), order.end(), [best = rsync::best_version(versions)](std::size_t i) {
          return i == best;
        });
    SignedRecord& result = found[commit];
    result.problem.clear();
    for (const std::size_t i : order) {
      const rsync::SignatureCheck check = checker.check(versions[i]);
      if (check.verdict == rsync::SignatureVerdict::good) {
        result.record = std::move(versions[i].record);
        result.problem.clear();
        break;
      }
      if (result.problem.empty()) {
        result.problem = check.detail;
      }
    }
  }
  return found;
}

} // namespace kolvex::commands
