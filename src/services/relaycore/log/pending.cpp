#include "services/relaycore/log/pending.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "paths.hpp"
#include "services/change_specs.hpp"
#include "services/ledger_service.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/log/enrichment.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "utils/filelock.hpp"

#include <chrono>
#include <system_error>

namespace kolvex::services::relaycore::log {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.log.pending");
  return instance;
}

// Moves the lines of the legacy log at the end of `log_path` and deletes it.  Its
// bytes become UTF-8 (U+FFFD for what is not), as everything in the log must be;
// append_line keeps a torn line on either side from gluing two records together.
// A legacy log that is a link or a special file is left alone, as is one that
// cannot be merged: neither may cost the commit its own record.
void merge_legacy_log(const stdfs::path& repo_root, const stdfs::path& log_path)
{
  const core::fs::Confined legacy = paths::confined(repo_root, paths::legacy_log(repo_root));
  try {
    if (!core::fs::regular_file_exists(legacy)) {
      return;
    }
    {
      const core::fs::Confined log = paths::confined(log_path);
      core::fs::create_directories(log.parent());
      const auto lock = utils::filelock::locked(log_path);
      const std::string bytes = core::fs::read_bytes(legacy);
      core::fs::append_line(
          log, core::fs::is_valid_utf8(bytes) ? bytes : core::process::decode_replace(bytes));
    }
    core::fs::remove_file(legacy);
  } catch (const core::fs::UnsafePathError&) {
    // Reported where it was refused.
  } catch (const std::system_error& e) {
    logger().warning("Could not merge the legacy log " + legacy.full().string() + ": " + e.what());
  }
}

// Python's str() of a value: texts as they are, everything else as repr shows it.
std::string as_text(const core::Value& value)
{
  switch (value.kind()) {
  case core::Value::Kind::string:
    return value.as_string();
  case core::Value::Kind::integer:
    return std::to_string(value.as_int());
  case core::Value::Kind::big_integer:
    return value.as_bigint().digits;
  default:
    return display::repr::python_repr(value);
  }
}

std::string declared_diff_hash(const core::Map& parsed)
{
  const core::Value* staged = parsed.find("staged_diff_hash");
  if (staged != nullptr && core::truthy(*staged)) {
    return as_text(*staged);
  }
  const core::Value* legacy = parsed.find("diff_hash");
  return legacy != nullptr ? as_text(*legacy) : std::string();
}

// Replaces "process" by the section derived from the change's live ledger; drops
// a declared one that no ledger, live or archived, backs.  Best-effort.
void derive_process(core::Map& parsed,
                    const stdfs::path& repo_root,
                    const std::optional<std::string>& matched_commit)
{
  try {
    const auto slugs = shared::extract_change_spec_slugs(parsed);
    std::optional<core::Value> slug;
    if (!slugs.empty()) {
      slug = core::Value(slugs.front());
    } else if (const core::Value* process = parsed.find("process");
               process != nullptr && process->is_map()) {
      if (const core::Value* named = process->get("slug")) {
        slug = *named;
      }
    }
    if (!slug || !core::truthy(*slug)) {
      return;
    }
    if (!slug->is_string()) {
      throw std::invalid_argument("process slug is a " + std::string(slug->type_name()));
    }
    if (auto section = ledger_service::derive_process_section(repo_root, slug->as_string())) {
      parsed.set("process", std::move(*section));
      return;
    }
    const std::string commit =
        matched_commit && !matched_commit->empty() ? *matched_commit : std::string("HEAD");
    if (!core::fs::regular_file_exists(
            paths::confined(paths::archived_ledger(repo_root, commit)))) {
      parsed.erase("process");
    }
  } catch (const std::exception& e) {
    logger().debug_exception("Process section derivation skipped (best-effort)", e);
  }
}

// One git call with raw output and the usual time limit.
core::process::Result run_git(const stdfs::path& repo_root, std::vector<std::string> args)
{
  args.insert(args.begin(), "git");
  core::process::Options options;
  options.cwd = repo_root;
  options.timeout = std::chrono::seconds(GIT_TIMEOUT_SECONDS);
  options.session = core::process::Session::new_group;
  return core::process::run(args, options);
}

bool is_blank(std::string_view bytes)
{
  return core::text::trim(bytes).empty();
}

std::string without_cr_before_lf(std::string_view bytes)
{
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;
    }
    out += bytes[i];
  }
  return out;
}

} // namespace

