#include "commands/notes.hpp"

#include "commands/revision_range.hpp"
#include "core/value.hpp"
#include "display/output.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/shared.hpp"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

namespace kolvex::commands {

namespace {

namespace output = display::output;
namespace stdfs = std::filesystem;
namespace rsync = services::relaycore::sync;

constexpr std::string_view k_config_key = "notes";

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
  output::info(std::to_string(range.commits.size()) + " commits in " + range.shown + ": " +
               std::to_string(result.written) + " notes written, " +
               std::to_string(result.unchanged) + " already up to date, " +
               std::to_string(result.not_recorded) + " not recorded");
  if (result.failed > 0) {
    output::error(std::to_string(result.failed) +
                  " records could not be written as notes (run with KOLVEX_DEBUG=1 to see why)");
    return 1;
  }
  return 0;
}

} // namespace

bool notes_enabled(const stdfs::path& repo_root)
{
  try {
    const core::Map config = services::shared::load_local_config(repo_root);
    const core::Value* on = config.find(k_config_key);
    return on != nullptr && on->is_bool() && on->as_bool();
  } catch (const std::exception&) {
    return false;
  }
}

void enable_notes(const stdfs::path& repo_root)
{
  if (notes_enabled(repo_root)) {
    output::info("Commit hooks already write each record as a git note (" +
                 std::string(rsync::NOTES_REF) + ")");
  } else {
    core::Map config = services::shared::load_local_config(repo_root);
    config.set(k_config_key, true);
    services::shared::save_local_config(repo_root, config);
    output::success("Commit hooks now also write each record as a git note (" +
                    std::string(rsync::NOTES_REF) + ")");
  }
  const std::string ref(rsync::NOTES_REF);
  output::info(
      "To push and fetch the notes with the branch, run once (HEAD keeps `git push` pushing "
      "the branch once a push refspec is set):\n"
      "  git config --add remote.origin.push HEAD\n"
      "  git config --add remote.origin.push " +
      ref +
      "\n"
      "  git config --add remote.origin.fetch " +
      ref + ":" + ref +
      "\n"
      "A CI job fetches them with `git fetch origin " +
      ref + ":" + ref + "` and checks with `kolvex log --check attested origin/main..HEAD`.");
}

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
}

} // namespace kolvex::commands
