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
#include "frontend/attestation_fields.hpp"
#include "hooks/scripts.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/repository.hpp"

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
// the example to be pasted into a shell.  The last call breaks inside its quoted
// JSON, where a line break is only white space, to stay within 80 columns.
constexpr const char* k_example =
    "Example:\n"
    "  kolvex attest --example\n"
    "  kolvex attest \\\n"
    "    --staged-diff-hash $(git diff --staged | shasum -a 256 | cut -d' ' -f1) \\\n"
    "    --model claude-opus-4-6 \\\n"
    "    --summary \"Added rate limiting to auth endpoints\" \\\n"
    "    --rules '{\"checked\": true, \"applicable\": [...]}' \\\n"
    "    --arch-changes '{\"architecture\": {\"elements\": [{\"name\": \"web-api\",\n"
    "      \"change\": \"modified\", ...}], ...}}'";

constexpr const char* k_automatic =
    "Developer identity, agent session id, and telemetry are populated automatically\n"
    "by kolvex post-commit. Don't pass them here.";

// The first `n` characters (code points) of the UTF-8 text `text`.
std::string first_chars(std::string_view text, std::size_t n)
{
  std::size_t pos = 0;
  for (std::size_t count = 0; count < n && pos < text.size(); ++count) {
    pos += core::text::utf8_step(text, pos).length;
  }
  return std::string(text.substr(0, pos));
}

// A JSON flag as parsed: absent or empty is absent data, not an error.
struct JsonFlag {
  std::optional<Value> value;
  std::string error; // "<prefix><description>" when the flag is not JSON
};

JsonFlag parse_json_flag(const std::optional<std::string>& flag, std::string_view prefix)
{
  if (!flag || flag->empty()) {
    return {};
  }
  try {
    return {.value = core::json::parse(*flag), .error = {}};
  } catch (const core::json::JsonError& e) {
    return {.value = std::nullopt, .error = std::string(prefix) + e.what()};
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

// The flags' JSON, once every check has passed.
struct CheckedFlags {
  std::optional<Value> rules;
  std::optional<Value> arch_changes;
  std::optional<Value> provenance;
};

// The required flags not given, as the message that names them.
std::optional<std::string> missing_flags(const AttestOptions& options)
{
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
  if (missing.empty()) {
    return std::nullopt;
  }
  return "Missing required flags: " + missing;
}

// Why the provenance flag's object cannot be used, when it cannot.
std::optional<std::string> provenance_error(const Value& provenance)
{
  if (!provenance.is_map()) {
    return "--provenance must be a JSON object, got: " + std::string(provenance.type_name());
  }
  const Value* type = provenance.get("type");
  const bool known = type != nullptr && type->is_string() &&
                     std::find(shared::VALID_PROVENANCE_TYPES.begin(),
                               shared::VALID_PROVENANCE_TYPES.end(),
                               type->as_string()) != shared::VALID_PROVENANCE_TYPES.end();
  if (known) {
    return std::nullopt;
  }
  return "provenance.type must be one of " +
         display::repr::python_list(shared::VALID_PROVENANCE_TYPES) +
         ", got: " + (type ? display::repr::python_repr(*type) : "None");
}

// The checks every attestation passes, --no-verify or not: the staged change is the
// one hashed, and the JSON flags are JSON of the right kind.  Reports the first that
// fails and returns nullopt.
std::optional<CheckedFlags> check(const AttestOptions& options,
                                  const std::filesystem::path& repo_root)
{
  // The hash ties the attestation to the commit: a stale one would file it under
  // the wrong change.
  const auto& staged_diff_hash = *options.staged_diff_hash;
  const auto current_hash = shared::get_staged_diff_hash(repo_root);
  if (staged_diff_hash != current_hash) {
    output::error("Diff hash mismatch \u2014 staged changes have changed since hash was computed");
    output::console().print("  Provided: " + first_chars(staged_diff_hash, 16) + "...");
    output::console().print("  Current:  " + first_chars(current_hash, 16) + "...");
    return std::nullopt;
  }
  const JsonFlag rules = parse_json_flag(options.rules, "Invalid --rules JSON: ");
  const JsonFlag arch_changes =
      parse_json_flag(options.arch_changes, "Invalid --arch-changes JSON: ");
  const JsonFlag provenance = parse_json_flag(options.provenance, "Invalid --provenance JSON: ");
  std::optional<std::string> error;
  if (!rules.error.empty()) {
    error = rules.error;
  } else if (!arch_changes.error.empty()) {
    error = arch_changes.error;
  } else if (present(arch_changes.value) && !arch_changes.value->is_map()) {
    // Only an object can name primitives; any other non-empty value would be
    // dropped without a word, so it is refused instead.
    error = "--arch-changes must be a JSON object, got: " +
            std::string(arch_changes.value->type_name());
  } else if (!provenance.error.empty()) {
    error = provenance.error;
  } else if (provenance.value) {
    error = provenance_error(*provenance.value);
  }
  if (error) {
    output::error(*error);
    return std::nullopt;
  }
  return CheckedFlags{
      .rules = rules.value, .arch_changes = arch_changes.value, .provenance = provenance.value};
}

// The attestation the flags describe, its fields in the order they are written.
Value build(const AttestOptions& options, const CheckedFlags& flags)
{
  Map attestation;
  attestation.set("staged_diff_hash", *options.staged_diff_hash);
  attestation.set("timestamp",
                  present(options.timestamp) ? *options.timestamp : core::clock::utc_now_iso());
  attestation.set("agent_model", *options.model);
  const auto set_text = [&attestation](const char* key, const std::optional<std::string>& text) {
    if (present(text)) {
      attestation.set(key, *text);
    }
  };
  set_text("agent", options.agent);
  set_text("agent_provider", options.provider);
  set_text("agent_id", options.agent_id);
  if (present(flags.provenance)) {
    attestation.set("provenance", *flags.provenance);
  }
  set_text("task_type", options.task_type);
  if (present(flags.rules)) {
    attestation.set("rules", *flags.rules);
  }
  if (present(flags.arch_changes)) {
    // Walk the primitives, not the given keys: the written order is fixed, and keys
    // that are not primitives are dropped.
    Map changes;
    for (const auto primitive : shared::V2_PRIMITIVES) {
      if (const Value* entry = flags.arch_changes->get(primitive)) {
        changes.set(primitive, *entry);
      }
    }
    attestation.set("changes", std::move(changes));
  }
  attestation.set("summary", *options.summary);
  return Value(std::move(attestation));
}

// Whether `document` passes the field checks; prints their warnings and errors.
bool fields_valid(const Value& document)
{
  const auto [errors, warnings] = shared::validate_attestation_fields(document);
  for (const auto& message : warnings) {
    output::warning(message);
  }
  for (const auto& message : errors) {
    output::error(message);
  }
  return errors.empty();
}

// Writes `document` as the pending attestation of `repo_root`, saying what it
// replaced and whether a commit will record it.
void write_pending(const std::filesystem::path& repo_root, const Value& document)
{
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
  if (const auto missing = missing_flags(options)) {
    output::error(*missing);
    return 1;
  }
  const auto repo_root = shared::get_repo_root();
  const auto flags = check(options, repo_root);
  if (!flags) {
    return 1;
  }
  const Value document = build(options, *flags);
  const char* no_verify_env = std::getenv("KOLVEX_NO_VERIFY");
  const bool skip_validation =
      options.no_verify || (no_verify_env != nullptr && std::string_view(no_verify_env) == "1");
  if (!skip_validation && !fields_valid(document)) {
    return 1;
  }
  write_pending(repo_root, document);
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
