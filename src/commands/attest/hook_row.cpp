#include "commands/attest/hook_row.hpp"

#include "contracts/api_client.hpp"
#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "frontend/hook_output.hpp"
#include "frontend/hook_payload.hpp"
#include "frontend/post_tool_due.hpp"
#include "frontend/session_context.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/relaycore/sync/upload.hpp"
#include "utils/best_effort.hpp"

#include <re2/re2.h>
#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <system_error>
#include <vector>

namespace kolvex::commands::attest {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.commands.attest.hook_row");
  return instance;
}

// Compiled once per process, and only by a Bash payload: the row for any other
// tool never pays for it.
const RE2& git_commit_re()
{
  static const RE2 re{re2::StringPiece(GIT_COMMIT_RE.data(), GIT_COMMIT_RE.size())};
  return re;
}

// Whether `dir` has an entry ".git" that is a directory or a file.
bool has_git_entry(const stdfs::path& dir)
{
  std::error_code ec;
  const auto status = stdfs::status(dir / ".git", ec);
  return !ec && (stdfs::is_directory(status) || stdfs::is_regular_file(status));
}

// Whether the log's record of `commit` is an unattested one; nullopt when the log
// holds none.
std::optional<bool> recorded_unattested(const stdfs::path& repo_root, const std::string& commit)
{
  namespace rlog = services::relaycore::log;
  const auto records =
      rlog::read_log_records(paths::confined(paths::log_jsonl(repo_root)), {commit});
  const auto found = records.find(commit);
  if (found == records.end()) {
    return std::nullopt;
  }
  return rlog::classify_log_line(found->second).event == rlog::LineEvent::unattested;
}

} // namespace

bool _tool_failed(const core::Value& payload)
{
  const core::Value* response = payload.get("tool_response");
  if (response == nullptr || !response->is_map()) {
    return false;
  }
  // The boolean itself: a truthy 1 or "yes" is not an interruption.
  if (const core::Value* interrupted = response->get("interrupted");
      interrupted != nullptr && interrupted->is_bool() && interrupted->as_bool()) {
    return true;
  }
  // Harness versions differ in the name; a JSON integer only (not a boolean, a
  // real number or a text).
  for (const char* key : {"exit_code", "exitCode"}) {
    const core::Value* code = response->get(key);
    if (code != nullptr && code->kind() == core::Value::Kind::integer && code->as_int() != 0) {
      return true;
    }
  }
  return false;
}

std::optional<stdfs::path> _repo_root_for(const stdfs::path& start)
{
  for (stdfs::path dir = start; !dir.empty(); dir = dir.parent_path()) {
    if (has_git_entry(dir)) {
      return dir;
    }
    if (dir == dir.parent_path()) {
      break; // the root
    }
  }
  return std::nullopt;
}

bool _is_fresh(long long committed, double now)
{
  const double age = now - static_cast<double>(committed);
  return age >= 0 && age <= static_cast<double>(FRESH_HEAD_SECONDS);
}

bool _head_is_fresh(const stdfs::path& repo_root)
{
  const std::string out =
      services::relaycore::log::_git({"log", "-1", "--format=%ct", "HEAD"}, repo_root);
  long long committed = 0;
  const auto [end, ec] = std::from_chars(out.data(), out.data() + out.size(), committed);
  if (out.empty() || ec != std::errc() || end != out.data() + out.size()) {
    return false;
  }
  return _is_fresh(committed, core::clock::now_seconds());
}

void _upload_best_effort(const stdfs::path& repo_root)
{
  (void)utils::best_effort(
      "attestation upload from the commit hook", utils::Audible::no, [&repo_root] {
        // Every request inside, retries included, shares the one budget: a slow or
        // absent network costs the agent at most this long.
        const auto budget = contracts::network_budget(HOOK_UPLOAD_BUDGET);
        const auto session = services::session_context::resolve_session(repo_root);
        if (!session.connected()) {
          return;
        }
        (void)services::relaycore::sync::upload_attestations(*session.api_key,
                                                             session.api_url,
                                                             repo_root,
                                                             paths::attestations_dir(repo_root),
                                                             core::Value(*session.project_id));
      });
}

std::string _nudge_text(const std::string& sha)
{
  const std::string short_sha = sha.substr(0, 7);
  return "kolvex recorded commit " + short_sha +
         " without an attestation. Write .kolvex/.commit-attestation.yaml for it (format: "
         "`kolvex attest --example`), then run `kolvex attest add --commit " +
         short_sha + "` to attach it. Skip if this commit was intentionally unattested.";
}

std::optional<std::string> _nudge(const std::string& sha)
{
  // Always Claude Code's shape, whatever --agent said: only its row is installed.
  const auto payload = render_hook_context("claude-code", "PostToolUse", _nudge_text(sha));
  if (!payload) {
    return std::nullopt;
  }
  return core::json::dump(*payload);
}

bool _is_commit_call(const core::Value& payload)
{
  if (!payload.is_map()) {
    return false;
  }
  const core::Value* tool = payload.get("tool_name");
  if (tool == nullptr || !tool->is_string() || tool->as_string() != "Bash") {
    return false;
  }
  const core::Value* input = payload.get("tool_input");
  const core::Value* command = input != nullptr ? input->get("command") : nullptr;
  if (command == nullptr || !command->is_string()) {
    return false;
  }
  const std::string& text = command->as_string();
  // Both words must be there for the pattern to match; looking for them first
  // spares a megabyte command the regular expression.
  if (text.find("commit") == std::string::npos || text.find("git") == std::string::npos) {
    return false;
  }
  return RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), git_commit_re()) &&
         !_tool_failed(payload);
}