AttestationResult process_pending_attestation(const stdfs::path& repo_root,
                                              const PendingOptions& options)
{
  const core::fs::Confined attestation_path = paths::confined(paths::commit_attestation(repo_root));
  if (!_pending_attestation_exists(repo_root)) {
    return {};
  }
  const stdfs::path log_path = paths::log_jsonl(repo_root);
  const stdfs::path attestations_dir = paths::attestations_dir(repo_root);

  merge_legacy_log(repo_root, log_path);

  std::string content;
  try {
    content = core::fs::read_text(attestation_path);
  } catch (const std::exception& e) {
    // Unreadable or not UTF-8: kept as it is, for the user (or a later run) to fix.
    logger().warning("Could not read attestation file: " + std::string(e.what()));
    return {.found = true, .error = e.what()};
  }
  core::Map parsed = _parse_attestation_yaml(content);
  _enrich_attestation(parsed, repo_root);

  std::optional<std::string> matched_commit =
      _find_commit_by_diff_hash(repo_root, declared_diff_hash(parsed));
  if (!matched_commit || matched_commit->empty()) {
    matched_commit = options.commit_override;
  }
  derive_process(parsed, repo_root, matched_commit);
  auto change_spec_slugs = shared::extract_change_spec_slugs(parsed);

  try {
    _log_attestation(log_path,
                     attestations_dir,
                     parsed,
                     {.commit_override = matched_commit,
                      .repo_root = repo_root,
                      .replace_existing = options.replace_existing});
  } catch (const std::system_error& e) {
    logger().warning("Could not archive attestation: " + std::string(e.what()));
    return {.found = true, .error = e.what(), .change_spec_slugs = std::move(change_spec_slugs)};
  }

  core::fs::remove_file(attestation_path);
  return {.found = true,
          .matched_commit = std::move(matched_commit),
          .change_spec_slugs = std::move(change_spec_slugs)};
}

capture::BackfillResult attach_pending_attestation(const stdfs::path& repo_root,
                                                   const std::string& commit)
{
  const auto full = capture::_resolve_full_sha(repo_root, commit);
  if (!full) {
    return {.commit = commit, .reason = "no such commit in this repo"};
  }
  if (!_pending_attestation_exists(repo_root)) {
    return {.commit = *full, .reason = "no pending attestation file"};
  }
  const auto result =
      process_pending_attestation(repo_root, {.commit_override = *full, .replace_existing = true});
  if (result.error && !result.error->empty()) {
    return {.commit = *full, .reason = *result.error};
  }
  return {.commit = *full, .written = true, .attested = true};
}

bool _pending_attestation_exists(const stdfs::path& repo_root)
{
  try {
    return core::fs::regular_file_exists(paths::confined(paths::commit_attestation(repo_root)));
  } catch (const core::fs::UnsafePathError&) {
    return false; // reported where it was refused
  } catch (const std::system_error& e) {
    // A directory in its place is there, and fails to read as the unreadable file it
    // is; a directory on the way that may not be searched hides it.
    return e.code() == std::errc::is_a_directory;
  }
}

core::Map _parse_attestation_yaml(std::string_view content)
{
  try {
    core::Value value = core::yaml::load(shared::strip_yaml_delimiters(content));
    if (value.is_map()) {
      return std::move(value.as_map());
    }
  } catch (const core::yaml::YamlError&) {
    // Malformed: filed as an empty attestation rather than not at all.
  }
  return {};
}

std::optional<std::string>
_find_commit_by_diff_hash(const stdfs::path& repo_root, std::string_view diff_hash, int max_commits)
{
  if (diff_hash.empty()) {
    return std::nullopt;
  }
  std::vector<std::string> shas;
  try {
    // Built in two steps: GCC 12 at -O3 warns (-Wrestrict) on "-" + std::string.
    std::string window = "-";
    window += std::to_string(max_commits);
    const auto listed = run_git(repo_root, {"log", "--format=%H", window});
    if (listed.timed_out || listed.exit_code != 0) {
      return std::nullopt;
    }
    const std::string text = core::process::decode_replace(listed.out);
    for (const auto line : core::fs::splitlines(core::text::trim(text))) {
      shas.emplace_back(line);
    }
  } catch (const std::system_error&) {
    return std::nullopt;
  }

  for (const auto& sha : shas) {
    try {
      auto diff = run_git(repo_root, {"diff-tree", "-p", "-M", "--no-commit-id", sha});
      if (diff.timed_out) {
        return std::nullopt; // a git that hung once would hang the commit hook again
      }
      if (diff.exit_code != 0) {
        continue;
      }
      if (is_blank(diff.out)) {
        // Nothing for a root or a merge commit: its whole tree is the change.
        const std::string_view empty_tree = sha.size() == 64 ? EMPTY_TREE_SHA256 : EMPTY_TREE_SHA1;
        diff = run_git(repo_root, {"diff", std::string(empty_tree), sha});
        if (diff.timed_out) {
          return std::nullopt;
        }
        if (diff.exit_code != 0) {
          continue;
        }
      }
      const std::string lf_only = without_cr_before_lf(diff.out);
      if (core::sha256_hex(lf_only) == diff_hash) {
        return sha;
      }
      // `kolvex attest` hashes what `git diff --staged` prints, CR LF included.
      if (lf_only.size() != diff.out.size() && core::sha256_hex(diff.out) == diff_hash) {
        return sha;
      }
    } catch (const std::system_error&) {
      continue;
    }
  }
  return std::nullopt;
}

} // namespace kolvex::services::relaycore::log
