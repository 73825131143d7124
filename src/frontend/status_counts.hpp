#pragma once

// The log's counts in the one shape `kolvex status --json` and the tool server's
// status both give.

#include "core/value.hpp"
#include "services/relaycore/log/attestation_log.hpp"

namespace kolvex::frontend {

// The log's counts as `kolvex status --json` prints them: "pending", "uploaded",
// "skipped", "unaddressable", "corrupt", "attested", "unattested".
[[nodiscard]] core::Map status_counts(const services::relaycore::log::AttestationLogCounts& log);

} // namespace kolvex::frontend
