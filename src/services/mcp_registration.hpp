#pragma once

// Registers `kolvex mcp`, the agent tool server, in the per-repository files the
// harnesses read their tool servers from (each harness's descriptor names its file
// and format): Claude Code's .mcp.json, Gemini CLI's .gemini/settings.json,
// Cursor's .cursor/mcp.json and Codex's .codex/config.toml.
// Each file is merged into by splicing our entry into its text, so that every other
// byte of the user's stays (layout, numbers, key order, repeated keys); the file
// keeps its permissions.  A file that already registers kolvex is not written; one
// we cannot edit that way (not strict JSON or valid TOML, another shape, a server
// of the user's own named kolvex) is left alone with a warning.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::mcp_registration {

// The name the server is registered under, and how a harness starts it.
inline constexpr std::string_view SERVER_NAME = "kolvex";
inline constexpr std::string_view SERVER_COMMAND = "kolvex";
inline constexpr std::string_view SERVER_ARG = "mcp";

// What registering in one file did.
enum class McpAction {
  added,           // the entry was added (the file may have been created)
  already_present, // the file registers kolvex already; it was not written
  name_taken,      // a server of the user's own is named kolvex; the file is untouched
  failed,          // the file could not be read, parsed or written; it is untouched
};

// A server named kolvex that starts something else: the user's, not to overwrite.
class NameTakenError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One harness's outcome.
struct McpChange {
  std::string agent;          // canonical agent name
  std::filesystem::path file; // the registration file
  McpAction action = McpAction::added;
  bool created = false; // `added` to a file that did not exist
  std::string error;    // why it was left alone, in a line for the user
};

// The registration file of `agent` (canonical name) under `repo_root`, or nullopt
// for a harness without a per-repository one.
[[nodiscard]] std::optional<std::filesystem::path>
registration_file(const std::filesystem::path& repo_root, std::string_view agent);

// `text` (a .mcp.json-shaped JSON document, "" or blanks for a missing file) with
// kolvex added to its "mcpServers" and every other byte kept, or nullopt when it is
// registered already.  Throws NameTakenError when "kolvex" names another server,
// core::json_edit::NotEditableError for a text that is not strict JSON and
// std::runtime_error for a document, or an "mcpServers", that is not an object.
[[nodiscard]] std::optional<std::string> merge_json_registration(std::string_view text);

// `text` (a Codex config.toml, "" for a missing file) with kolvex registered in the
// form the file already uses for mcp_servers (a member of its inline table, dotted
// keys after its dotted keys, else an [mcp_servers.kolvex] table at the end), every
// other byte kept; nullopt when the file defines mcp_servers.kolvex already in any
// spelling.  Throws core::toml_edit::NotEditableError for a text that is not valid
// TOML and std::runtime_error when mcp_servers is no table.
[[nodiscard]] std::optional<std::string> merge_codex_registration(std::string_view text);

// Registers the tool server for each of `agents` (any spelling the registry knows;
// absent or empty: none), each file at most once, keeping each file's mode (a new
// one is 0644).  Never throws for one file: a file left alone is an entry with
// action `failed` or `name_taken`, and a warning saying what to add by hand.
std::vector<McpChange>
install_mcp_for_agents(const std::filesystem::path& repo_root,
                       const std::optional<std::vector<std::string>>& agents);

} // namespace kolvex::services::mcp_registration
