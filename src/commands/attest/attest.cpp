#include "commands/attest/attest.hpp"

#include "commands/attest/attest_add.hpp"
#include "commands/attest/help_format.hpp"
#include "core/clock.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "core/value.hpp"
#include "core/yaml.hpp"
#include "display/output.hpp"
#include "display/repr.hpp"
#include "hooks/scripts.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/shared.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace kolvex::commands::attest {

namespace {

namespace output = display::output;
namespace shared = services::shared;
using core::Map;
using core::Value;

constexpr const char* k_summary = "Create .kolvex/.commit-attestation.yaml from structured flags.";

// Shown exactly as written: the continuation backslashes must stay at line ends for
// the example to be pasted into a shell.
constexpr const char* k_example =
    "Example:\n"
    "  kolvex attest --example\n"
    "  kolvex attest \\\n"
    "    --staged-diff-hash $(git diff --staged | shasum -a 256 | cut -d' ' -f1) \\\n"
    "    --model claude-opus-4-6 \\\n"
    "    --summary \"Added rate limiting to auth endpoints\" \\\n"
    "    --rules '{\"checked\": true, \"applicable\": [...]}' \\\n"
    "    --arch-changes '{\"architecture\": {\"elements\": [{\"name\": \"web-api\", "
    "\"change\": \"modified\", ...}], ...}}'";

constexpr const char* k_automatic =
    "Developer identity, agent session id, and telemetry are populated automatically by\n"
    "kolvex post-commit. Don't pass them here.";

// The first `n` characters (code points) of the UTF-8 text `text`.
std::string first_chars(std::string_view text, std::size_t n)
{
  std::size_t pos = 0;
  for (std::size_t count = 0; count < n && pos < text.size(); ++count) {
    pos += core::text::utf8_step(text, pos).length;
  }
  return std::string(text.substr(0, pos));
}

// Parses a JSON flag; on a parse error reports "<prefix><description>" and returns
// nullopt.  An absent or empty flag is absent data, not an error.
std::optional<Value>
parse_json_flag(const std::optional<std::string>& flag, std::string_view prefix, bool& failed)
{
  failed = false;
  if (!flag || flag->empty()) {
    return std::nullopt;
  }
  try {
    return core::json::parse(*flag);
  } catch (const core::json::JsonError& e) {
    output::error(std::string(prefix) + e.what());
    failed = true;
    return std::nullopt;
  }
}

bool present(const std::optional<Value>& value)
{
  return value && core::truthy(*value);
}

bool present(const std::optional<std::string>& text)
{
  return text && !text->empty();
}

// A pending file is consumed by the commit it describes; one still there was used by
// none.  Its summary (or a word saying it has none readable), when there is one.
std::optional<std::string> unused_pending_summary(const core::fs::Confined& at)
{
  constexpr std::size_t k_max_read = std::size_t{4} << 20;
  std::string text;
  try {
    if (!core::fs::regular_file_exists(at)) {
      return std::nullopt;
    }
    text = core::fs::read_bytes(at, k_max_read);
  } catch (const std::system_error&) {
    return std::nullopt; // refused or unreadable: nothing we can name
  }
  try {
    const core::Value value = core::yaml::load(shared::strip_yaml_delimiters(text));
    if (const core::Value* summary = value.is_map() ? value.get("summary") : nullptr;
        summary != nullptr && summary->is_string() && !summary->as_string().empty()) {
      return summary->as_string();
    }
  } catch (const std::exception&) {
    // Not YAML: still replaced, still worth a word.
  }
  return std::string("(no readable summary)");
}

} // namespace

