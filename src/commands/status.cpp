#include "commands/status.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "display/output.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/shared.hpp"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace kolvex::commands {

core::Map status_counts(const services::relaycore::log::AttestationLog& log)
{
  return core::Map{{"pending", static_cast<std::int64_t>(log.size())},
                   {"uploaded", log.uploaded},
                   {"skipped", log.skipped},
                   {"unaddressable", log.unaddressable},
                   {"corrupt", log.corrupt},
                   {"attested", log.attested},
                   {"unattested", log.unattested}};
}

namespace {

namespace output = display::output;
using services::relaycore::log::AttestationLog;

// One count with its noun, "1 record" / "3 records".
std::string records(std::int64_t count)
{
  return std::to_string(count) + (count == 1 ? " record" : " records");
}

void print_words(const AttestationLog& log, const std::filesystem::path& shown_path, bool exists)
{
  const auto pending = static_cast<std::int64_t>(log.size());
  auto& console = output::console();
  console.print("Attestation log: " + shown_path.string());
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

void print_json(const AttestationLog& log)
{
  output::console().print(core::json::dump(core::Value(status_counts(log))));
}

int run_status(bool json)
{
  const std::filesystem::path root = services::shared::get_repo_root();
  const std::filesystem::path log_path = paths::log_jsonl(root);
  AttestationLog log;
  try {
    log = services::relaycore::log::read_attestation_log(log_path);
  } catch (const core::fs::DecodeError& e) {
    output::error(e.what());
    return 1;
  }
  if (json) {
    print_json(log);
  } else {
    bool exists = false;
    try {
      exists = core::fs::regular_file_exists(paths::confined(root, log_path));
    } catch (const std::system_error&) {
      // A link or a special file: refused and reported, and nothing was read.
    }
    print_words(log, log_path.lexically_relative(root), exists);
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
                    "unaddressable, corrupt, attested and unattested.");
  command->callback([json] {
    if (const int status = run_status(*json); status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
}

} // namespace kolvex::commands
