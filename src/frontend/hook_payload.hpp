#pragma once

// The JSON payload a harness hands a hook on standard input.  Part of
// services.shared.  A hook runs after every tool call an agent makes, so reading
// the payload must never stall the agent: the read is bounded in size and in time,
// and whatever goes wrong yields "no payload", never an error.

#include "core/value.hpp"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace kolvex::services::shared {

// How much a hook reads and how long it waits for it.
struct PayloadLimits {
  // A harness payload carries one tool call with its captured output, which
  // Claude Code cuts far below this; anything larger is not a payload we act on.
  std::size_t max_bytes = std::size_t{16} << 20;
  // A harness writes the payload at once and closes the pipe.  A writer that goes
  // quiet this long without closing has said all it will.
  std::chrono::milliseconds idle{500};
  // The whole read, however the bytes trickle in.
  std::chrono::milliseconds total{2000};
};

// The bytes of the payload on descriptor `fd`, read under `limits`: nullopt when
// `fd` is a terminal or closed, a read fails, or the payload exceeds
// `limits.max_bytes`; what arrived so far when the writer goes idle or time runs
// out.  For callers that can rule a payload out before parsing it.  Never throws.
[[nodiscard]] std::optional<std::string> read_hook_input_from(int fd,
                                                              const PayloadLimits& limits = {});

// The JSON value read from descriptor `fd` (any JSON value; callers check the
// shape), or null when `fd` is a terminal, closed, empty, larger than
// `limits.max_bytes`, not JSON, or not complete within the time limits (a payload
// whose writer keeps the pipe open is parsed as it stands after `limits.idle`).
// Never throws, never blocks past `limits.total`.
[[nodiscard]] core::Value read_hook_payload_from(int fd, const PayloadLimits& limits = {});

// read_hook_payload_from on standard input with the default limits.
[[nodiscard]] core::Value read_hook_payload();

// read_hook_input_from on standard input with the default limits.
[[nodiscard]] std::optional<std::string> read_hook_input();

} // namespace kolvex::services::shared
