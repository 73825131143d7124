#include "commands/mcp.hpp"

#include "core/errors.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "frontend/mcp_protocol.hpp"
#include "frontend/perform_sync.hpp"
#include "frontend/session_context.hpp"
#include "frontend/status_counts.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/cache/session_summary.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/sync/project_resolution.hpp"
#include "services/repository.hpp"
#include "version.hpp"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <stdexcept>

#include <unistd.h>

namespace kolvex::commands {

namespace {

namespace protocol = services::mcp_protocol;
using protocol::Message;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.commands.mcp");
  return instance;
}

// A bad tool argument: answered as a JSON-RPC "invalid params" error.
class InvalidParams : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Writes `line` and a newline whole; false when the client has gone.
bool send_line(int fd, std::string line)
{
  line += '\n';
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

core::Value object_schema(core::Map properties)
{
  core::Map schema;
  schema.set("type", core::Value("object"));
  schema.set("properties", core::Value(std::move(properties)));
  return core::Value(std::move(schema));
}

core::Value tool(std::string_view name, std::string_view description, core::Value schema)
{
  core::Map entry;
  entry.set("name", core::Value(std::string(name)));
  entry.set("description", core::Value(std::string(description)));
  entry.set("inputSchema", std::move(schema));
  return core::Value(std::move(entry));
}

core::Value tools_list()
{
  core::Map team;
  team.set("type", core::Value("integer"));
  team.set("description",
           core::Value("The team that owns this repository, when the user belongs to several; "
                       "saved, so it is asked once."));
  core::List tools;
  tools.push_back(tool("sync",
                       "Upload this repository's recorded commits to kolvex and refresh the "
                       "local context cache; links the repository to its project first when "
                       "needed.",
                       object_schema(core::Map{{"team_id", core::Value(std::move(team))}})));
  tools.push_back(tool("status",
                       "Show this repository's kolvex state: the linked project, whether the "
                       "user is signed in, and the commit records waiting for upload.",
                       object_schema(core::Map{})));
  tools.push_back(tool("session_summary",
                       "The short summary of the cached project context (rules, specs, "
                       "freshness, pending uploads) that agents see at session start.",
                       object_schema(core::Map{})));
  return core::Value(core::Map{{"tools", core::Value(std::move(tools))}});
}

// A tool's answer: text for the model, optionally the same as structured data.
core::Value
tool_result(const std::string& text, std::optional<core::Value> structured, bool is_error)
{
  core::Map content;
  content.set("type", core::Value("text"));
  content.set("text", core::Value(text));
  core::Map result;
  result.set("content", core::Value(core::List{core::Value(std::move(content))}));
  if (structured) {
    result.set("structuredContent", std::move(*structured));
  }
  result.set("isError", core::Value(is_error));
  return core::Value(std::move(result));
}

std::optional<std::int64_t> team_id_argument(const core::Value& arguments)
{
  const core::Value* team = arguments.is_map() ? arguments.get("team_id") : nullptr;
  if (team == nullptr || team->is_null()) {
    return std::nullopt;
  }
  if (team->kind() == core::Value::Kind::integer) {
    return team->as_int();
  }
  if (team->is_string()) {
    const std::string_view text = core::text::trim(team->as_string());
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size()) {
      return value;
    }
  }
  throw InvalidParams("team_id must be an integer");
}

core::Value call_sync(const core::Value& arguments)
{
  const auto team_id = team_id_argument(arguments);
  const frontend::SyncOutcome outcome =
      frontend::perform_sync(services::shared::get_repo_root(), team_id);
  std::vector<std::string> lines;
  for (const auto& [level, text] : outcome.lines) {
    lines.push_back(text);
  }
  if (lines.empty()) {
    lines.emplace_back("Nothing to do.");
  }
  return tool_result(core::text::join(lines, "\n"), frontend::sync_report(outcome), outcome.failed);
}

core::Value call_status()
{
  const auto root = services::shared::get_repo_root();
  const auto session = services::session_context::resolve_session(root);
  const auto log = services::relaycore::log::count_attestation_log(paths::log_jsonl(root));
  core::Map status;
  status.set("project_id", session.project_id ? core::Value(*session.project_id) : core::Value());
  status.set("signed_in", core::Value(session.api_key.has_value()));
  status.set("api_url", core::Value(session.api_url));
  core::List agents;
  try {
    for (auto& name :
         services::shared::configured_agents(services::shared::load_local_config(root))) {
      agents.emplace_back(std::move(name));
    }
  } catch (const std::exception& e) {
    logger().debug_exception("Local configuration unreadable", e);
  }
  status.set("agents", core::Value(std::move(agents)));
  status.set("log", core::Value(frontend::status_counts(log)));
  std::string text =
      "Project: " + session.project_id.value_or("not linked yet (run the sync tool)");
  text += "\nSigned in: " + std::string(session.api_key ? "yes" : "no (run `kolvex auth login`)");
  text += "\nRecords waiting for upload: " + std::to_string(log.pending);
  text += "\nRecords uploaded: " + std::to_string(log.uploaded);
  return tool_result(text, core::Value(std::move(status)), false);
}

core::Value call_session_summary()
{
  const auto root = services::shared::get_repo_root();
  const auto project = services::relaycore::sync::linked_project_id(root);
  const std::string summary = services::relaycore::cache::generate_session_summary(
      paths::platform_dir(root), project ? core::Value(*project) : core::Value(), std::nullopt);
  return tool_result(summary, std::nullopt, false);
}

core::Value call_tool(const core::Value& params)
{
  const core::Value* name = params.is_map() ? params.get("name") : nullptr;
  if (name == nullptr || !name->is_string()) {
    throw InvalidParams("tools/call needs the tool's \"name\"");
  }
  const core::Value* arguments = params.get("arguments");
  const core::Value args = arguments != nullptr ? *arguments : core::Value(core::Map{});
  if (!args.is_map()) {
    throw InvalidParams("\"arguments\" must be an object");
  }
  const std::string& tool_name = name->as_string();
  if (tool_name != "sync" && tool_name != "status" && tool_name != "session_summary") {
    throw InvalidParams("Unknown tool: " + tool_name);
  }
  try {
    if (tool_name == "sync") {
      return call_sync(args);
    }
    if (tool_name == "status") {
      return call_status();
    }
    return call_session_summary();
  } catch (const InvalidParams&) {
    throw;
  } catch (const std::exception& e) {
    // A tool that fails answers as a failed tool, not as a broken protocol.
    logger().debug_exception("Tool " + tool_name + " failed", e);
    return tool_result(tool_name + " failed: " + e.what(), std::nullopt, true);
  }
}

core::Value initialize(const core::Value& params)
{
  const core::Value* requested = params.is_map() ? params.get("protocolVersion") : nullptr;
  core::Map capabilities;
  capabilities.set("tools", core::Value(core::Map{{"listChanged", core::Value(false)}}));
  core::Map info;
  info.set("name", core::Value("kolvex"));
  info.set("version", core::Value(std::string(version())));
  core::Map result;
  result.set(
      "protocolVersion",
      core::Value(protocol::negotiate_protocol_version(requested ? *requested : core::Value())));
  result.set("capabilities", core::Value(std::move(capabilities)));
  result.set("serverInfo", core::Value(std::move(info)));
  return core::Value(std::move(result));
}

// The answer to one request line, or nullopt for what is never answered.
std::optional<std::string> answer(const Message& message)
{
  switch (message.kind) {
  case Message::Kind::invalid:
    return protocol::error_line(message.id, message.error_code, message.error_message);
  case Message::Kind::notification:
  case Message::Kind::response:
    return std::nullopt;
  case Message::Kind::request:
    break;
  }
  try {
    if (message.method == "initialize") {
      return protocol::result_line(message.id, initialize(message.params));
    }
    if (message.method == "ping") {
      return protocol::result_line(message.id, core::Value(core::Map{}));
    }
    if (message.method == "tools/list") {
      return protocol::result_line(message.id, tools_list());
    }
    if (message.method == "tools/call") {
      return protocol::result_line(message.id, call_tool(message.params));
    }
    return protocol::error_line(
        message.id, protocol::METHOD_NOT_FOUND, "Method not found: " + message.method);
  } catch (const InvalidParams& e) {
    return protocol::error_line(message.id, protocol::INVALID_PARAMS, e.what());
  } catch (const std::exception& e) {
    logger().debug_exception("Request failed", e);
    return protocol::error_line(message.id,
                                protocol::INTERNAL_ERROR,
                                "Internal error (" + core::errors::short_name(e) + ")");
  }
}

} // namespace

