#include "hooks/user_hooks.hpp"

#include "agents/registry.hpp"
#include "agents/transcript_io.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/json_edit.hpp"
#include "core/text.hpp"
#include "hooks/user_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Whether a hook of `groups` (one event's list) runs a command `ours` recognises.
bool has_hook(const core::List& groups, bool (*ours)(std::string_view))
{
  for (const auto& group : groups) {
    const core::Value* hooks = group.get("hooks");
    if (hooks == nullptr || !hooks->is_list()) {
      continue;
    }
    for (const auto& hook : hooks->as_list()) {
      const auto command = hook.get_string("command");
      if (command && ours(*command)) {
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
  const bool session = hook == UserHook::session_start;
  const std::string what = session ? "session-start hook" : "post-tool hook";
  switch (action) {
  case UserHookAction::added:
    return "Registered the " + what + " for " + agent + ": " + settings.string() +
           (created ? " (new file)" : "");
  case UserHookAction::already_present:
    return std::string(session ? "Session-start hook" : "Post-tool hook") + " for " + agent +
           " already registered: " + settings.string();
  case UserHookAction::failed:
    break;
  }
  return "Could not register the " + what + " for " + agent + " in " + settings.string() + ": " +
         error;
}

stdfs::path claude_settings_path()
{
  if (auto dir = agents::env_text("CLAUDE_CONFIG_DIR"); !dir.empty()) {
    return stdfs::path(dir) / "settings.json";
  }
  return agents::home_dir() / ".claude" / "settings.json";
}

namespace {

// Whether one of the simple commands of `command` runs a "kolvex" binary (any path,
// after variable assignments and exec/command/env/nohup) whose arguments satisfy
// `wanted`.  The command line is split as the shell splits it into simple
// commands: words at blanks, quotes dropped, a new command after each of ; & | ( )
// and a line break.
template <typename Wanted> bool runs_kolvex(std::string_view command, const Wanted& wanted)
{
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
    std::size_t i = 0;
    while (i < words.size() &&
           ((words[i].find('=') != std::string::npos && !words[i].starts_with("-")) ||
            words[i] == "exec" || words[i] == "command" || words[i] == "env" ||
            words[i] == "nohup")) {
      ++i;
    }
    if (i < words.size() && stdfs::path(words[i]).filename() == "kolvex" &&
        wanted(std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                        words.end()))) {
      return true;
    }
  }
  return false;
}

// A hook group holding our hook `command`, with `matcher` when non-empty.
core::Value hook_group(std::string_view matcher, std::string_view command, int timeout)
{
  core::Map hook{{"type", "command"}, {"command", std::string(command)}, {"timeout", timeout}};
  core::Map group;
  if (!matcher.empty()) {
    group.set("matcher", std::string(matcher));
  }
  group.set("hooks", core::List{core::Value(std::move(hook))});
  return core::Value(std::move(group));
}

// Appends a group holding our hook `command` (with `matcher` when non-empty) to the
// `event` list of `settings`, unless a hook there already runs a command `ours`
// recognises (then nullopt).
std::optional<core::Value> merge_hook(const core::Value& settings,
                                      std::string_view event,
                                      std::string_view matcher,
                                      std::string_view command,
                                      int timeout,
                                      bool (*ours)(std::string_view))
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
  core::Value& groups = hook_list(hooks.as_map(), event);
  if (has_hook(groups.as_list(), ours)) {
    return std::nullopt;
  }
  groups.as_list().push_back(hook_group(matcher, command, timeout));
  return merged;
}

// `text` (the settings file, strict JSON whose shape merge_hook accepted) with
// `group` added to its `event` list, every other byte kept.
std::string splice_group(std::string_view text, std::string_view event, const core::Value& group)
{
  namespace edit = core::json_edit;
  const edit::Node root = edit::scan(text);
  const auto is_null = [&](const edit::Node& node) {
    return node.kind == edit::Node::Kind::literal && text.substr(node.begin, 4) == "null";
  };
  const edit::Node* hooks = root.member("hooks");
  if (hooks == nullptr || is_null(*hooks)) {
    core::Map events;
    events.set(event, core::Value(core::List{group}));
    return hooks == nullptr ? edit::add_member(text, root, "hooks", core::Value(std::move(events)))
                            : edit::replace_value(text, *hooks, core::Value(std::move(events)));
  }
  const edit::Node* groups = hooks->member(event);
  if (groups == nullptr) {
    return edit::add_member(text, *hooks, event, core::Value(core::List{group}));
  }
  if (is_null(*groups)) {
    return edit::replace_value(text, *groups, core::Value(core::List{group}));
  }
  return edit::add_item(text, *groups, group);
}

} // namespace

bool is_session_start_command(std::string_view command)
{
  return runs_kolvex(command, [](const std::vector<std::string>& args) {
    return !args.empty() && args[0] == "session-start";
  });
}

bool is_post_tool_command(std::string_view command)
{
  return runs_kolvex(command, [](const std::vector<std::string>& args) {
    return args.size() >= 2 && args[0] == "attest" && args[1] == "add" &&
           std::find(args.begin() + 2, args.end(), "--from-hook") != args.end();
  });
}

