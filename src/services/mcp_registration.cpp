#include "services/mcp_registration.hpp"

#include "agents/registry.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/json_edit.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "core/toml_edit.hpp"
#include "core/value.hpp"
#include "paths.hpp"

#include <algorithm>
#include <stdexcept>

namespace kolvex::services::mcp_registration {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.services.mcp_registration");
  return instance;
}

core::Value server_entry()
{
  core::Map entry;
  entry.set("command", core::Value(std::string(SERVER_COMMAND)));
  entry.set("args", core::Value(core::List{core::Value(std::string(SERVER_ARG))}));
  return core::Value(std::move(entry));
}

// An entry the user may have adapted (another path to kolvex, extra env) still
// counts as ours when it starts some `kolvex` with the `mcp` argument.
bool is_kolvex_entry(const core::Value& entry)
{
  const core::Value* command = entry.get("command");
  const core::Value* args = entry.get("args");
  if (command == nullptr || !command->is_string() || args == nullptr || !args->is_list()) {
    return false;
  }
  const std::string& program = command->as_string();
  const bool kolvex = program == SERVER_COMMAND || program.ends_with("/kolvex");
  const auto& list = args->as_list();
  return kolvex && std::any_of(list.begin(), list.end(), [](const core::Value& arg) {
           return arg.is_string() && arg.as_string() == SERVER_ARG;
         });
}

// What a user adds by hand to register the server in a file of `format`.
std::string manual_entry(agents::ToolServerFormat format)
{
  if (format == agents::ToolServerFormat::codex_toml) {
    return "[mcp_servers." + std::string(SERVER_NAME) + "] with command = \"" +
           std::string(SERVER_COMMAND) + "\" and args = [\"" + std::string(SERVER_ARG) + "\"]";
  }
  return "\"" + std::string(SERVER_NAME) + "\": " + core::json::dump(server_entry()) +
         " under \"mcpServers\"";
}

// The inline TOML form of our entry.
std::string toml_entry()
{
  return "{ command = \"" + std::string(SERVER_COMMAND) + "\", args = [\"" +
         std::string(SERVER_ARG) + "\"] }";
}

} // namespace

std::optional<stdfs::path> registration_file(const stdfs::path& repo_root, std::string_view agent)
{
  const agents::Harness* harness = agents::find_harness(agent);
  if (harness == nullptr || !*harness->tool_server) {
    return std::nullopt;
  }
  return repo_root / (*harness->tool_server)->path;
}

std::optional<std::string> merge_json_registration(std::string_view text)
{
  if (core::text::trim(text).empty()) {
    core::Map servers;
    servers.set(SERVER_NAME, server_entry());
    core::Map root;
    root.set("mcpServers", core::Value(std::move(servers)));
    return core::json::dump_indented(core::Value(std::move(root)), 2) + "\n";
  }
  const core::json_edit::Node document = core::json_edit::scan(text);
  if (document.kind != core::json_edit::Node::Kind::object) {
    throw std::runtime_error("it is not a JSON object");
  }
  core::Map servers;
  servers.set(SERVER_NAME, server_entry());
  const core::json_edit::Node* found = document.member("mcpServers");
  if (found == nullptr) {
    return core::json_edit::add_member(
        text, document, "mcpServers", core::Value(std::move(servers)));
  }
  if (found->kind == core::json_edit::Node::Kind::literal &&
      text.substr(found->begin, 4) == "null") {
    return core::json_edit::replace_value(text, *found, core::Value(std::move(servers)));
  }
  if (found->kind != core::json_edit::Node::Kind::object) {
    throw std::runtime_error("its \"mcpServers\" is not an object");
  }
  if (const core::json_edit::Node* ours = found->member(SERVER_NAME)) {
    const core::Value entry = core::json::parse(text.substr(ours->begin, ours->end - ours->begin));
    if (is_kolvex_entry(entry)) {
      return std::nullopt;
    }
    throw NameTakenError("it already has a server named \"" + std::string(SERVER_NAME) +
                         "\" that does not run `" + std::string(SERVER_COMMAND) + " " +
                         std::string(SERVER_ARG) + "`");
  }
  return core::json_edit::add_member(text, *found, SERVER_NAME, server_entry());
}

