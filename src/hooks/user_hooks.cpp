#include "hooks/user_hooks.hpp"

#include "agents/registry.hpp"
#include "agents/transcript_io.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "hooks/user_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace kolvex::hooks::user_hooks {

namespace stdfs = std::filesystem;

namespace {

constexpr std::string_view k_claude_code = "claude-code";

// The hook list of a settings object, created when missing or null.
core::Value& hook_list(core::Map& hooks, std::string_view event)
{
  core::Value& list = hooks[event];
  if (list.is_null()) {
    list = core::List{};
  }
  if (!list.is_list()) {
    throw std::runtime_error("\"hooks\".\"" + std::string(event) + "\" is not a list");
  }
  return list;
}

bool has_session_start_hook(const core::List& groups)
{
  for (const auto& group : groups) {
    const core::Value* hooks = group.get("hooks");
    if (hooks == nullptr || !hooks->is_list()) {
      continue;
    }
    for (const auto& hook : hooks->as_list()) {
      const auto command = hook.get_string("command");
      if (command && is_session_start_command(*command)) {
        return true;
      }
    }
  }
  return false;
}

// The settings directory (~/.claude) is made when missing, but never the directories
// above it: a HOME that points nowhere is a mistake to report, not to build.
void make_settings_dir(const stdfs::path& dir)
{
  std::error_code ec;
  if (stdfs::is_directory(dir, ec)) {
    return;
  }
  if (!stdfs::is_directory(dir.parent_path(), ec)) {
    throw std::runtime_error("its directory's parent " + dir.parent_path().string() +
                             " does not exist (is HOME or CLAUDE_CONFIG_DIR right?); kolvex does "
                             "not create it. Run `kolvex setup --no-user-hooks` to skip this "
                             "step");
  }
  stdfs::create_directory(dir);
}

} // namespace

std::string UserHookChange::message() const
{
  switch (action) {
  case UserHookAction::added:
    return "Registered the session-start hook for " + agent + ": " + settings.string() +
           (created ? " (new file)" : "");
  case UserHookAction::already_present:
    return "Session-start hook for " + agent + " already registered: " + settings.string();
  case UserHookAction::failed:
    break;
  }
  return "Could not register the session-start hook for " + agent + " in " + settings.string() +
         ": " + error;
}

stdfs::path claude_settings_path()
{
  if (auto dir = agents::env_text("CLAUDE_CONFIG_DIR"); !dir.empty()) {
    return stdfs::path(dir) / "settings.json";
  }
  return agents::home_dir() / ".claude" / "settings.json";
}

bool is_session_start_command(std::string_view command)
{
  // The command line as the shell splits it into simple commands: words at blanks,
  // quotes dropped, and a new command after each of ; & | ( ) and a line break.
  std::vector<std::vector<std::string>> commands(1);
  std::string word;
  const auto end_word = [&] {
    if (!word.empty()) {
      commands.back().push_back(std::move(word));
      word.clear();
    }
  };
  for (const char c : command) {
    if (c == ' ' || c == '\t') {
      end_word();
    } else if (c == ';' || c == '&' || c == '|' || c == '(' || c == ')' || c == '\n') {
      end_word();
      if (!commands.back().empty()) {
        commands.emplace_back();
      }
    } else if (c != '"' && c != '\'') {
      word += c;
    }
  }
  end_word();
  for (const auto& words : commands) {
    // Past variable assignments and the wrappers that run the rest as the command.
    std::size_t i = 0;
    while (i < words.size() &&
           ((words[i].find('=') != std::string::npos && !words[i].starts_with("-")) ||
            words[i] == "exec" || words[i] == "command" || words[i] == "env" ||
            words[i] == "nohup")) {
      ++i;
    }
    if (i + 1 < words.size() && stdfs::path(words[i]).filename() == "kolvex" &&
        words[i + 1] == "session-start") {
      return true;
    }
  }
  return false;
}

std::optional<core::Value> merge_claude_session_start(const core::Value& settings)
{
  core::Value merged = settings.is_null() ? core::Value(core::Map{}) : settings;
  if (!merged.is_map()) {
    throw std::runtime_error("the settings are not a JSON object");
  }
  core::Value& hooks = merged.as_map()["hooks"];
  if (hooks.is_null()) {
    hooks = core::Map{};
  }
  if (!hooks.is_map()) {
    throw std::runtime_error("\"hooks\" is not an object");
  }
  core::Value& groups = hook_list(hooks.as_map(), "SessionStart");
  if (has_session_start_hook(groups.as_list())) {
    return std::nullopt;
  }
  core::Map hook{{"type", "command"},
                 {"command", std::string(CLAUDE_SESSION_START_COMMAND)},
                 {"timeout", SESSION_START_TIMEOUT_SECONDS}};
  groups.as_list().emplace_back(core::Map{{"hooks", core::List{core::Value(std::move(hook))}}});
  return merged;
}

UserHookChange install_claude_session_start_hook(const stdfs::path& settings_path)
{
  UserHookChange change;
  change.agent = std::string(k_claude_code);
  change.settings = settings_path;
  try {
    const stdfs::path target = user_files::write_target(settings_path);
    struct stat st {};
    std::optional<mode_t> mode;
    core::Value settings;
    if (::stat(target.c_str(), &st) == 0) {
      mode = st.st_mode & 07777;
      const std::string text = core::fs::read_text(target);
      // An empty file holds no settings yet; anything else must be JSON we can
      // merge into, or it stays exactly as the user left it.
      if (!core::text::trim(text).empty()) {
        settings = core::json::parse(text);
      }
    } else if (errno != ENOENT) {
      throw std::system_error(errno, std::generic_category(), target.string());
    }
    auto merged = merge_claude_session_start(settings);
    if (!merged) {
      change.action = UserHookAction::already_present;
      return change;
    }
    change.created = !mode.has_value();
    if (mode && ((*mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)) {
      // Read-only on purpose (a managed machine, a frozen dotfile): not ours to override.
      throw std::runtime_error(target.string() +
                               " is read-only, so kolvex leaves it as it is; make it writable, "
                               "or run `kolvex setup --no-user-hooks` and add the hook yourself");
    }
    make_settings_dir(target.parent_path());
    core::fs::atomic_replace(target, core::json::dump_indented(*merged, 2) + "\n");
    if (mode && ::chmod(target.c_str(), *mode) != 0) {
      throw std::system_error(errno, std::generic_category(), "chmod " + target.string());
    }
    change.action = UserHookAction::added;
  } catch (const std::exception& e) {
    change.action = UserHookAction::failed;
    change.error = e.what();
  }
  return change;
}

std::vector<UserHookChange> install_user_session_hooks(const std::vector<std::string>& agents)
{
  std::vector<UserHookChange> changes;
  bool claude_done = false;
  for (const auto& agent : agents) {
    if (agents::normalize_agent_name(agent) == k_claude_code && !claude_done) {
      claude_done = true;
      changes.push_back(install_claude_session_start_hook(claude_settings_path()));
    }
  }
  return changes;
}

} // namespace kolvex::hooks::user_hooks
