#include "services/relaycore/cache/sync_debug_log.hpp"

#include "core/clock.hpp"
#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "paths.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace kolvex::services::relaycore::cache {

bool kolvex_debug_enabled()
{
  return core::logging::debug_enabled();
}

std::optional<std::filesystem::path> _write_sync_debug_log(const paths::RepositoryHandle& repo,
                                                           std::string_view stage,
                                                           const std::exception& exc) noexcept
{
  try {
    const std::filesystem::path log_path = paths::sync_log(repo.root());
    const core::fs::Confined at = repo.at(log_path);
    core::fs::create_directories(at.parent());
    if (const auto st = core::fs::stat_regular(at);
        st && static_cast<std::size_t>(st->st_size) > k_sync_log_cap_bytes) {
      const std::string bytes = core::fs::read_bytes(at);
      core::fs::atomic_replace(
          at, std::string_view(bytes).substr(bytes.size() - k_sync_log_keep_bytes), 0600);
    }
    std::string record =
        "\n--- " + core::clock::utc_now_iso() + " stage=" + std::string(stage) + " ---\n";
    record += core::errors::report(exc);
    // One write of the whole record: it begins with its own blank line, so a torn
    // last line of an earlier record needs no repair.
    core::fs::Fd fd = core::fs::open_regular(at, O_WRONLY | O_APPEND | O_CREAT, 0600);
    core::fs::write_all(fd.get(), record, "cannot append to " + log_path.string());
    // A log written by an older version (or by hand) may have wider permissions;
    // stack traces name local paths, so it becomes the owner's alone.
    (void)::fchmod(fd.get(), 0600);
    if (const int err = fd.close_now(); err != 0) {
      return std::nullopt;
    }
    return log_path;
  } catch (...) {
    return std::nullopt;
  }
}

} // namespace kolvex::services::relaycore::cache