int attest(bool subcommand_named, const AttestOptions& options)
{
  if (subcommand_named) {
    return 0;
  }
  if (options.show_example) {
    auto text = hooks::scripts::example_attestation();
    // print ends the text with its own newline.
    if (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    output::console().print(text);
    return 0;
  }

  const std::vector<std::pair<const char*, const std::optional<std::string>*>> required{
      {"--staged-diff-hash", &options.staged_diff_hash},
      {"--model", &options.model},
      {"--summary", &options.summary},
  };
  std::string missing;
  for (const auto& [flag, value] : required) {
    if (!value->has_value()) {
      missing += (missing.empty() ? "" : ", ") + std::string(flag);
    }
  }
  if (!missing.empty()) {
    output::error("Missing required flags: " + missing);
    return 1;
  }
  const auto& staged_diff_hash = *options.staged_diff_hash;

  // The hash is checked even with --no-verify: it is what ties the attestation to
  // the commit, and a stale one would file it under the wrong change.
  const auto repo_root = shared::get_repo_root();
  const auto current_hash = shared::get_staged_diff_hash(repo_root);
  if (staged_diff_hash != current_hash) {
    output::error("Diff hash mismatch \u2014 staged changes have changed since hash was computed");
    output::console().print("  Provided: " + first_chars(staged_diff_hash, 16) + "...");
    output::console().print("  Current:  " + first_chars(current_hash, 16) + "...");
    return 1;
  }

  bool failed = false;
  const auto rules_data = parse_json_flag(options.rules, "Invalid --rules JSON: ", failed);
  if (failed) {
    return 1;
  }
  const auto arch_changes_data =
      parse_json_flag(options.arch_changes, "Invalid --arch-changes JSON: ", failed);
  if (failed) {
    return 1;
  }
  // Only an object can name primitives; any other non-empty value would be dropped
  // without a word, so it is refused instead.
  if (present(arch_changes_data) && !arch_changes_data->is_map()) {
    output::error("--arch-changes must be a JSON object, got: " +
                  std::string(arch_changes_data->type_name()));
    return 1;
  }
  const auto provenance_data =
      parse_json_flag(options.provenance, "Invalid --provenance JSON: ", failed);
  if (failed) {
    return 1;
  }
  if (provenance_data) {
    if (!provenance_data->is_map()) {
      output::error("--provenance must be a JSON object, got: " +
                    std::string(provenance_data->type_name()));
      return 1;
    }
    const Value* prov_type = provenance_data->get("type");
    const bool known = prov_type != nullptr && prov_type->is_string() &&
                       std::find(shared::VALID_PROVENANCE_TYPES.begin(),
                                 shared::VALID_PROVENANCE_TYPES.end(),
                                 prov_type->as_string()) != shared::VALID_PROVENANCE_TYPES.end();
    if (!known) {
      output::error("provenance.type must be one of " +
                    display::repr::python_list(shared::VALID_PROVENANCE_TYPES) +
                    ", got: " + (prov_type ? display::repr::python_repr(*prov_type) : "None"));
      return 1;
    }
  }

  const std::string timestamp =
      present(options.timestamp) ? *options.timestamp : core::clock::utc_now_iso();

  Map attestation;
  attestation.set("staged_diff_hash", staged_diff_hash);
  attestation.set("timestamp", timestamp);
  attestation.set("agent_model", *options.model);
  if (present(options.agent)) {
    attestation.set("agent", *options.agent);
  }
  if (present(options.provider)) {
    attestation.set("agent_provider", *options.provider);
  }
  if (present(options.agent_id)) {
    attestation.set("agent_id", *options.agent_id);
  }
  if (present(provenance_data)) {
    attestation.set("provenance", *provenance_data);
  }
  if (present(options.task_type)) {
    attestation.set("task_type", *options.task_type);
  }
  if (present(rules_data)) {
    attestation.set("rules", *rules_data);
  }
  if (present(arch_changes_data)) {
    // Walk the primitives, not the given keys: the written order is fixed, and keys
    // that are not primitives are dropped.
    Map changes;
    for (const auto primitive : shared::V2_PRIMITIVES) {
      if (const Value* entry = arch_changes_data->get(primitive)) {
        changes.set(primitive, *entry);
      }
    }
    attestation.set("changes", std::move(changes));
  }
  attestation.set("summary", *options.summary);

  const char* no_verify_env = std::getenv("KOLVEX_NO_VERIFY");
  const bool skip_validation =
      options.no_verify || (no_verify_env != nullptr && std::string_view(no_verify_env) == "1");
  const Value document(std::move(attestation));
  if (!skip_validation) {
    const auto [errors, warnings] = shared::validate_attestation_fields(document);
    for (const auto& message : warnings) {
      output::warning(message);
    }
    if (!errors.empty()) {
      for (const auto& message : errors) {
        output::error(message);
      }
      return 1;
    }
  }

  const auto attestation_path = paths::commit_attestation(repo_root);
  const core::fs::Confined at = paths::confined(repo_root, attestation_path);
  core::fs::create_directories(at.parent());
  if (const auto replaced = unused_pending_summary(at)) {
    output::warning("Replacing the pending attestation \"" + *replaced +
                    "\", which no commit has used: its change was never committed, or the "
                    "hook that would have filed it did not run.");
  }
  // Replaced through a sibling and rename(2), so a hook reading the pending file
  // never sees half of it.
  core::fs::atomic_replace(at, "---\n" + core::yaml::dump(document) + "---\n");

  output::success("Created " + attestation_path.lexically_relative(repo_root).string());
  output::info("  Run 'git commit' \u2014 the pre-commit hook will verify the hash.");
  if (!shared::local_config_exists(repo_root)) {
    // The file is written all the same: setup may still come before the commit.
    output::warning("This repository is not set up for kolvex, so nothing will record the "
                    "commit this attestation is for. Run `kolvex setup` first.");
  }
  return 0;
}

void register_attest(CLI::App& app)
{
  auto options = std::make_shared<AttestOptions>();
  CLI::App* group = app.add_subcommand("attest", k_summary);
  group->formatter(
      std::make_shared<ParagraphFormatter>(std::string(k_example) + "\n\n" + k_automatic + "\n"));
  group->require_subcommand(0, 1);

  // Options fill the optional fields through callbacks, so that a flag given with an
  // empty value is told apart from one not given.  Repeating an option keeps the last
  // value, as shells and scripts expect.
  const auto text_option = [group, options](const char* name,
                                            std::optional<std::string> AttestOptions::*field,
                                            const char* help) {
    return group
        ->add_option_function<std::string>(
            name, [options, field](const std::string& value) { (*options).*field = value; }, help)
        ->type_name("TEXT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  group->add_flag(
      "--example", options->show_example, "Print the example attestation template and exit.");
  text_option("--staged-diff-hash", &AttestOptions::staged_diff_hash, "SHA-256 of staged diff.");
  text_option(
      "--agent",
      &AttestOptions::agent,
      "Agent name (e.g. claude-code, cursor, aider). Optional \u2014 sync fills it from the "
      "active adapter if omitted.");
  text_option("--provider",
              &AttestOptions::provider,
              "Model provider (e.g. anthropic, openai). Optional \u2014 sync fills it from the "
              "active adapter if omitted.");
  text_option("--model", &AttestOptions::model, "Model ID (e.g. claude-opus-4-6).");
  text_option("--summary", &AttestOptions::summary, "One-line impact summary.");
  text_option("--agent-id", &AttestOptions::agent_id, "Optional agent identifier.");
  text_option(
      "--rules", &AttestOptions::rules, R"(JSON string: {"checked": true, "applicable": [...]}.)");
  text_option("--arch-changes",
              &AttestOptions::arch_changes,
              "JSON string with architecture change primitives. Elements use structured format: "
              "{\"architecture\": {\"elements\": [{\"name\": \"...\", \"change\": "
              "\"added|modified|removed\", \"description\": \"...\", \"fact_changes\": {\"add\": "
              "[], \"update\": [], \"remove\": []}}], ...}}");
  text_option("--provenance",
              &AttestOptions::provenance,
              "JSON string: {\"type\": \"spec|ticket|bug-fix|ad-hoc\", \"ref\": \"...\"}. Where "
              "the request came from.");
  const std::vector<std::string> task_types(shared::VALID_TASK_TYPES.begin(),
                                            shared::VALID_TASK_TYPES.end());
  text_option("--task-type",
              &AttestOptions::task_type,
              "What kind of change this is, as opposed to where the request came from.")
      ->check(CLI::IsMember(task_types));
  text_option(
      "--timestamp", &AttestOptions::timestamp, "ISO 8601 timestamp. Auto-generated if omitted.");
  group->add_flag(
      "--no-verify", options->no_verify, "Skip field validation (hash check still runs).");

  register_attest_add(*group);

  group->callback([group, options] {
    const int status = attest(!group->get_subcommands().empty(), *options);
    if (status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
}

} // namespace kolvex::commands::attest
