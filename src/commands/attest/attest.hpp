#pragma once

// The `attest` command group: before a commit, an agent declares what the staged
// change is, and the group writes the pending attestation that the commit hooks
// file under that commit.

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace kolvex::commands::attest {

// The group's options, in the order the help shows them; an absent optional is a
// flag not given (an empty text counts as given).
struct AttestOptions {
  bool show_example = false;
  std::optional<std::string> staged_diff_hash;
  std::optional<std::string> agent;
  std::optional<std::string> provider;
  std::optional<std::string> model;
  std::optional<std::string> summary;
  std::optional<std::string> agent_id;
  std::optional<std::string> rules;
  std::optional<std::string> arch_changes;
  std::optional<std::string> provenance;
  std::optional<std::string> task_type;
  std::optional<std::string> timestamp;
  bool no_verify = false;
};

// The group's own action, run in the current directory's repository.  Returns at
// once with 0 when `subcommand_named`; otherwise returns the exit status: 0 when the
// pending file was written (or the example printed), 1 when a check failed.  Errors
// of the repository queries (services::shared) and of the file system propagate.
[[nodiscard]] int attest(bool subcommand_named, const AttestOptions& options);

// Adds the `attest` group to the front end's `app`.  A failed check leaves the parse
// with CLI::RuntimeError carrying the exit status.
void register_attest(CLI::App& app);

} // namespace kolvex::commands::attest
