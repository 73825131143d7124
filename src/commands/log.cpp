#include "commands/log.hpp"

#include "frontend/command_values.hpp"
#include "frontend/revision_range.hpp"
#include "frontend/signed_records.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "display/output.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/change_hash.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/sync/note_signing.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kolvex::commands {

namespace {

namespace output = display::output;
namespace stdfs = std::filesystem;
namespace rlog = services::relaycore::log;

struct LogOptions {
  std::string range;
  bool json = false;
  std::string check;
};

// What a commit's record says, as one line of the listing shows it.  An attested
// record falls short when it absorbed work nobody attested (a squash or fixup of
// an unattested commit) or when its staged-diff hash no longer names the commit's
// change (an amend that changed what was attested).
enum class State { attested, partly_attested, changed_since, recorded, not_recorded };

// A commit a squash or fixup absorbed, and why no attestation covers it.
struct Part {
  std::string commit;
  std::string why; // "unattested", "attestation skipped" or "not recorded"
};

struct Row {
  std::string commit;
  std::string subject;
  State state = State::not_recorded;
  core::Map record;             // the log line (or the note's record); empty when not recorded
  core::Map attestation;        // an attested record's archive (or the note's copy of it)
  std::string model;            // the attested model, when the record names one
  std::string source;           // "log" or "notes"; empty when not recorded
  std::string unsigned_because; // with --check signed: why no signed record counts
  // Absorbed commits without an attestation, for a partly attested record.
  std::vector<Part> unattested_parts;
};

// The text of `map`'s `key` when it is a non-empty text.
std::string text_of(const core::Map& map, std::string_view key)
{
  const core::Value* value = map.find(key);
  return value != nullptr && value->is_string() ? value->as_string() : std::string();
}

// A record is attested when its line carries no event of a commit recorded without
// one, the same test the log's counts use.
bool attested(const core::Map& record)
{
  return rlog::classify_log_line(record).event == rlog::LineEvent::attested;
}

// An attested record's attestation: the note's copy, else the archive.  An archive
// that cannot be read is an empty map.
core::Map attestation_of(const core::Map& record, const paths::DirectoryHandle& archives)
{
  if (const core::Value* attestation = record.find("attestation");
      attestation != nullptr && attestation->is_map()) {
    return attestation->as_map();
  }
  const std::string name = text_of(record, "commit") + ".yaml";
  try {
    const std::optional<std::string> text = archives.read_file(name);
    if (!text) {
      return {};
    }
    core::fs::require_utf8(*text, archives.path() / name);
    core::Value parsed = core::yaml::load(*text);
    return parsed.is_map() ? std::move(parsed.as_map()) : core::Map{};
  } catch (const std::exception&) {
    return {};
  }
}

// The model an attested record names: its telemetry's, else its attestation's
// "agent_model".
std::string model_of(const core::Map& record, const core::Map& attestation)
{
  if (const core::Value* telemetry = record.find("telemetry");
      telemetry != nullptr && telemetry->is_map()) {
    if (const core::Value* model = telemetry->get("model");
        model != nullptr && model->is_string()) {
      return model->as_string();
    }
  }
  return text_of(attestation, "agent_model");
}

// The absorbed commits of a carried record that no attestation covers.
std::vector<Part> unattested_parts(const core::Map& attestation)
{
  std::vector<Part> parts;
  const core::Value* absorbed = attestation.find("absorbed_records");
  if (absorbed == nullptr || !absorbed->is_list()) {
    return parts;
  }
  for (const core::Value& item : absorbed->as_list()) {
    if (!item.is_map()) {
      continue;
    }
    const core::Map& part = item.as_map();
    std::string commit = text_of(part, "commit");
    if (const core::Value* recorded = part.find("recorded");
        recorded != nullptr && !core::truthy(*recorded)) {
      parts.push_back({std::move(commit), "not recorded"});
      continue;
    }
    switch (rlog::classify_log_line(part).event) {
    case rlog::LineEvent::attested:
      break;
    case rlog::LineEvent::skipped:
      parts.push_back({std::move(commit), "attestation skipped"});
      break;
    case rlog::LineEvent::unattested:
      parts.push_back({std::move(commit), "unattested"});
      break;
    }
  }
  return parts;
}

// The staged-diff hash an attestation declares ("diff_hash" in older ones).
std::string declared_hash(const core::Map& attestation)
{
  std::string hash = text_of(attestation, "staged_diff_hash");
  return hash.empty() ? text_of(attestation, "diff_hash") : hash;
}

// Fills each row's record from the log, read once for the whole range, then from
// the notes.
void fill_from_log(std::vector<Row>& rows, const stdfs::path& root)
{
  std::unordered_set<std::string> wanted;
  for (const Row& row : rows) {
    wanted.insert(row.commit);
  }
  auto records = rlog::read_log_records(paths::confined(paths::log_jsonl(root)), wanted);
  std::unordered_set<std::string> missing;
  for (Row& row : rows) {
    if (auto found = records.find(row.commit); found != records.end()) {
      row.record = std::move(found->second);
      row.source = "log";
    } else {
      missing.insert(row.commit);
    }
  }
  // What the local log does not hold may have travelled as a git note (a fresh
  // clone in CI holds nothing else).
  auto notes = services::relaycore::sync::read_note_records(root, missing);
  for (Row& row : rows) {
    if (auto found = notes.find(row.commit); row.source.empty() && found != notes.end()) {
      row.record = std::move(found->second);
      row.source = "notes";
    }
  }
}

// Whether a record can be held against its commit's change: an attested one that
// declares a hash.  A record that absorbed others combines several attested changes
// that no one hash names; one without a hash (older records, hand-written archives)
// names none.
bool hash_checked(const Row& row)
{
  return row.state == State::attested && !row.attestation.contains("absorbed_records") &&
         !declared_hash(row.attestation).empty();
}

// Whether each attested record still describes its commit: its declared hash (or
// the hash a rebase that moved the same patch carried) against the commit's own
// change, for the whole range in one git call.
void check_diff_hashes(std::vector<Row>& rows, const stdfs::path& root)
{
  std::vector<std::string> checked;
  for (const Row& row : rows) {
    if (hash_checked(row)) {
      checked.push_back(row.commit);
    }
  }
  if (checked.empty()) {
    return;
  }
  const auto changes = rlog::commit_change_hashes(root, checked);
  for (Row& row : rows) {
    const auto change = changes.find(row.commit);
    if (hash_checked(row) && change != changes.end() &&
        !change->second.matches(declared_hash(row.attestation)) &&
        !change->second.matches(text_of(row.attestation, "carried_diff_hash"))) {
      row.state = State::changed_since;
    }
  }
}

// With --check signed only a note whose signature checks out is a record: the local
// log is this machine's word, not the signer's.
void fill_from_signed_notes(std::vector<Row>& rows, const stdfs::path& root)
{
  std::unordered_set<std::string> wanted;
  for (const Row& row : rows) {
    wanted.insert(row.commit);
  }
  auto records = signed_records(root, wanted);
  for (Row& row : rows) {
    SignedRecord& found = records[row.commit];
    if (found.record) {
      row.record = std::move(*found.record);
      row.source = "notes";
    } else {
      row.unsigned_because = found.problem;
    }
  }
}

// The archive directory of `root`, opened once for every row; refused or
// unreadable, a directory without one, so that each attestation reads as empty as
// it would read by name.
paths::DirectoryHandle open_archives(const stdfs::path& root)
{
  try {
    return paths::RepositoryHandle(root).open_directory(paths::attestations_dir(root));
  } catch (const std::system_error&) {
    return {};
  }
}

void classify(std::vector<Row>& rows, const stdfs::path& root)
{
  const paths::DirectoryHandle archives = open_archives(root);
  for (Row& row : rows) {
    if (row.source.empty()) {
      row.state = State::not_recorded;
    } else if (attested(row.record)) {
      row.attestation = attestation_of(row.record, archives);
      row.model = model_of(row.record, row.attestation);
      row.unattested_parts = unattested_parts(row.attestation);
      row.state = row.unattested_parts.empty() ? State::attested : State::partly_attested;
    } else {
      row.state = State::recorded;
    }
  }
  check_diff_hashes(rows, root);
}

const char* state_name(State state)
{
  switch (state) {
  case State::attested:
    return "attested";
  case State::partly_attested:
    return "partly_attested";
  case State::changed_since:
    return "changed_since";
  case State::recorded:
    return "recorded";
  case State::not_recorded:
    break;
  }
  return "not_recorded";
}

// The old commits a carried record names.
std::vector<std::string> rewritten_from(const core::Map& record)
{
  std::vector<std::string> shas;
  if (const core::Value* list = record.find("rewritten_from"); list != nullptr && list->is_list()) {
    for (const core::Value& sha : list->as_list()) {
      if (sha.is_string()) {
        shas.push_back(sha.as_string());
      }
    }
  }
  return shas;
}

std::string describe(const Row& row)
{
  std::string text;
  switch (row.state) {
  case State::attested:
  case State::partly_attested:
  case State::changed_since: {
    text = row.state == State::attested          ? "attested"
           : row.state == State::partly_attested ? "partly attested"
                                                 : "attested, changed since";
    const std::string summary = text_of(row.record, "summary");
    std::vector<std::string> parts;
    if (!row.model.empty()) {
      parts.push_back(row.model);
    }
    if (!summary.empty()) {
      parts.push_back("\"" + summary + "\"");
    }
    if (!parts.empty()) {
      text += ": " + core::text::join(parts, ", ");
    }
    if (row.state == State::partly_attested) {
      std::vector<std::string> named;
      for (const Part& part : row.unattested_parts) {
        named.push_back(part.commit.substr(0, 7) + " (" + part.why + ")");
      }
      text += "; absorbed without an attestation: " + core::text::join(named, ", ");
    } else if (row.state == State::changed_since) {
      text += "; the commit's change is not the one attested";
    }
    break;
  }
  case State::recorded: {
    text = "recorded, no attestation";
    std::vector<std::string> parts;
    if (const std::string agent = text_of(row.record, "agent"); !agent.empty()) {
      parts.push_back("agent " + agent);
    }
    if (const std::string session = text_of(row.record, "agent_session_id"); !session.empty()) {
      parts.push_back("session " + session);
    }
    if (!parts.empty()) {
      text += ": " + core::text::join(parts, ", ");
    }
    break;
  }
  case State::not_recorded:
    return "not recorded";
  }
  if (const auto olds = rewritten_from(row.record); !olds.empty()) {
    std::vector<std::string> shorts;
    for (const std::string& sha : olds) {
      shorts.push_back(sha.substr(0, 7));
    }
    text += " (carried from " + core::text::join(shorts, ", ") + ")";
  }
  if (const std::string from = text_of(row.record, "cherry_picked_from"); !from.empty()) {
    text += " (cherry-picked from " + from.substr(0, 7) + ")";
  }
  if (const std::string by = text_of(row.record, "replaced_by"); !by.empty()) {
    text += " (replaced by " + by.substr(0, 7) + ")";
  }
  if (row.source == "notes") {
    text += " [git note]";
  }
  return text;
}

struct Totals {
  std::int64_t attested = 0;
  std::int64_t partly_attested = 0;
  std::int64_t changed_since = 0;
  std::int64_t recorded = 0;
  std::int64_t not_recorded = 0;
};

Totals totals_of(const std::vector<Row>& rows)
{
  Totals totals;
  for (const Row& row : rows) {
    switch (row.state) {
    case State::attested:
      ++totals.attested;
      break;
    case State::partly_attested:
      ++totals.partly_attested;
      break;
    case State::changed_since:
      ++totals.changed_since;
      break;
    case State::recorded:
      ++totals.recorded;
      break;
    case State::not_recorded:
      ++totals.not_recorded;
      break;
    }
  }
  return totals;
}

void print_words(const std::vector<Row>& rows, const std::string& shown)
{
  auto& console = output::console();
  if (rows.empty()) {
    console.print("No commits in " + shown + ".");
    return;
  }
  for (const Row& row : rows) {
    console.print(row.commit.substr(0, 7) + "  " + row.subject + "  -- " + describe(row));
  }
  const Totals totals = totals_of(rows);
  std::string counts = std::to_string(totals.attested) + " attested, ";
  if (totals.partly_attested > 0) {
    counts += std::to_string(totals.partly_attested) + " partly attested, ";
  }
  if (totals.changed_since > 0) {
    counts += std::to_string(totals.changed_since) + " attested but changed since, ";
  }
  console.print(frontend::counted(static_cast<long long>(rows.size()), "commit") + " in " + shown +
                ": " + counts + std::to_string(totals.recorded) +
                " recorded without an attestation, " + std::to_string(totals.not_recorded) +
                " not recorded");
}

// In a clone, the records of other machines come as git notes, which a plain clone
// does not fetch: every commit would read "not recorded" with nothing to say why.
void hint_unfetched_notes(const std::vector<Row>& rows, const stdfs::path& root)
{
  const bool any_unrecorded = std::any_of(
      rows.begin(), rows.end(), [](const Row& row) { return row.state == State::not_recorded; });
  if (!any_unrecorded ||
      !services::relaycore::log::_git({"for-each-ref", "--count=1", "refs/notes/"}, root).empty() ||
      services::relaycore::log::_git({"remote"}, root).empty()) {
    return;
  }
  output::info("No kolvex notes have been fetched, so records made on other machines are not "
               "shown. Fetch them with `git fetch origin "
               "'+refs/notes/kolvex*:refs/notes/remotes/origin/kolvex*'` (`kolvex setup` makes "
               "every fetch bring them).");
}

void print_json(const std::vector<Row>& rows, const std::string& shown)
{
  core::List commits;
  for (const Row& row : rows) {
    core::Map item{
        {"commit", row.commit}, {"subject", row.subject}, {"state", state_name(row.state)}};
    if (row.state != State::not_recorded) {
      item.set("source", row.source);
      for (const char* key : {"agent",
                              "summary",
                              "agent_session_id",
                              "event",
                              "timestamp",
                              "cherry_picked_from",
                              "replaced_by"}) {
        if (std::string value = text_of(row.record, key); !value.empty()) {
          // Records written by different versions say UTC either way; a script
          // comparing them gets one spelling.
          if (std::string_view(key) == "timestamp" && value.ends_with("+00:00")) {
            value.replace(value.size() - 6, 6, "Z");
          }
          item.set(key, value);
        }
      }
      if (!row.model.empty()) {
        item.set("model", row.model);
      }
      if (const auto olds = rewritten_from(row.record); !olds.empty()) {
        core::List list;
        for (const std::string& sha : olds) {
          list.emplace_back(sha);
        }
        item.set("rewritten_from", std::move(list));
      }
      if (!row.unattested_parts.empty()) {
        core::List list;
        for (const Part& part : row.unattested_parts) {
          list.emplace_back(core::Map{{"commit", part.commit}, {"state", part.why}});
        }
        item.set("absorbed_unattested", std::move(list));
      }
    }
    commits.emplace_back(std::move(item));
  }
  const Totals totals = totals_of(rows);
  core::Map document{{"range", shown},
                     {"commits", std::move(commits)},
                     {"totals",
                      core::Map{{"commits", static_cast<std::int64_t>(rows.size())},
                                {"attested", totals.attested},
                                {"partly_attested", totals.partly_attested},
                                {"changed_since", totals.changed_since},
                                {"recorded", totals.recorded},
                                {"not_recorded", totals.not_recorded}}}};
  output::console().print(core::json::dump(core::Value(std::move(document))));
}

// The commits that fall short of `check`, named on stderr; the count of them.
std::size_t report_shortfall(const std::vector<Row>& rows, const std::string& check)
{
  std::size_t short_of = 0;
  for (const Row& row : rows) {
    const bool fails =
        row.state == State::not_recorded || (check != "recorded" && row.state != State::attested);
    if (fails) {
      ++short_of;
      const std::string why = row.unsigned_because.empty() ? describe(row) : row.unsigned_because;
      output::error("not " + check + ": " + row.commit + " " + row.subject + " (" + why + ")");
    }
  }
  return short_of;
}

int run_log(const LogOptions& options)
{
  const stdfs::path root = services::shared::get_repo_root();
  RevisionRange range = list_range(root, options.range);
  const std::string& shown = range.shown;
  std::vector<Row> rows;
  for (RangeCommit& commit : range.commits) {
    Row row;
    row.commit = std::move(commit.commit);
    row.subject = std::move(commit.subject);
    rows.push_back(std::move(row));
  }
  if (options.check == "signed") {
    try {
      fill_from_signed_notes(rows, root);
    } catch (const services::relaycore::sync::SigningUnavailable& e) {
      output::error(std::string("cannot check signatures: ") + e.what());
      return 2;
    }
  } else {
    fill_from_log(rows, root);
  }
  classify(rows, root);
  if (options.json) {
    print_json(rows, shown);
  } else {
    print_words(rows, shown);
    hint_unfetched_notes(rows, root);
  }
  if (!options.check.empty()) {
    const std::size_t short_of = report_shortfall(rows, options.check);
    if (short_of > 0) {
      output::error(std::to_string(short_of) + " of " +
                    frontend::counted(static_cast<long long>(rows.size()), "commit") + " in " +
                    shown + " " + (short_of == 1 ? "is" : "are") + " not " + options.check);
      return 1;
    }
  }
  return 0;
}

} // namespace

