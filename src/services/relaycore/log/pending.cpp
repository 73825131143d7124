#include "services/relaycore/log/pending.hpp"

#include "core/deadline.hpp"
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
#include "services/relaycore/log/change_hash.hpp"
#include "services/relaycore/log/enrichment.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "services/repository.hpp"
#include "utils/filelock.hpp"

#include <array>
#include <chrono>
#include <system_error>

#include <sys/stat.h>

namespace kolvex::services::relaycore::log {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.log.pending");
  return instance;
}

// Moves the lines of the legacy log at the end of `log` and deletes it.  Its
// bytes become UTF-8 (U+FFFD for what is not), as everything in the log must be;
// append_line keeps a torn line on either side from gluing two records together.
// A legacy log that is a link or a special file is left alone, as is one that
// cannot be merged: neither may cost the commit its own record.
void merge_legacy_log(const paths::RepositoryHandle& repo, const core::fs::Confined& log)
{
  const core::fs::Confined legacy = repo.at(paths::legacy_log(repo.root()));
  try {
    if (!core::fs::regular_file_exists(legacy)) {
      return;
    }
    {
      core::fs::create_directories(log.parent());
      const auto lock = utils::filelock::locked(log);
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

// A pending attestation is a few kilobytes; a file past this is not one, and is not
// read whole inside a commit hook.
constexpr std::size_t k_max_pending_bytes = std::size_t{4} << 20;

// Fields whose value the line carries or the filing decides by, and the kind of
// value each must have: text-like (any scalar, as YAML may type "2024-05-01" a date
// or "1.0" a number) or a mapping.
constexpr std::array<std::string_view, 9> k_scalar_fields{"staged_diff_hash",
                                                          "diff_hash",
                                                          "timestamp",
                                                          "agent",
                                                          "agent_model",
                                                          "summary",
                                                          "agent_provider",
                                                          "agent_id",
                                                          "agent_session_id"};
constexpr std::array<std::string_view, 4> k_mapping_fields{
    "developer", "telemetry", "process", "provenance"};

// The first field of `parsed` whose value has a kind it cannot have, said as
// "<field>: <why>"; nullopt when every one fits.  An empty list where a mapping
// belongs ("developer: []") is an empty mapping, and becomes one.
std::optional<std::string> wrong_typed_field(core::Map& parsed)
{
  for (const std::string_view key : k_mapping_fields) {
    if (const core::Value* value = parsed.find(key);
        value != nullptr && value->is_list() && value->as_list().empty()) {
      parsed.set(key, core::Map{});
    }
  }
  for (const std::string_view key : k_scalar_fields) {
    const core::Value* value = parsed.find(key);
    if (value != nullptr && (value->is_map() || value->is_list())) {
      return std::string(key) + ": a " + std::string(value->type_name()) + " where text belongs";
    }
  }
  for (const std::string_view key : k_mapping_fields) {
    const core::Value* value = parsed.find(key);
    if (value != nullptr && !value->is_null() && !value->is_map()) {
      return std::string(key) + ": a " + std::string(value->type_name()) +
             " where a mapping belongs";
    }
  }
  return std::nullopt;
}

struct ReadAttestation {
  core::Map parsed{};
  std::optional<std::string> rejection{}; // why the file cannot be used
};

// The attestation in the pending file's bytes, or why it cannot be one.  An empty
// document is an empty attestation, not a rejected one.
ReadAttestation read_attestation(const std::string& bytes)
{
  if (!core::fs::is_valid_utf8(bytes)) {
    return {.rejection = "not valid UTF-8"};
  }
  core::Value value;
  try {
    value = core::yaml::load(shared::strip_yaml_delimiters(bytes));
  } catch (const core::yaml::YamlError& e) {
    return {.rejection = std::string("not valid YAML: ") + e.what()};
  }
  if (value.is_null()) {
    return {};
  }
  if (!value.is_map()) {
    return {.rejection = "not a mapping of fields but a " + std::string(value.type_name())};
  }
  if (auto wrong = wrong_typed_field(value.as_map())) {
    return {.rejection = std::move(wrong)};
  }
  return {.parsed = std::move(value.as_map())};
}

// Sets the pending file of `repo_root` aside as the rejected one (replacing an
// older one), so that the commit is recorded without it and the user can still
// mend it.  `found` true, no error: the caller goes on as if there were none.
AttestationResult reject_pending(const stdfs::path& repo_root, const std::string& why)
{
  const stdfs::path pending = paths::commit_attestation(repo_root);
  const stdfs::path rejected = paths::rejected_attestation(repo_root);
  try {
    core::fs::rename_file(paths::confined(pending), paths::confined(rejected));
    logger().warning("The pending attestation " + pending.string() + " cannot be used (" + why +
                     "); it was moved to " + rejected.string());
  } catch (const std::system_error& e) {
    // Gone already (another capture set it aside), or the place is refused: the
    // file stays where it is and the commit is still recorded.
    if (e.code() != std::errc::no_such_file_or_directory) {
      logger().warning("The pending attestation " + pending.string() + " cannot be used (" + why +
                       ") nor moved aside: " + e.what());
    }
  }
  return {.found = true, .rejected = why};
}

// Whether `now` is the file `before` described: same inode, size and time.
bool same_file(const std::optional<struct ::stat>& before, const std::optional<struct ::stat>& now)
{
  return before && now && before->st_dev == now->st_dev && before->st_ino == now->st_ino &&
         before->st_size == now->st_size && before->st_mtim.tv_sec == now->st_mtim.tv_sec &&
         before->st_mtim.tv_nsec == now->st_mtim.tv_nsec;
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

// Whether `declared` is the hash of what is staged in `repo_root` now, as
// `kolvex attest` computes it.  A staged diff that cannot be read describes
// nothing, so the attestation is filed as before.
bool describes_staged_change(const stdfs::path& repo_root, const std::string& declared)
{
  if (declared.empty()) {
    return false;
  }
  try {
    return shared::get_staged_diff_hash(repo_root) == declared;
  } catch (const std::exception& e) {
    logger().debug_exception("The staged diff could not be hashed", e);
    return false;
  }
}

} // namespace

AttestationResult process_pending_attestation(const stdfs::path& repo_root,
                                              const PendingOptions& options)
{
  return process_pending_attestation(paths::RepositoryHandle(repo_root), options);
}

AttestationResult process_pending_attestation(const paths::RepositoryHandle& repo,
                                              const PendingOptions& options)
{
  const stdfs::path& repo_root = repo.root();
  const core::fs::Confined attestation_path = repo.at(paths::commit_attestation(repo_root));
  if (!_pending_attestation_exists(repo)) {
    return {};
  }
  const RecordFiles files = record_files(repo);

  merge_legacy_log(repo, files.log);

  std::optional<struct ::stat> identity;
  std::string content;
  try {
    identity = core::fs::stat_regular(attestation_path);
    if (!identity) {
      return {}; // filed by another capture a moment ago
    }
    content = core::fs::read_bytes(attestation_path, k_max_pending_bytes);
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::file_too_large) {
      return reject_pending(repo_root,
                            "larger than " + std::to_string(k_max_pending_bytes >> 20) + " MiB");
    }
    // Unreadable: kept as it is, for the user (or a later run) to fix.
    logger().warning("Could not read attestation file: " + std::string(e.what()));
    return {.found = true, .error = e.what()};
  }
  auto read = read_attestation(content);
  if (read.rejection) {
    return reject_pending(repo_root, *read.rejection);
  }
  core::Map& parsed = read.parsed;
  const std::string declared = declared_diff_hash(parsed);
  std::optional<std::string> matched_commit = _find_commit_by_diff_hash(repo_root, declared);
  if (!matched_commit || matched_commit->empty()) {
    if (!options.commit_override && describes_staged_change(repo_root, declared)) {
      // Written by `kolvex attest` for a commit not made yet: filing it under HEAD
      // would give HEAD another commit's attestation and leave the real one without.
      return {.found = true, .awaiting_commit = true};
    }
    matched_commit = options.commit_override;
  }
  _enrich_attestation(parsed, repo_root);
  derive_process(parsed, repo_root, matched_commit);
  auto change_spec_slugs = shared::extract_change_spec_slugs(parsed);

  try {
    const PreparedRecord record = _prepare_record(
        files.attestations, parsed, {.commit_override = matched_commit, .repo_root = repo_root});
    core::deadline::check("filing the pending attestation");
    core::fs::create_directories(files.log.parent());
    const auto lock = utils::filelock::locked(files.log);
    // Two captures of one commit may both have read the file; the first to get here
    // files it and removes it.  A file replaced meanwhile by a new `kolvex attest`
    // belongs to the next commit.
    if (!same_file(identity, core::fs::stat_regular(attestation_path))) {
      return {.found = true,
              .matched_commit = std::move(matched_commit),
              .change_spec_slugs = std::move(change_spec_slugs)};
    }
    // A line the commit already has (its unattested record from a catch-up, say)
    // is put right in place: one commit, one line, now with its attestation.
    _file_record(files.log, files.attestations, record, IfLogged::replace);
    core::fs::remove_file(attestation_path);
  } catch (const std::system_error& e) {
    logger().warning("Could not archive attestation: " + std::string(e.what()));
    return {.found = true, .error = e.what(), .change_spec_slugs = std::move(change_spec_slugs)};
  }
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
  const paths::RepositoryHandle repo(repo_root);
  if (!_pending_attestation_exists(repo)) {
    return {.commit = *full, .reason = "no pending attestation file"};
  }
  const auto result =
      process_pending_attestation(repo, {.commit_override = *full, .replace_existing = true});
  if (result.error && !result.error->empty()) {
    return {.commit = *full, .reason = *result.error};
  }
  if (result.rejected) {
    return {.commit = *full,
            .reason = "the pending attestation cannot be used (" + *result.rejected +
                      "); it was moved to " + paths::rejected_attestation(repo_root).string()};
  }
  return {.commit = *full, .written = true, .attested = true};
}

bool _pending_attestation_exists(const paths::RepositoryHandle& repo)
{
  try {
    return core::fs::regular_file_exists(repo.at(paths::commit_attestation(repo.root())));
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
        const WholeTreeDiff whole = whole_tree_diff(repo_root, sha);
        if (whole.timed_out) {
          return std::nullopt;
        }
        if (!whole.ok) {
          continue;
        }
        diff.out = whole.diff;
      }
      if (change_hashes(diff.out).matches(diff_hash)) {
        return sha;
      }
    } catch (const std::system_error&) {
      continue;
    }
  }
  return std::nullopt;
}

} // namespace kolvex::services::relaycore::log
