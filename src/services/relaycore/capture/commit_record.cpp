#include "services/relaycore/capture/commit_record.hpp"

#include "core/text.hpp"
#include "paths.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_writer.hpp"

#include <re2/re2.h>

#include <vector>

namespace kolvex::services::relaycore::capture {

namespace {

const RE2& subject_prefix_re()
{
  static const RE2 re{std::string(SUBJECT_PREFIX_RE)};
  return re;
}

const RE2& branch_prefix_re()
{
  static const RE2 re{std::string(BRANCH_PREFIX_RE)};
  return re;
}

// The task type the letters captured by `re` at the start of `text` declare.
std::optional<std::string> prefix_task_type(const RE2& re, std::string_view text)
{
  std::string letters;
  if (!RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), re, &letters)) {
    return std::nullopt;
  }
  const std::string key = core::text::lower(letters);
  for (const auto& [prefix, task_type] : TASK_TYPE_PREFIXES) {
    if (prefix == key) {
      return std::string(task_type);
    }
  }
  return std::nullopt;
}

bool non_empty(const core::Map& map, std::string_view key)
{
  const core::Value* value = map.find(key);
  return value != nullptr && core::truthy(*value);
}

bool non_empty(const std::optional<std::string>& text)
{
  return text && !text->empty();
}

// git's metadata text (log::_commit_metadata) cut at its first three newlines,
// padded to four parts: author date, author name, author e-mail, subject.  A
// newline past the third stays in the subject.
std::array<std::string, 4> split_metadata(const std::string& answer)
{
  std::array<std::string, 4> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t newline = answer.find('\n', start);
    if (newline == std::string::npos) {
      parts[i] = answer.substr(start);
      return parts;
    }
    parts[i] = answer.substr(start, newline - start);
    start = newline + 1;
  }
  parts[3] = answer.substr(start);
  return parts;
}

} // namespace

std::optional<std::string> infer_task_type(std::string_view subject,
                                           std::optional<std::string_view> branch)
{
  if (auto from_subject = prefix_task_type(subject_prefix_re(), subject)) {
    return from_subject;
  }
  return prefix_task_type(branch_prefix_re(), branch.value_or(std::string_view()));
}

BackfillResult _write_commit_record(const paths::RepositoryHandle& repo,
                                    const std::string& commit,
                                    CommitRecordOptions options)
{
  std::optional<std::string> branch = options.branch;
  return write_commit_record_with(repo, commit, std::move(options), [&branch] { return branch; });
}

BackfillResult write_commit_record_with(const paths::RepositoryHandle& repo,
                                        const std::string& commit,
                                        CommitRecordOptions options,
                                        const BranchLookup& branch_of)
{
  const std::filesystem::path& repo_root = repo.root();
  const auto [author_date, author_name, author_email, subject] = split_metadata(
      options.metadata ? *options.metadata : log::_commit_metadata(repo_root, commit));

  std::optional<core::Map> developer = std::move(options.developer);
  if (options.developer_from_commit) {
    // A walk over history meets other people's commits: the author is the one
    // who made this commit, not whoever is configured on this machine.
    core::Map author;
    if (!author_name.empty()) {
      author.set("git_author_name", author_name);
    }
    if (!author_email.empty()) {
      author.set("git_author_email", author_email);
    }
    developer = author.empty() ? std::nullopt : std::optional<core::Map>(std::move(author));
  }

  std::optional<core::Map>& telemetry = options.telemetry;
  // HEAD's branch when it was asked for the task type: the line needs it too.
  std::optional<std::string> head_branch;
  const bool has_telemetry = telemetry && !telemetry->empty();

  core::Map record;
  record.set("source", options.source);
  record.set("timestamp", author_date);
  record.set("agent", options.agent_name);
  if (non_empty(options.agent_provider)) {
    record.set("agent_provider", *options.agent_provider);
  }
  if (has_telemetry && non_empty(*telemetry, "model")) {
    record.set("agent_model", *telemetry->find("model"));
  }
  if (non_empty(options.session_id)) {
    record.set("agent_session_id", *options.session_id);
  }
  if (developer && !developer->empty()) {
    record.set("developer", *developer);
  }
  if (options.source == "backfill") {
    record.set("provenance", core::Map{{"type", "ad-hoc"}, {"ref", "backfill"}});
  }
  if (non_empty(options.task_type)) {
    record.set("task_type", *options.task_type);
    record.set("task_type_source", "declared");
  } else {
    auto inferred = infer_task_type(subject);
    if (!inferred) {
      head_branch = branch_of();
      if (head_branch) {
        inferred = infer_task_type(subject, *head_branch);
      }
    }
    if (inferred) {
      record.set("task_type", std::move(*inferred));
      record.set("task_type_source", "inferred");
    }
  }
  if (options.branch_is_head && !head_branch) {
    // The line records HEAD's branch whether or not the inference needed it.
    head_branch = branch_of();
  }
  record.set("summary", subject);
  if (options.cherry_picked_from) {
    record.set("cherry_picked_from", std::move(*options.cherry_picked_from));
  }
  if (has_telemetry) {
    if (non_empty(options.session_id) && !telemetry->contains("session_id")) {
      telemetry->set("session_id", *options.session_id);
    }
    record.set("telemetry", *telemetry);
  }

  const log::RecordFiles files = log::record_files(repo);
  const bool written =
      log::_log_attestation(files.log,
                            files.attestations,
                            record,
                            {.commit_override = commit,
                             .repo_root = repo_root,
                             .archive_ledger = options.archive_ledger,
                             .event = options.event,
                             .skip_if_logged = options.skip_if_logged,
                             .head_branch = options.branch_is_head ? head_branch : std::nullopt});

  BackfillResult result;
  result.commit = commit;
  if (!written) {
    result.reason = ALREADY_RECORDED;
    return result;
  }
  result.written = true;
  result.tokens = has_telemetry && non_empty(*telemetry, "tokens");
  return result;
}

} // namespace kolvex::services::relaycore::capture
