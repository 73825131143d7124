#include "services/relaycore/log/ledger_archive.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "paths.hpp"
#include "services/change_specs.hpp"
#include "services/ledger_service.hpp"

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::log {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.log.ledger_archive");
  return instance;
}

// The change whose ledger belongs to this attestation: the process section's slug,
// else the first change-spec slug.  An unsafe process slug (it comes from a file
// an agent wrote) is passed over like an empty one.
std::optional<std::string> choose_slug(const core::Map& parsed)
{
  if (const core::Value* process = parsed.find("process");
      process != nullptr && process->is_map()) {
    const core::Value* slug = process->get("slug");
    if (slug != nullptr && slug->is_string() && !slug->as_string().empty()) {
      if (ledger_service::is_safe_slug(slug->as_string())) {
        return slug->as_string();
      }
      logger().warning("Skipping unsafe ledger slug: '" + slug->as_string() + "'");
    }
  }
  const std::vector<std::string> slugs = shared::extract_change_spec_slugs(parsed);
  if (!slugs.empty()) {
    return slugs.front();
  }
  return std::nullopt;
}

void archive(const stdfs::path& repo_root,
             const core::fs::Confined& attestations,
             const core::Map& parsed,
             std::string_view commit)
{
  const std::optional<std::string> slug = choose_slug(parsed);
  if (!slug) {
    return;
  }
  if (commit.empty() || commit == "." || commit == ".." ||
      commit.find('/') != std::string_view::npos || commit.find('\0') != std::string_view::npos) {
    throw std::invalid_argument("commit is not a file name");
  }
  const stdfs::path live_ledger = paths::ledger_jsonl(repo_root, *slug);
  core::fs::create_directories(attestations);

  if (core::fs::regular_file_exists(paths::confined(live_ledger))) {
    try {
      if (!ledger_service::is_sealed(repo_root, *slug)) {
        ledger_service::mark_milestone(
            repo_root, *slug, "sealed", core::Value(core::Map{{"commit", std::string(commit)}}));
      }
    } catch (const std::exception&) {
      // An unsealed segment is still worth archiving; sealing is a courtesy.
    }
    core::fs::rename_file(paths::confined(live_ledger),
                          paths::confined(paths::archived_ledger(repo_root, commit)));
  }
  stdfs::path lock_file = live_ledger;
  lock_file += ".lock";
  core::fs::remove_file(paths::confined(lock_file));
  ledger_service::clear_pointers_for_slug(repo_root, *slug);
}

} // namespace

void _archive_ledger_segment(const stdfs::path& repo_root,
                             const core::fs::Confined& attestations,
                             const core::Map& parsed,
                             std::string_view commit) noexcept
{
  try {
    archive(repo_root, attestations, parsed, commit);
  } catch (const std::exception& e) {
    logger().debug_exception("Ledger segment archival skipped (best-effort)", e);
  } catch (...) {
    logger().debug("Ledger segment archival skipped (best-effort)");
  }
}

} // namespace kolvex::services::relaycore::log