bool _may_name_commit(const std::string& input)
{
  // A command holds "commit" once decoded; in the JSON text it is spelled out, or
  // some of its letters are \\u escapes.
  if (input.find("commit") == std::string::npos && input.find("\\u") == std::string::npos) {
    return false;
  }
  // The word may sit in the call's output (`git log`, `git show`): look at the
  // commands themselves, every one a repeated key could give, skipping the rest
  // unread.  Any error leaves the verdict to the full parser; a false verdict on a
  // document simdjson did not fully check is safe, as the full parser would refuse
  // a broken one and the row would stop all the same.
  simdjson::padded_string copy;
  simdjson::padded_string_view view;
  if (input.capacity() - input.size() >= simdjson::SIMDJSON_PADDING) {
    view = simdjson::padded_string_view(input.data(), input.size(), input.capacity());
  } else {
    copy = simdjson::padded_string(input);
    view = copy;
  }
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::object payload;
  if (parser.iterate(view).get(document) != simdjson::SUCCESS ||
      document.get_object().get(payload) != simdjson::SUCCESS) {
    return true;
  }
  for (auto field : payload) {
    std::string_view key;
    if (field.unescaped_key().get(key) != simdjson::SUCCESS) {
      return true;
    }
    if (key != "tool_input") {
      continue;
    }
    simdjson::ondemand::object tool_input;
    if (field.value().get_object().get(tool_input) != simdjson::SUCCESS) {
      return true;
    }
    for (auto entry : tool_input) {
      std::string_view name;
      if (entry.unescaped_key().get(name) != simdjson::SUCCESS) {
        return true;
      }
      if (name != "command") {
        continue;
      }
      std::string_view command;
      if (entry.value().get_string().get(command) != simdjson::SUCCESS ||
          (command.find("commit") != std::string_view::npos &&
           command.find("git") != std::string_view::npos)) {
        return true;
      }
    }
  }
  return false;
}

std::optional<std::string> _hook_row(const core::Value& payload,
                                     const std::optional<std::string>& agent)
{
  try {
    // Only a clean Bash call that names a git commit goes further: every other
    // call an agent makes stops here, without a file read or a process.
    if (!_is_commit_call(payload)) {
      return std::nullopt;
    }

    stdfs::path start;
    if (const auto cwd = payload.get_string("cwd"); cwd && !cwd->empty()) {
      start = stdfs::path(*cwd);
    } else {
      start = stdfs::current_path();
    }
    const auto repo_root = _repo_root_for(start);
    if (!repo_root) {
      return std::nullopt;
    }
    // Registered per user, the row fires in every repository; one never set up for
    // kolvex is left exactly as it is.
    if (!services::shared::local_config_exists(*repo_root)) {
      return std::nullopt;
    }
    // Whatever the payload said about the outcome, a HEAD that is not recent was
    // not made by this call (`git status && echo commit` matches the pattern too).
    if (!_head_is_fresh(*repo_root)) {
      return std::nullopt;
    }

    services::relaycore::capture::CaptureOptions options;
    options.session_id = payload.get_string("session_id");
    options.agent = agent;
    const paths::RepositoryHandle repo(*repo_root);
    const auto result = services::relaycore::capture::capture_commit(repo, "HEAD", options);
    logger().debug("capture of HEAD: written " + std::string(result.written ? "yes" : "no") +
                   (result.reason.empty() ? "" : " (" + result.reason + ")"));
    bool unattested = !result.attested;
    if (result.written) {
      services::relaycore::sync::write_notes_if_enabled(*repo_root, {result.commit});
    } else {
      // Recorded already: by the git hook, which leaves the commits it records
      // inside an agent session for this row to upload and speak for, once each.
      // Any other recorded commit (a person's, one checked out again) is not this
      // call's doing, whatever its command says.
      if (result.reason != services::relaycore::capture::ALREADY_RECORDED ||
          !frontend::take_due(repo, result.commit)) {
        return std::nullopt;
      }
      const auto recorded = recorded_unattested(*repo_root, result.commit);
      if (!recorded) {
        return std::nullopt;
      }
      unattested = *recorded;
    }
    try {
      _upload_best_effort(*repo_root);
    } catch (const std::exception& e) {
      logger().debug_exception("upload from the commit hook failed (best-effort)", e);
    }
    if (unattested) {
      return _nudge(result.commit);
    }
  } catch (const std::exception& e) {
    logger().debug_exception("post-tool hook row failed (best-effort)", e);
  }
  return std::nullopt;
}

void _add_from_hook(const std::optional<std::string>& agent)
{
  core::logging::set_hook_path(true);
  // A harness that stops reading must not turn into a crash.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    // Most calls are not commits: their payload is ruled out from its bytes, without
    // building the JSON value.
    const auto input = services::shared::read_hook_input();
    if (!input || !_may_name_commit(*input)) {
      return;
    }
    core::Value payload;
    try {
      payload = core::json::parse(*input);
    } catch (const std::exception&) {
      return; // not JSON, or cut short
    }
    const auto line = _hook_row(payload, agent);
    if (line) {
      const std::string out = *line + "\n";
      std::fwrite(out.data(), 1, out.size(), stdout);
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    logger().debug_exception("post-tool hook row failed (best-effort)", e);
  }
}

} // namespace kolvex::commands::attest