std::optional<core::Value> merge_claude_session_start(const core::Value& settings)
{
  return merge_hook(settings,
                    "SessionStart",
                    "",
                    CLAUDE_SESSION_START_COMMAND,
                    SESSION_START_TIMEOUT_SECONDS,
                    is_session_start_command);
}

std::optional<core::Value> merge_claude_post_tool(const core::Value& settings)
{
  return merge_hook(settings,
                    "PostToolUse",
                    POST_TOOL_MATCHER,
                    CLAUDE_POST_TOOL_COMMAND,
                    POST_TOOL_TIMEOUT_SECONDS,
                    is_post_tool_command);
}

namespace {

// Registers the hooks `which` in the Claude Code settings file `settings_path` with
// at most one rewrite; one change per hook, in the order of `which`.  A failure
// fails every hook that was to be added.
std::vector<UserHookChange> install_claude_hooks(const stdfs::path& settings_path,
                                                 const std::vector<UserHook>& which)
{
  std::vector<UserHookChange> changes;
  for (const UserHook hook : which) {
    UserHookChange change;
    change.agent = std::string(k_claude_code);
    change.hook = hook;
    change.settings = settings_path;
    changes.push_back(std::move(change));
  }
  try {
    const stdfs::path target = user_files::write_target(settings_path);
    struct stat st {};
    std::optional<mode_t> mode;
    core::Value settings;
    std::string text;
    if (::stat(target.c_str(), &st) == 0) {
      mode = st.st_mode & 07777;
      text = core::fs::read_text(target);
      // An empty file holds no settings yet; anything else must be strict JSON we
      // can splice into, or it stays exactly as the user left it.
      if (!core::text::trim(text).empty()) {
        try {
          (void)core::json_edit::scan(text);
        } catch (const core::json_edit::NotEditableError& e) {
          throw std::runtime_error(std::string("it is not plain JSON (") + e.what() +
                                   "), so kolvex leaves it as it is; add the hooks yourself, or "
                                   "run `kolvex setup --no-user-hooks`");
        }
        settings = core::json::parse(text);
      }
    } else if (errno != ENOENT) {
      throw std::system_error(errno, std::generic_category(), target.string());
    }
    const bool fresh = core::text::trim(text).empty();
    bool changed = false;
    for (auto& change : changes) {
      const bool session = change.hook == UserHook::session_start;
      auto merged =
          session ? merge_claude_session_start(settings) : merge_claude_post_tool(settings);
      if (!merged) {
        change.action = UserHookAction::already_present;
        continue;
      }
      settings = std::move(*merged);
      changed = true;
      if (!fresh) {
        // Only our row is added to the user's text: their layout, numbers and
        // keys stay as they wrote them.
        text =
            session
                ? splice_group(
                      text,
                      "SessionStart",
                      hook_group("", CLAUDE_SESSION_START_COMMAND, SESSION_START_TIMEOUT_SECONDS))
                : splice_group(text,
                               "PostToolUse",
                               hook_group(POST_TOOL_MATCHER,
                                          CLAUDE_POST_TOOL_COMMAND,
                                          POST_TOOL_TIMEOUT_SECONDS));
      }
    }
    if (!changed) {
      return changes;
    }
    if (mode && ((*mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)) {
      // Read-only on purpose (a managed machine, a frozen dotfile): not ours to override.
      throw std::runtime_error(target.string() +
                               " is read-only, so kolvex leaves it as it is; make it writable, "
                               "or run `kolvex setup --no-user-hooks` and add the hooks yourself");
    }
    make_settings_dir(target.parent_path());
    core::fs::atomic_replace(target, fresh ? core::json::dump_indented(settings, 2) + "\n" : text);
    if (mode && ::chmod(target.c_str(), *mode) != 0) {
      throw std::system_error(errno, std::generic_category(), "chmod " + target.string());
    }
    // The file is new for the first hook written into it only.
    bool first = true;
    for (auto& change : changes) {
      if (change.action == UserHookAction::added) {
        change.created = first && !mode.has_value();
        first = false;
      }
    }
  } catch (const std::exception& e) {
    for (auto& change : changes) {
      if (change.action == UserHookAction::added) {
        change.action = UserHookAction::failed;
        change.error = e.what();
      }
    }
  }
  return changes;
}

} // namespace

UserHookChange install_claude_session_start_hook(const stdfs::path& settings_path)
{
  return install_claude_hooks(settings_path, {UserHook::session_start}).front();
}

std::vector<UserHookChange> install_claude_user_hooks(const stdfs::path& settings_path)
{
  return install_claude_hooks(settings_path, {UserHook::session_start, UserHook::post_tool});
}

std::vector<UserHookChange> install_user_session_hooks(const std::vector<std::string>& agents)
{
  std::vector<UserHookChange> changes;
  bool claude_done = false;
  for (const auto& agent : agents) {
    if (agents::normalize_agent_name(agent) == k_claude_code && !claude_done) {
      claude_done = true;
      const auto claude = install_claude_user_hooks(claude_settings_path());
      changes.insert(changes.end(), claude.begin(), claude.end());
    }
  }
  return changes;
}

namespace {

// Whether `group` is one kolvex adds: a group of one hook whose command `ours`
// recognises, with nothing but "matcher" and "hooks" in it.
bool is_our_group(const core::Value& group, bool (*ours)(std::string_view))
{
  if (!group.is_map()) {
    return false;
  }
  for (const auto& [key, value] : group.as_map()) {
    if (key != "matcher" && key != "hooks") {
      return false;
    }
  }
  const core::Value* hooks = group.get("hooks");
  if (hooks == nullptr || !hooks->is_list() || hooks->as_list().size() != 1) {
    return false;
  }
  const auto command = hooks->as_list().front().get_string("command");
  return command && ours(*command);
}

// The index of the member `key` a JSON reader uses (the last), or nullopt.
std::optional<std::size_t> member_index(const core::json_edit::Node& object, std::string_view key)
{
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < object.members.size(); ++i) {
    if (object.members[i].first == key) {
      found = i;
    }
  }
  return found;
}

// `text` without our group of `event`; nullopt when there is none.
std::optional<std::string>
remove_group(std::string_view text, std::string_view event, bool (*ours)(std::string_view))
{
  namespace edit = core::json_edit;
  const edit::Node root = edit::scan(text);
  const auto hooks_at =
      root.kind == edit::Node::Kind::object ? member_index(root, "hooks") : std::nullopt;
  if (!hooks_at) {
    return std::nullopt;
  }
  const edit::Node& hooks = root.members[*hooks_at].second;
  const auto groups_at =
      hooks.kind == edit::Node::Kind::object ? member_index(hooks, event) : std::nullopt;
  if (!groups_at) {
    return std::nullopt;
  }
  const edit::Node& groups = hooks.members[*groups_at].second;
  if (groups.kind != edit::Node::Kind::array) {
    return std::nullopt;
  }
  for (std::size_t i = groups.items.size(); i-- > 0;) {
    const edit::Node& item = groups.items[i];
    if (!is_our_group(core::json::parse(text.substr(item.begin, item.end - item.begin)), ours)) {
      continue;
    }
    if (groups.items.size() > 1) {
      return edit::remove_item(text, groups, i);
    }
    return hooks.members.size() > 1 ? edit::remove_member(text, hooks, *groups_at)
                                    : edit::remove_member(text, root, *hooks_at);
  }
  return std::nullopt;
}

} // namespace

