#include "commands/status.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "display/output.hpp"
#include "frontend/status_counts.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace kolvex::commands {

namespace {

namespace output = display::output;
using services::relaycore::log::AttestationLogCounts;

constexpr const char* k_not_set_up =
    "This repository is not set up for kolvex: nothing records its commits. Run `kolvex setup` "
    "to start.";

// One count with its noun, "1 record" / "3 records".
std::string records(std::int64_t count)
{
  return std::to_string(count) + (count == 1 ? " record" : " records");
}

// The pending attestation of `root`, relative to it, when it is older than the last
// commit: the post-commit hook should have filed it with that commit and did not
// (a hook that could not find kolvex, or a commit made with hooks off).
std::optional<std::filesystem::path> stale_attestation(const paths::RepositoryHandle& repo)
{
  const std::filesystem::path& root = repo.root();
  const std::filesystem::path pending = paths::commit_attestation(root);
  std::optional<core::fs::FileStat> stat;
  try {
    const auto at = repo.at(pending);
    if (core::fs::regular_file_exists(at)) {
      stat = core::fs::stat_path(at.full());
    }
  } catch (const std::system_error&) {
    // Not a file we read: nothing to compare.
  }
  if (!stat) {
    return std::nullopt;
  }
  core::process::Options options;
  options.cwd = root;
  const auto head = core::process::run({"git", "log", "-1", "--format=%ct", "HEAD"}, options);
  const std::string_view text = core::text::trim(head.out);
  std::int64_t committed = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), committed);
  // Whole seconds: an attestation written in the commit's own second is not called old.
  if (head.exit_code != 0 || parsed.ec != std::errc() || text.empty() ||
      static_cast<std::int64_t>(stat->mtime) + 1 > committed) {
    return std::nullopt;
  }
  return pending.lexically_relative(root);
}

void print_words(const AttestationLogCounts& log,
                 const std::filesystem::path& shown_path,
                 bool exists,
                 const std::optional<std::filesystem::path>& rejected,
                 const std::optional<std::filesystem::path>& stale)
{
  const std::int64_t pending = log.pending;
  auto& console = output::console();
  console.print("Attestation log: " + shown_path.string());
  if (rejected) {
    output::warning("A rejected pending attestation is waiting in " + rejected->string() +
                    ": it could not be used, and its commit was recorded without it.");
  }
  if (stale) {
    output::warning("The pending attestation " + stale->string() +
                    " is older than the last commit, so the post-commit hook did not file it "
                    "(kolvex not found, or hooks skipped). Run `kolvex setup` to check the "
                    "hooks; the next commit files it.");
  }
  if (!exists) {
    output::info("No commits recorded yet.");
    return;
  }
  const auto row = [&](const char* label, std::int64_t count) {
    std::string line = "  ";
    line += label;
    line.resize(20, ' ');
    console.print(line + std::to_string(count));
  };
  row("pending upload", pending);
  row("uploaded", log.uploaded);
  row("attested", log.attested);
  row("unattested", log.unattested);
  row("skipped", log.skipped);
  row("unaddressable", log.unaddressable);
  row("corrupt lines", log.corrupt);
  if (pending > 0) {
    output::info(records(pending) + " waiting for upload.");
  }
  if (log.unaddressable > 0) {
    output::warning(records(log.unaddressable) + (log.unaddressable == 1 ? " names" : " name") +
                    std::string(" no full commit sha and can never be uploaded."));
  }
  if (log.corrupt > 0) {
    output::warning(std::to_string(log.corrupt) +
                    (log.corrupt == 1 ? " line of the log is" : " lines of the log are") +
                    " not a JSON record and " + (log.corrupt == 1 ? "is" : "are") + " skipped.");
  }
}

// The log's path as the user can find it: relative to this work tree when it lies in
// it, else (a linked worktree's log is the main worktree's) absolute.
std::filesystem::path shown_log_path(const std::filesystem::path& root,
                                     const std::filesystem::path& log_path)
{
  const auto relative = log_path.lexically_relative(root);
  return relative.empty() || *relative.begin() == ".." ? log_path : relative;
}

