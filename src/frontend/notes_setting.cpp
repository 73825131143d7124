#include "frontend/notes_setting.hpp"

#include "core/value.hpp"
#include "display/output.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/sync/notes.hpp"

#include <string>
#include <string_view>

namespace kolvex::frontend {

namespace {

namespace output = display::output;
namespace rsync = services::relaycore::sync;

constexpr std::string_view k_config_key = "notes";

} // namespace

void enable_notes(const std::filesystem::path& repo_root)
{
  if (rsync::notes_enabled(repo_root)) {
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
  const std::string fetched = std::string(rsync::REMOTE_NOTES_PREFIX) + "origin/kolvex";
  output::info(
      "The pre-push hook now pushes the notes with every `git push`, merged with the "
      "remote's first. To fetch them with every `git fetch` and `git pull` (a fetch keeps "
      "the remote's notes apart, a pull merges them in), run once:\n"
      "  git config --add remote.origin.fetch '+" +
      ref + "*:" + fetched +
      "*'\n"
      "A CI job fetches them with `git fetch origin '+" +
      ref + ":" + ref +
      "'` and checks with `kolvex log --check attested origin/main..HEAD` (`--check signed` "
      "where records are signed: with git's user.signingKey set, kolvex signs each note).");
}

} // namespace kolvex::frontend