std::optional<std::string> merge_codex_registration(std::string_view text)
{
  using core::toml_edit::Statement;
  const std::vector<Statement> statements = core::toml_edit::scan(text);
  const Statement* inline_servers = nullptr; // mcp_servers = { ... }
  const Statement* last_dotted = nullptr;    // mcp_servers.<name>... = at the top
  for (const Statement& statement : statements) {
    std::vector<std::string> full = statement.table;
    full.insert(full.end(), statement.key.begin(), statement.key.end());
    if (full.empty() || full[0] != "mcp_servers") {
      continue;
    }
    if (full.size() >= 2 && full[1] == SERVER_NAME) {
      return std::nullopt;
    }
    if (statement.kind == Statement::Kind::array_table && full.size() == 1) {
      throw std::runtime_error("its mcp_servers is an array of tables, not a table");
    }
    if (statement.kind != Statement::Kind::key_value) {
      continue;
    }
    if (full.size() == 1) {
      if (statement.value != Statement::Value::inline_table) {
        throw std::runtime_error("its mcp_servers is not a table");
      }
      for (const auto& key : statement.inline_keys) {
        if (key[0] == SERVER_NAME) {
          return std::nullopt;
        }
      }
      inline_servers = &statement;
    } else if (statement.table.empty()) {
      last_dotted = &statement;
    }
  }
  const std::string_view eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const std::string name = core::toml_edit::key_text(SERVER_NAME);
  std::string merged;
  if (inline_servers != nullptr) {
    // An inline table is one line: our member goes in before its closing brace.
    const std::string entry = name + " = " + toml_entry();
    const std::size_t close = inline_servers->value_end - 1;
    if (inline_servers->inline_keys.empty()) {
      const std::size_t open = inline_servers->value_begin + 1;
      merged = std::string(text.substr(0, open)) + " " + entry + (text[open] == '}' ? " " : "") +
               std::string(text.substr(open));
    } else {
      std::size_t last = close;
      while (last > inline_servers->value_begin &&
             (text[last - 1] == ' ' || text[last - 1] == '\t')) {
        --last;
      }
      merged = std::string(text.substr(0, last)) + ", " + entry + std::string(text.substr(last));
    }
  } else if (last_dotted != nullptr) {
    // Dotted keys define the table where they stand: ours join them there, since
    // a [mcp_servers.kolvex] header would have to come after every top-level key.
    const std::size_t at = last_dotted->line_end;
    const bool ended = at > 0 && text[at - 1] == '\n';
    const std::string prefix = "mcp_servers." + name + ".";
    merged = std::string(text.substr(0, at)) + (ended ? "" : std::string(eol)) + prefix +
             "command = \"" + std::string(SERVER_COMMAND) + "\"" + std::string(eol) + prefix +
             "args = [\"" + std::string(SERVER_ARG) + "\"]" + std::string(eol) +
             std::string(text.substr(at));
  } else {
    merged = std::string(text);
    if (!merged.empty() && !merged.ends_with('\n')) {
      merged += eol;
    }
    if (!merged.empty()) {
      merged += eol;
    }
    merged += "[mcp_servers." + name + "]" + std::string(eol) + "command = \"" +
              std::string(SERVER_COMMAND) + "\"" + std::string(eol) + "args = [\"" +
              std::string(SERVER_ARG) + "\"]" + std::string(eol);
  }
  // What we wrote must read back as TOML; a form we misjudged is left alone.
  (void)core::toml_edit::scan(merged);
  return merged;
}