std::optional<std::string> remove_claude_rows(std::string_view text)
{
  // What setup writes into a missing or empty file: deleted whole.
  const auto session = merge_claude_session_start(core::Value());
  for (const core::Value& fresh : {*session, *merge_claude_post_tool(*session)}) {
    if (text == core::json::dump_indented(fresh, 2) + "\n") {
      return std::string();
    }
  }
  bool changed = false;
  std::string out(text);
  // The reverse of the order setup adds them in, so that each undoes its splice.
  if (auto removed = remove_group(out, "PostToolUse", is_post_tool_command)) {
    out = std::move(*removed);
    changed = true;
  }
  if (auto removed = remove_group(out, "SessionStart", is_session_start_command)) {
    out = std::move(*removed);
    changed = true;
  }
  if (!changed) {
    return std::nullopt;
  }
  return out;
}

UserHookRemoval remove_claude_user_hooks(const stdfs::path& settings_path)
{
  UserHookRemoval removal;
  removal.settings = settings_path;
  try {
    const stdfs::path target = user_files::write_target(settings_path);
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        throw std::system_error(errno, std::generic_category(), target.string());
      }
      return removal;
    }
    if (!S_ISREG(st.st_mode)) {
      throw std::runtime_error("it is not a regular file");
    }
    const std::string text = core::fs::read_text(target);
    if (core::text::trim(text).empty()) {
      return removal;
    }
    std::optional<std::string> kept;
    try {
      kept = remove_claude_rows(text);
    } catch (const core::json_edit::NotEditableError& e) {
      throw std::runtime_error(std::string("it is not plain JSON (") + e.what() +
                               "); take kolvex's SessionStart and PostToolUse hooks out by hand");
    }
    if (!kept) {
      return removal;
    }
    if ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
      throw std::runtime_error("it is read-only; take kolvex's SessionStart and PostToolUse "
                               "hooks out by hand");
    }
    if (kept->empty()) {
      if (::unlink(target.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "unlink " + target.string());
      }
      removal.action = UserHookRemoval::Action::deleted;
      return removal;
    }
    core::fs::atomic_replace(target, *kept);
    if (::chmod(target.c_str(), st.st_mode & 07777) != 0) {
      throw std::system_error(errno, std::generic_category(), "chmod " + target.string());
    }
    removal.action = UserHookRemoval::Action::updated;
  } catch (const std::exception& e) {
    removal.action = UserHookRemoval::Action::failed;
    removal.error = e.what();
  }
  return removal;
}

} // namespace kolvex::hooks::user_hooks
