#pragma once

// `kolvex attest add`: one commit recorded after the fact per call.  Three modes,
// chosen from the options: the harness's post-tool row (--from-hook, see
// hook_row.hpp), attaching the pending attestation to a commit already recorded
// without one (--commit alone, after the row's nudge), and backfilling a commit an
// agent session made before kolvex was set up (--commit, --session, --task-type).

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace kolvex::commands::attest {

// The subcommand's options; an absent optional is an option not given (an empty
// text counts as given).
struct AddOptions {
  std::optional<std::string> commit;
  std::optional<std::string> session_id;
  std::optional<std::string> task_type;
  bool from_hook = false;
  std::optional<std::string> agent;
  bool user_level = false; // accepted from user-level rows; changes nothing
};

// Runs `attest add` with `options` in the current directory's repository and
// returns the exit status: 0 when recorded, attached or already recorded (and
// always in hook mode), 1 when the record or the attach was refused.  Throws
// CLI::ValidationError for a usage error; errors of the repository lookup
// propagate.
[[nodiscard]] int attest_add(const AddOptions& options);

// Adds `add` to the `attest` group `group`.  A refused record leaves the parse with
// CLI::RuntimeError carrying the exit status.
void register_attest_add(CLI::App& group);

} // namespace kolvex::commands::attest
