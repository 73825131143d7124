#include "commands/notes.hpp"

#include "core/value.hpp"
#include "display/output.hpp"
#include "frontend/command_values.hpp"
#include "frontend/revision_range.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

namespace kolvex::commands {

namespace {

namespace output = display::output;
namespace stdfs = std::filesystem;
namespace rsync = services::relaycore::sync;

int run_write(const std::string& given)
{
  const stdfs::path root = services::shared::get_repo_root();
  const RevisionRange range = list_range(root, given);
  std::vector<std::string> commits;
  commits.reserve(range.commits.size());
  for (const RangeCommit& commit : range.commits) {
    commits.push_back(commit.commit);
  }
  const rsync::NotesResult result = rsync::write_notes(root, commits);
  output::info(frontend::counted(static_cast<long long>(range.commits.size()), "commit") + " in " +
               range.shown + ": " + frontend::counted(result.written, "note") + " written, " +
               std::to_string(result.unchanged) + " already up to date, " +
               std::to_string(result.not_recorded) + " not recorded");
  if (result.not_signed > 0) {
    output::warning(frontend::counted(result.not_signed, "note") +
                    (result.not_signed == 1 ? " was" : " were") +
                    " written unsigned: git's signing key could not sign them "
                    "(run with KOLVEX_DEBUG=1 to see why)");
  }
  if (result.failed > 0) {
    output::error(frontend::counted(result.failed, "record") +
                  " could not be written as notes (run with KOLVEX_DEBUG=1 to see why)");
    return 1;
  }
  return 0;
}

int run_merge()
{
  const stdfs::path root = services::shared::get_repo_root();
  const rsync::MergeResult result = rsync::merge_fetched_notes(root);
  if (result.failed > 0) {
    output::error("The fetched notes of " + frontend::counted(result.failed, "remote") +
                  " could not be merged (run with KOLVEX_DEBUG=1 to see why)");
    return 1;
  }
  if (result.merged > 0) {
    output::info("Merged the fetched notes of " + frontend::counted(result.merged, "remote"));
  }
  return 0;
}

} // namespace

void register_notes(CLI::App& app)
{
  CLI::App* command = app.add_subcommand(
      "notes", "Records as git notes under refs/notes/kolvex, which travel with the repository.");
  command->require_subcommand(1);
  auto range = std::make_shared<std::string>();
  CLI::App* write = command->add_subcommand(
      "write",
      "Write each recorded commit's record of the range as its note (plain JSON; `git notes "
      "--ref=kolvex show <sha>` prints it). A note that already holds the same record is left "
      "alone.");
  write->add_option("range",
                    *range,
                    "A git revision range. Default: the branch's commits not on its upstream, "
                    "or without an upstream the last 20 commits of HEAD.");
  write->callback([range] {
    if (const int status = run_write(*range); status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
  CLI::App* merge = command->add_subcommand(
      "merge",
      "Merge the notes `git fetch` brought (refs/notes/remotes/<remote>/kolvex) into "
      "refs/notes/kolvex, keeping every record line of both sides, so that the next push of "
      "the notes is a fast-forward. The post-merge hook runs it after a pull.");
  merge->callback([] {
    if (const int status = run_merge(); status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
  auto remote = std::make_shared<std::string>("origin");
  CLI::App* push = command->add_subcommand(
      "push",
      "Push refs/notes/kolvex to a remote as a fast-forward: fetch the remote's notes, merge "
      "them in, push (again after a teammate's push won the race). The pre-push hook runs it; "
      "it never fails a push, and warns when the notes did not go.");
  push->add_option("remote", *remote, "The remote. Default: origin.");
  push->callback([remote] {
    const stdfs::path root = services::shared::get_repo_root();
    if (!rsync::push_notes(root, *remote)) {
      output::warning("kolvex could not push the notes to " + *remote +
                      " (run `KOLVEX_DEBUG=1 kolvex notes push` to see why)");
    }
  });
}

} // namespace kolvex::commands
