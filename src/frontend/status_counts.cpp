#include "frontend/status_counts.hpp"

namespace kolvex::frontend {

core::Map status_counts(const services::relaycore::log::AttestationLogCounts& log)
{
  return core::Map{{"pending", log.pending},
                   {"uploaded", log.uploaded},
                   {"skipped", log.skipped},
                   {"unaddressable", log.unaddressable},
                   {"corrupt", log.corrupt},
                   {"attested", log.attested},
                   {"unattested", log.unattested}};
}

} // namespace kolvex::frontend
