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

// `text` without the entry merge_json_registration added: the exact inverse of the
// splice, "mcpServers" too when kolvex's entry is all it holds; "" when the file holds
// nothing but what kolvex writes into a missing file (the caller deletes it); nullopt
// when no server named kolvex starting `kolvex mcp` is there (a server of the user's
// own of that name stays).  Throws as merge_json_registration for a file it cannot
// read.
[[nodiscard]] std::optional<std::string> remove_json_registration(std::string_view text);

// `text` without the mcp_servers.kolvex entry merge_codex_registration added, in any
// of its three forms, and the blank line put before an appended table; "" for a file
// holding nothing else, nullopt when there is no entry exactly as kolvex writes it
// (an entry the user changed is theirs).  Throws core::toml_edit::NotEditableError.
[[nodiscard]] std::optional<std::string> remove_codex_registration(std::string_view text);

// What taking the registration out of one file did.
struct McpRemoval {
  std::string agent;          // canonical agent name
  std::filesystem::path file; // the registration file
  bool deleted = false;       // the file held nothing else and was deleted
  std::string error;          // why it was left alone (empty when it was changed)
};

// Takes kolvex's registration out of the tool-server file of every harness that has
// one, by atomic replace keeping the file's mode; a file left with nothing of the
// user's is deleted, with its folder when that is left empty.  One entry per file
// changed or left alone with an error; files without kolvex's entry give none.
std::vector<McpRemoval> remove_mcp_registrations(const std::filesystem::path& repo_root);

} // namespace kolvex::services::mcp_registration
