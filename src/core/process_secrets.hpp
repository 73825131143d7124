#pragma once

// For the test suite only: its own helpers start kolvex and hand it the API key
// through the environment, which core::process::run otherwise keeps from every
// child.  kolvex itself never calls this.

namespace kolvex::core::process {

// Whether children get kolvex's secrets too (false unless set).
void pass_secrets_to_children(bool on);

} // namespace kolvex::core::process