int serve_mcp(int in_fd, int out_fd)
{
  protocol::LineReader reader(in_fd);
  bool too_long = false;
  while (auto line = reader.next(too_long)) {
    if (too_long) {
      if (!send_line(out_fd,
                     protocol::error_line(
                         core::Value(), protocol::PARSE_ERROR, "Parse error: message too long"))) {
        break;
      }
      continue;
    }
    if (core::text::trim(*line).empty()) {
      continue;
    }
    const auto reply = answer(protocol::parse_message(*line));
    if (reply && !send_line(out_fd, *reply)) {
      break;
    }
  }
  return 0;
}

void register_mcp(CLI::App& app)
{
  CLI::App* command = app.add_subcommand(
      "mcp",
      "Run the agent tool server (MCP over stdio) for the repository around the working "
      "directory: the tools `sync`, `status` and `session_summary`. Agent harnesses start it "
      "themselves; `kolvex sync` registers it in .mcp.json, .gemini/settings.json, "
      ".cursor/mcp.json and .codex/config.toml for the configured agents.");
  command->callback([] {
    // The protocol gets its own descriptor; fd 1 becomes stderr, so nothing printed
    // by the code the tools run can corrupt the stream.
    const int protocol_fd = ::dup(STDOUT_FILENO);
    if (protocol_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      throw std::runtime_error("cannot set up the protocol stream");
    }
    core::logging::set_hook_path(true);
    // A client that goes away ends the loop through a failed write, not a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)serve_mcp(STDIN_FILENO, protocol_fd);
    ::close(protocol_fd);
  });
}

} // namespace kolvex::commands