std::vector<McpChange> install_mcp_for_agents(const stdfs::path& repo_root,
                                              const std::optional<std::vector<std::string>>& agents)
{
  std::vector<McpChange> changes;
  if (!agents) {
    return changes;
  }
  std::vector<std::string> done;
  for (const auto& name : *agents) {
    const auto* adapter = agents::get_adapter_by_name(name);
    if (adapter == nullptr) {
      continue;
    }
    const std::string agent = adapter->name();
    const agents::Harness* harness = agents::find_harness(agent);
    const auto file = registration_file(repo_root, agent);
    if (!file || std::find(done.begin(), done.end(), agent) != done.end()) {
      continue;
    }
    done.push_back(agent);
    McpChange change{agent, *file, McpAction::added, false, ""};
    const agents::ToolServerFormat format = (*harness->tool_server)->format;
    const std::string shown((*harness->tool_server)->path);
    try {
      // The repository is outside input: a link here is refused, not followed.
      const core::fs::Confined at = paths::confined(repo_root, *file);
      const std::optional<struct ::stat> st = core::fs::stat_regular(at);
      const std::string text = st ? core::fs::read_text(at, 1 << 20) : std::string();
      const auto merged = format == agents::ToolServerFormat::codex_toml
                              ? merge_codex_registration(text)
                              : merge_json_registration(text);
      if (!merged) {
        change.action = McpAction::already_present;
      } else {
        core::fs::create_directories(at.parent());
        // A file holding a server's token may be private: its mode is kept.
        core::fs::atomic_replace(at, *merged, st ? (st->st_mode & 07777) : 0644);
        change.created = !st;
      }
    } catch (const NameTakenError& e) {
      change.action = McpAction::name_taken;
      change.error = "Left " + shown + " as it is: " + e.what() +
                     ". Rename that server to let kolvex register its own";
    } catch (const std::exception& e) {
      logger().debug_exception("Registering the tool server failed", e);
      change.action = McpAction::failed;
      const bool unreadable = dynamic_cast<const core::json_edit::NotEditableError*>(&e) ||
                              dynamic_cast<const core::toml_edit::NotEditableError*>(&e);
      change.error = "Left " + shown + " as it is: " +
                     (unreadable ? std::string(format == agents::ToolServerFormat::codex_toml
                                                   ? "it is not valid TOML ("
                                                   : "it is not plain JSON (") +
                                       e.what() + ")"
                                 : std::string(e.what())) +
                     ". To let " + agent + " use kolvex's tool server, add " + manual_entry(format);
    }
    if (!change.error.empty()) {
      logger().warning(change.error);
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

namespace {

// The line ending the file uses.
std::string_view eol_of(std::string_view text)
{
  return text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
}

// The value text of the statement whose full key is `key`, or "" when it is absent.
std::string_view value_text(std::string_view text,
                            const std::vector<const core::toml_edit::Statement*>& statements,
                            std::string_view key)
{
  for (const auto* statement : statements) {
    if (!statement->key.empty() && statement->key.back() == key) {
      return text.substr(statement->value_begin, statement->value_end - statement->value_begin);
    }
  }
  return {};
}

// Whether `statements` are exactly the two kolvex writes: command and args.
bool exactly_ours(std::string_view text,
                  const std::vector<const core::toml_edit::Statement*>& statements)
{
  return statements.size() == 2 &&
         value_text(text, statements, "command") == "\"" + std::string(SERVER_COMMAND) + "\"" &&
         value_text(text, statements, "args") == "[\"" + std::string(SERVER_ARG) + "\"]";
}

std::string cut(std::string_view text, std::size_t from, std::size_t to)
{
  return std::string(text.substr(0, from)) + std::string(text.substr(to));
}

} // namespace

std::optional<std::string> remove_json_registration(std::string_view text)
{
  if (text == *merge_json_registration("")) {
    return std::string();
  }
  const core::json_edit::Node document = core::json_edit::scan(text);
  if (document.kind != core::json_edit::Node::Kind::object) {
    return std::nullopt;
  }
  // The "mcpServers" a reader uses is the last one written.
  std::optional<std::size_t> servers_at;
  for (std::size_t i = 0; i < document.members.size(); ++i) {
    if (document.members[i].first == "mcpServers") {
      servers_at = i;
    }
  }
  if (!servers_at) {
    return std::nullopt;
  }
  const core::json_edit::Node& servers = document.members[*servers_at].second;
  std::optional<std::size_t> ours;
  for (std::size_t i = 0; i < servers.members.size(); ++i) {
    if (servers.members[i].first == SERVER_NAME) {
      ours = i;
    }
  }
  if (!ours) {
    return std::nullopt;
  }
  const core::json_edit::Node& entry = servers.members[*ours].second;
  if (!is_kolvex_entry(core::json::parse(text.substr(entry.begin, entry.end - entry.begin)))) {
    return std::nullopt;
  }
  const std::string kept = servers.members.size() == 1
                               ? core::json_edit::remove_member(text, document, *servers_at)
                               : core::json_edit::remove_member(text, servers, *ours);
  // A repeated key can hide another entry of ours, which a reader then sees.
  return remove_json_registration(kept).value_or(kept);
}

std::optional<std::string> remove_codex_registration(std::string_view text)
{
  using core::toml_edit::Statement;
  const std::vector<Statement> statements = core::toml_edit::scan(text);
  std::vector<const Statement*> table_keys; // under [mcp_servers.kolvex]
  std::vector<const Statement*> dotted;     // mcp_servers.kolvex.* = at the top
  const Statement* header = nullptr;
  for (const Statement& statement : statements) {
    const std::vector<std::string> ours_table{"mcp_servers", std::string(SERVER_NAME)};
    if (statement.kind == Statement::Kind::table && statement.table == ours_table) {
      header = &statement;
    } else if (statement.kind == Statement::Kind::key_value && statement.table == ours_table) {
      table_keys.push_back(&statement);
    } else if (statement.kind == Statement::Kind::key_value && statement.table.empty() &&
               statement.key.size() == 3 && statement.key[0] == "mcp_servers" &&
               statement.key[1] == SERVER_NAME) {
      dotted.push_back(&statement);
    } else if (statement.kind == Statement::Kind::key_value && statement.table.empty() &&
               statement.key == std::vector<std::string>{"mcp_servers"} &&
               statement.value == Statement::Value::inline_table) {
      for (std::size_t i = 0; i < statement.inline_keys.size(); ++i) {
        const auto [begin, end] = statement.inline_spans[i];
        if (statement.inline_keys[i] != std::vector<std::string>{std::string(SERVER_NAME)} ||
            text.substr(begin, end - begin) !=
                core::toml_edit::key_text(SERVER_NAME) + " = " + toml_entry()) {
          continue;
        }
        const auto& spans = statement.inline_spans;
        std::string out;
        if (spans.size() > 1) {
          out = i > 0 ? cut(text, spans[i - 1].second, end) : cut(text, begin, spans[1].first);
        } else {
          // `{ entry }` back to the `{}` it was made from.
          out = cut(text, statement.value_begin + 1, statement.value_end - 1);
        }
        (void)core::toml_edit::scan(out);
        return out;
      }
    }
  }
  std::string out;
  if (header != nullptr && exactly_ours(text, table_keys)) {
    const std::size_t end = std::max(table_keys[0]->line_end, table_keys[1]->line_end);
    out = cut(text, header->begin, end);
    if (end == text.size()) {
      // The blank line that set the table apart was kolvex's too.
      const std::string eol(eol_of(text));
      const std::string_view before = std::string_view(out);
      if (before == eol) {
        out.clear();
      } else if (before.ends_with(eol + eol)) {
        out.resize(out.size() - eol.size());
      }
    }
  } else if (exactly_ours(text, dotted)) {
    out = cut(text, dotted[0]->begin, std::max(dotted[0]->line_end, dotted[1]->line_end));
  } else {
    return std::nullopt;
  }
  (void)core::toml_edit::scan(out);
  return out;
}

std::vector<McpRemoval> remove_mcp_registrations(const stdfs::path& repo_root)
{
  std::vector<McpRemoval> removals;
  std::vector<stdfs::path> done;
  for (const agents::Harness* harness : agents::harnesses()) {
    const auto file = registration_file(repo_root, *harness->name);
    if (!file || std::find(done.begin(), done.end(), *file) != done.end()) {
      continue;
    }
    done.push_back(*file);
    McpRemoval removal{std::string(*harness->name), *file, false, ""};
    try {
      const core::fs::Confined at = paths::confined(repo_root, *file);
      const std::optional<struct ::stat> st = core::fs::stat_regular(at);
      if (!st) {
        continue;
      }
      const std::string text = core::fs::read_text(at, 1 << 20);
      const auto removed = (*harness->tool_server)->format == agents::ToolServerFormat::codex_toml
                               ? remove_codex_registration(text)
                               : remove_json_registration(text);
      if (!removed) {
        continue;
      }
      if (removed->empty()) {
        core::fs::remove_file(at);
        removal.deleted = true;
        if (at.parent().rel != stdfs::path(".") && !at.parent().rel.empty()) {
          (void)core::fs::remove_empty_directory(at.parent());
        }
      } else {
        core::fs::atomic_replace(at, *removed, st->st_mode & 07777);
      }
    } catch (const std::exception& e) {
      removal.error =
          "Left " + file->lexically_relative(repo_root).string() + " as it is: " + e.what();
    }
    removals.push_back(std::move(removal));
  }
  return removals;
}

} // namespace kolvex::services::mcp_registration
