#pragma once

// aider: it sets no environment marker in the commands it runs and keeps no
// session, but it marks the commits it makes: " (aider)" appended to the author
// or committer name (the default of older versions), or a "Co-authored-by: aider
// (<model>) <noreply@aider.dev>" trailer (the default of newer ones).  Such a mark is
// proof that aider made the commit, so aider is named on it, without a session.
//
// Why without a session: aider's only other trace, .aider.chat.history.md in the
// repository, is one file for every run, whose "# aider chat started at <time>"
// headings are no id, whose runs interleave when two aider processes share the
// repository, and whose token lines are rounded ("12k sent"); nothing in it ties
// one commit to one run, so no telemetry is read from it.

#include "agents/harness.hpp"

#include <string>
#include <string_view>

namespace kolvex::agents {

// Whether one commit's author name, committer name and Co-authored-by trailer
// values (`trailers`, one per line) carry aider's mark.
[[nodiscard]] bool
aider_marked(std::string_view author, std::string_view committer, std::string_view trailers);

// Its instruction file is the first Markdown file .aider.conf.yml names under
// "read"; it has no skills and no per-repository tool servers.
class AiderAdapter final : public HarnessAdapter {
public:
  AiderAdapter();
  // Asks git for the commit's names and trailers.  Throws std::system_error when
  // git cannot be run.
  [[nodiscard]] bool marks_commit(const std::filesystem::path& repo_root,
                                  const std::string& sha) const override;
  // Every one of `shas` aider marked, claimed with proof by aider without a
  // session ("" as the session id); one git process for the whole batch.
  [[nodiscard]] contracts::CommitClaims
  commit_claims(const std::filesystem::path& repo_root,
                const std::vector<std::string>& shas,
                std::optional<double> since,
                const contracts::CommitTimes& commit_times) const override;
};

// The registry's instance.
[[nodiscard]] const HarnessAdapter& aider_adapter();

} // namespace kolvex::agents
