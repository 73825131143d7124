#pragma once

// Registers `kolvex mcp`, the agent tool server, in the per-repository files the
// harnesses read their tool servers from (each harness's descriptor names its file
// and format): Claude Code's .mcp.json, Gemini CLI's .gemini/settings.json,
// Cursor's .cursor/mcp.json and Codex's .codex/config.toml.
// Each file is merged into: the user's own servers and settings stay, a file that
// already registers kolvex is not written, and one we cannot parse is left alone.

#include <filesystem>
#include <optional>
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
  failed,          // the file could not be read, parsed or written; it is untouched
};

// One harness's outcome.
struct McpChange {
  std::string agent;          // canonical agent name
  std::filesystem::path file; // the registration file
  McpAction action = McpAction::added;
  std::string error; // why it failed: an error class and the file, never its text
};

// The registration file of `agent` (canonical name) under `repo_root`, or nullopt
// for a harness without a per-repository one.
[[nodiscard]] std::optional<std::filesystem::path>
registration_file(const std::filesystem::path& repo_root, std::string_view agent);

// `text` (a .mcp.json-shaped JSON document, "" for a missing file) with kolvex in
// its "mcpServers", or nullopt when it is registered already.  Throws
// std::runtime_error for a document, or an "mcpServers", that is not an object.
[[nodiscard]] std::optional<std::string> merge_json_registration(std::string_view text);

// `text` (a Codex config.toml, "" for a missing file) with an [mcp_servers.kolvex]
// table appended, every byte before it kept; nullopt when the file defines
// mcp_servers.kolvex already in any spelling.
[[nodiscard]] std::optional<std::string> merge_codex_registration(std::string_view text);

// Registers the tool server for each of `agents` (any spelling the registry knows;
// absent or empty: none), each file at most once.  Never throws for one file; its
// failure is an entry with action `failed`.
std::vector<McpChange>
install_mcp_for_agents(const std::filesystem::path& repo_root,
                       const std::optional<std::vector<std::string>>& agents);

} // namespace kolvex::services::mcp_registration
