#include "services/mcp_registration.hpp"

#include "agents/registry.hpp"
#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
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

// The text of a TOML line without its comment, trimmed (strings holding '#' are
// rare in table headers and keys, the only places looked at).
std::string_view toml_code(std::string_view line)
{
  return core::text::trim(line.substr(0, line.find('#')));
}

// A TOML key or header name with blanks and quotes around its parts removed:
// `"mcp_servers" . 'kolvex'` gives "mcp_servers.kolvex".
std::string toml_name(std::string_view name)
{
  std::string out;
  for (const char c : name) {
    if (c != ' ' && c != '\t' && c != '"' && c != '\'') {
      out += c;
    }
  }
  return out;
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
  core::Value document =
      core::text::trim(text).empty() ? core::Value(core::Map{}) : core::json::parse(text);
  if (!document.is_map()) {
    throw std::runtime_error("not a JSON object");
  }
  core::Map& root = document.as_map();
  core::Value* servers = root.find("mcpServers");
  if (servers == nullptr || servers->is_null()) {
    root.set("mcpServers", core::Value(core::Map{}));
    servers = root.find("mcpServers");
  }
  if (!servers->is_map()) {
    throw std::runtime_error("\"mcpServers\" is not an object");
  }
  if (const core::Value* ours = servers->as_map().find(SERVER_NAME);
      ours != nullptr && is_kolvex_entry(*ours)) {
    return std::nullopt;
  }
  servers->as_map().set(SERVER_NAME, server_entry());
  return core::json::dump_indented(document, 2) + "\n";
}

std::optional<std::string> merge_codex_registration(std::string_view text)
{
  const std::string wanted = "mcp_servers." + std::string(SERVER_NAME);
  std::string table; // the table the current line belongs to ("" at the root)
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end;
    const std::string_view code = toml_code(text.substr(start, end - start));
    start = end + 1;
    if (code.starts_with('[')) {
      const std::string_view inner = code.starts_with("[[") ? code.substr(2, code.find(']') - 2)
                                                            : code.substr(1, code.find(']') - 1);
      table = toml_name(inner);
      if (table == wanted || table.starts_with(wanted + ".")) {
        return std::nullopt;
      }
      continue;
    }
    const std::size_t equals = code.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    const std::string key = toml_name(code.substr(0, equals));
    const std::string full = table.empty() ? key : table + "." + key;
    if (full == wanted || full.starts_with(wanted + ".")) {
      return std::nullopt;
    }
    // `mcp_servers = { kolvex = {...} }` at the root: an inline table we will not
    // edit, and one more [mcp_servers.kolvex] would make the file invalid.
    if (full == "mcp_servers" && code.find(SERVER_NAME) != std::string_view::npos) {
      return std::nullopt;
    }
  }
  std::string merged(text);
  if (!merged.empty() && !merged.ends_with('\n')) {
    merged += '\n';
  }
  if (!merged.empty()) {
    merged += '\n';
  }
  merged += "[" + wanted + "]\ncommand = \"" + std::string(SERVER_COMMAND) + "\"\nargs = [\"" +
            std::string(SERVER_ARG) + "\"]\n";
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
    McpChange change{agent, *file, McpAction::added, ""};
    try {
      // The repository is outside input: a link here is refused, not followed.
      const core::fs::Confined at = paths::confined(repo_root, *file);
      const bool exists = core::fs::regular_file_exists(at);
      const std::string text = exists ? core::fs::read_text(at, 1 << 20) : std::string();
      const auto merged = (*harness->tool_server)->format == agents::ToolServerFormat::codex_toml
                              ? merge_codex_registration(text)
                              : merge_json_registration(text);
      if (!merged) {
        change.action = McpAction::already_present;
      } else {
        core::fs::create_directories(at.parent());
        core::fs::atomic_replace(at, *merged, 0644);
      }
    } catch (const std::exception& e) {
      logger().debug_exception("Registering the tool server failed (best-effort)", e);
      change.action = McpAction::failed;
      change.error = core::errors::short_name(e) + " in " + file->string();
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

} // namespace kolvex::services::mcp_registration