void register_log(CLI::App& app)
{
  auto options = std::make_shared<LogOptions>();
  CLI::App* command = app.add_subcommand(
      "log",
      "List the commits of a range with the state of each one's record: attested (model and "
      "summary); partly attested (a squash or fixup absorbed commits nobody attested, named); "
      "attested, changed since (the commit's change is no longer the staged diff the "
      "attestation hashed); recorded without an attestation (agent and session); or not "
      "recorded; then the totals. Reads only.");
  command->add_option("range",
                      options->range,
                      "A git revision range (origin/main..HEAD, HEAD~5.., a single commit "
                      "for its history). Default: the branch's commits not on its upstream, "
                      "or without an upstream the last 20 commits of HEAD.");
  command->add_flag("--json",
                    options->json,
                    "Print one JSON object: range, commits (commit, subject, state: attested, "
                    "partly_attested, changed_since, recorded or not_recorded, and what the "
                    "record says) and totals.");
  command
      ->add_option("--check",
                   options->check,
                   "Exit 1, naming each one on stderr, when a commit in the range is not "
                   "recorded (recorded), not wholly attested (attested: partly attested and "
                   "changed-since commits fail too), or has no attested git note signed by a key "
                   "git trusts (signed: gpg.ssh.allowedSignersFile or the gpg keyring; exit 2 "
                   "when that cannot be checked here); for pre-push hooks and CI.")
      ->check(CLI::IsMember({"recorded", "attested", "signed"}));
  command->callback([options] {
    if (const int status = run_log(*options); status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
}

} // namespace kolvex::commands