void print_json(const AttestationLogCounts& log,
                const std::optional<std::filesystem::path>& rejected,
                const std::optional<std::filesystem::path>& stale,
                bool set_up)
{
  core::Map counts = frontend::status_counts(log);
  // All zeros read the same for a repository never set up; a script must tell.
  counts.set("set_up", core::Value(set_up));
  if (rejected) {
    counts.set("rejected_attestation", rejected->string());
  }
  if (stale) {
    counts.set("stale_attestation", stale->string());
  }
  output::console().print(core::json::dump(core::Value(counts)));
}

// The rejected pending attestation of `root`, as a path relative to it, when one is
// waiting to be mended.
std::optional<std::filesystem::path> rejected_attestation(const paths::RepositoryHandle& repo)
{
  const std::filesystem::path rejected = paths::rejected_attestation(repo.root());
  try {
    if (core::fs::regular_file_exists(repo.at(rejected))) {
      return rejected.lexically_relative(repo.root());
    }
  } catch (const std::system_error&) {
    // Not a file we read: nothing waiting that we could show.
  }
  return std::nullopt;
}

int run_status(bool json)
{
  const std::filesystem::path root = services::shared::get_repo_root();
  const std::filesystem::path log_path = paths::log_jsonl(root);
  const std::filesystem::path shown_path = shown_log_path(root, log_path);
  const auto refused = [&] {
    // Refused and reported: counting nothing would read as "nothing recorded".
    output::error("The attestation log " + shown_path.string() +
                  " is not a regular file; it was not read.");
    return 1;
  };
  std::optional<paths::RepositoryHandle> repo;
  try {
    repo.emplace(root);
  } catch (const core::fs::UnsafePathError&) {
    return refused();
  } catch (const std::system_error&) {
    // A directory on the way that may not be searched: nothing set up, no log.
    if (!json) {
      output::info(k_not_set_up);
      return 0;
    }
    throw;
  }
  bool exists = false;
  try {
    exists = core::fs::regular_file_exists(repo->at(log_path));
  } catch (const core::fs::UnsafePathError&) {
    return refused();
  } catch (const std::system_error&) {
    // A directory on the way that may not be searched: read as missing.
  }
  const bool set_up = services::shared::local_config_exists(*repo);
  if (!json && !set_up) {
    output::info(k_not_set_up);
    // A log left from before (setup undone, a copied tree) is still worth counting.
    if (!exists) {
      return 0;
    }
  }
  AttestationLogCounts counts;
  try {
    counts = services::relaycore::log::count_attestation_log(repo->at(log_path));
  } catch (const core::fs::DecodeError& e) {
    output::error(e.what());
    return 1;
  }
  const auto rejected = rejected_attestation(*repo);
  const auto stale = stale_attestation(*repo);
  if (json) {
    print_json(counts, rejected, stale, set_up);
  } else {
    print_words(counts, shown_path, exists, rejected, stale);
    if (const auto main = paths::main_worktree(root)) {
      output::info("This is a linked worktree of " + main->string() +
                   ": every worktree's commits are recorded in that one log.");
    }
  }
  return 0;
}

} // namespace

void register_status(CLI::App& app)
{
  auto json = std::make_shared<bool>(false);
  CLI::App* command = app.add_subcommand(
      "status",
      "Show the attestation log: records waiting for upload, uploaded, attested, unattested and "
      "skipped commits, and lines that can never be uploaded. Reads only; writes nothing.");
  command->add_flag("--json",
                    *json,
                    "Print one JSON object with the counts pending, uploaded, skipped, "
                    "unaddressable, corrupt, attested and unattested, and "
                    "rejected_attestation (its path) when a pending attestation that could "
                    "not be used is waiting, and stale_attestation (its path) when the "
                    "pending attestation is older than the last commit.");
  command->callback([json] {
    if (const int status = run_status(*json); status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
}

} // namespace kolvex::commands
