#pragma once

// The local record of why a context refresh failed.  A refresh's result carries
// only the stage and the exception's class name; with KOLVEX_DEBUG on, the whole
// stack trace is appended to logs/sync.log in the cache, readable by its owner only.

#include "repository_handle.hpp"

#include <cstddef>
#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kolvex::services::relaycore::cache {

// A log larger than this is cut to its last k_sync_log_keep_bytes before a record
// is appended.
inline constexpr std::size_t k_sync_log_cap_bytes = 256000;
inline constexpr std::size_t k_sync_log_keep_bytes = 128000;

// True when KOLVEX_DEBUG, trimmed and lower-cased, is "1", "true", "yes" or "on";
// read on every call.
[[nodiscard]] bool kolvex_debug_enabled();

// Appends "\n--- <UTC time> stage=<stage> ---\n" and the report of `exc` (its
// trace, class name and message) to logs/sync.log of `repo`'s cache and makes
// the file mode 0600.  Returns the log's path once the record is written, nullopt
// on any failure; never throws.  Does not check the switch: callers do.
[[nodiscard]] std::optional<std::filesystem::path>
_write_sync_debug_log(const paths::RepositoryHandle& repo,
                      std::string_view stage,
                      const std::exception& exc) noexcept;

} // namespace kolvex::services::relaycore::cache
