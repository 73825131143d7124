// The suite starts kolvex with the API key in its environment, as a user's shell
// does; kolvex's own children still go without it (ClonedRepoE2E checks).
#include "core/process_secrets.hpp"

namespace {

[[maybe_unused]] const bool k_passed = [] {
  kolvex::core::process::pass_secrets_to_children(true);
  return true;
}();

} // namespace
