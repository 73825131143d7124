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
#include "repository_handle.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/cache/session_summary.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/sync/project_resolution.hpp"
#include "services/repository.hpp"
#include "version.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

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

core::Value tool(std::string_view name,
                 std::string_view description,
                 core::Value schema,
                 std::optional<core::Value> output = std::nullopt)
{
  core::Map entry;
  entry.set("name", core::Value(std::string(name)));
  entry.set("description", core::Value(std::string(description)));
  entry.set("inputSchema", std::move(schema));
  if (output) {
    entry.set("outputSchema", std::move(*output));
  }
  return core::Value(std::move(entry));
}

// {"type": <type>} for one property of an output schema; `type` a name or a list.
core::Value typed(core::Value type)
{
  return core::Value(core::Map{{"type", std::move(type)}});
}

core::Value nullable(std::string_view type)
{
  return typed(core::Value(core::List{core::Value(std::string(type)), core::Value("null")}));
}

// What `structuredContent` of a sync holds.  Clients validate every result against
// it, so it names only the keys every report carries and allows more.
core::Value sync_output_schema()
{
  core::Map properties;
  properties.set("ok", typed(core::Value("boolean")));
  properties.set("attestations_uploaded", typed(core::Value("boolean")));
  properties.set("cache_refreshed", typed(core::Value("boolean")));
  properties.set("project_id", nullable("string"));
  properties.set("resolution", nullable("object"));
  properties.set("upload", nullable("object"));
  properties.set("cache_failure", nullable("string"));
  properties.set("pending", typed(core::Value("integer")));
  properties.set("problems", typed(core::Value("array")));
  core::Value schema = object_schema(std::move(properties));
  schema.as_map().set("required", core::Value(core::List{"ok", "pending", "problems"}));
  return schema;
}

core::Value status_output_schema()
{
  core::Map properties;
  properties.set("project_id", nullable("string"));
  properties.set("signed_in", typed(core::Value("boolean")));
  properties.set("api_url", typed(core::Value("string")));
  properties.set("agents", typed(core::Value("array")));
  properties.set("log", typed(core::Value("object")));
  core::Value schema = object_schema(std::move(properties));
  schema.as_map().set("required", core::Value(core::List{"signed_in", "log"}));
  return schema;
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
                       object_schema(core::Map{{"team_id", core::Value(std::move(team))}}),
                       sync_output_schema()));
  tools.push_back(tool("status",
                       "Show this repository's kolvex state: the linked project, whether the "
                       "user is signed in, and the commit records waiting for upload.",
                       object_schema(core::Map{}),
                       status_output_schema()));
  tools.push_back(tool("session_summary",
                       "The short summary of the cached project context (rules, specs, "
                       "freshness, pending uploads) that agents see at session start.",
                       object_schema(core::Map{})));
  return core::Value(core::Map{{"tools", core::Value(std::move(tools))}});
}

core::Value text_block(std::string text)
{
  core::Map block;
  block.set("type", core::Value("text"));
  block.set("text", core::Value(std::move(text)));
  return core::Value(std::move(block));
}

// A tool's answer: text for the model and, for a tool with an output schema, the
// structured data, also as JSON text for clients that read only the text blocks.
core::Value
tool_result(const std::string& text, std::optional<core::Value> structured, bool is_error)
{
  core::List content{text_block(text)};
  if (structured) {
    content.push_back(text_block(core::json::dump(*structured)));
  }
  core::Map result;
  result.set("content", core::Value(std::move(content)));
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
  if (team->kind() == core::Value::Kind::integer && team->as_int() >= 1) {
    return team->as_int();
  }
  if (team->is_string()) {
    const std::string_view text = core::text::trim(team->as_string());
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= 1) {
      return value;
    }
  }
  throw InvalidParams("team_id must be a whole number from 1");
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
  const auto log =
      services::relaycore::log::count_attestation_log(paths::confined(paths::log_jsonl(root)));
  core::Map status;
  status.set("project_id", session.project_id ? core::Value(*session.project_id) : core::Value());
  status.set("signed_in", core::Value(session.api_key.has_value()));
  status.set("api_url", core::Value(session.api_url));
  core::List agents;
  try {
    // Opened for this call alone: the server outlives any one look at the repository.
    const paths::RepositoryHandle repo(root);
    for (auto& name :
         services::shared::configured_agents(services::shared::load_local_config(repo))) {
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
  std::optional<std::string> project;
  try {
    project = services::relaycore::sync::linked_project_id(paths::RepositoryHandle(root));
  } catch (const std::system_error& e) {
    logger().debug_exception("The linked project could not be read", e); // none linked
  }
  // Opened for this call alone; a cache that cannot be opened is read file by file,
  // each refused and reported as before.
  paths::DirectoryHandle cache;
  try {
    cache = paths::DirectoryHandle::open(paths::platform_dir(root));
  } catch (const std::system_error& e) {
    logger().debug_exception("The cache directory could not be opened", e);
  }
  const std::string summary = services::relaycore::cache::generate_session_summary(
      cache, project ? core::Value(*project) : core::Value(), std::nullopt);
  return tool_result(summary, std::nullopt, false);
}

// "<class name>: <short message>" for a failed tool.  The model and whoever reads
// the transcript see it, so it names no absolute path (a home directory, a user
// name): a system error gives its error text alone, other messages keep each path's
// last part.
std::string failure_text(const std::exception& e)
{
  std::string message;
  if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
    message = system->code().message();
  } else {
    const std::string_view what = e.what();
    message = std::string(what.substr(0, what.find('\n')));
    for (std::size_t at = message.find('/'); at != std::string::npos;
         at = message.find('/', at + 1)) {
      const bool starts_path =
          at == 0 || std::string_view(" '\"(=:").find(message[at - 1]) != std::string_view::npos;
      if (!starts_path) {
        continue;
      }
      const std::size_t stop = message.find_first_of(" '\")", at);
      const std::size_t end = stop == std::string::npos ? message.size() : stop;
      const std::size_t last = message.rfind('/', end - 1);
      message.replace(at, last + 1 - at, "");
    }
  }
  constexpr std::size_t k_longest = 200;
  if (message.size() > k_longest) {
    message = message.substr(0, k_longest) + "...";
  }
  const std::string name = core::errors::short_name(e);
  return message.empty() ? name : name + ": " + message;
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
    return tool_result(tool_name + " failed: " + failure_text(e), std::nullopt, true);
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
  case Message::Kind::batch:
    return protocol::error_line(
        core::Value(), protocol::INVALID_REQUEST, "Invalid Request: a batch inside a batch");
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

// A sync waits on the network for up to minutes; everything else answers at once.
bool is_slow(const Message& message)
{
  if (message.kind != Message::Kind::request || message.method != "tools/call" ||
      !message.params.is_map()) {
    return false;
  }
  const core::Value* name = message.params.get("name");
  return name != nullptr && name->is_string() && name->as_string() == "sync";
}

// One server: the reading thread answers what is quick itself and hands each slow
// call (with the batch it came in) to one worker, in order, so a ping or a
// cancellation is read and answered while a sync runs, and two syncs never overlap.
class Server {
public:
  explicit Server(int out_fd) : m_out_fd(out_fd)
  {
    m_worker = std::thread([this] { work(); });
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() { finish(); }

  // Answers or queues one line's message.
  void handle(const Message& message)
  {
    if (message.kind == Message::Kind::batch) {
      handle_batch(message);
    } else if (message.kind == Message::Kind::notification &&
               message.method == "notifications/cancelled") {
      cancel(message.params);
    } else if (is_slow(message)) {
      queue({message}, false);
    } else if (const auto reply = answer(message)) {
      if (message.method == "initialize" && message.kind == Message::Kind::request) {
        const core::Value* requested =
            message.params.is_map() ? message.params.get("protocolVersion") : nullptr;
        m_version = protocol::negotiate_protocol_version(requested ? *requested : core::Value());
      }
      send(*reply);
    }
  }

  // Writes `line` unless the client has gone.
  void send(const std::string& line)
  {
    const std::lock_guard lock(m_write_mutex);
    if (!m_gone && !send_line(m_out_fd, line)) {
      m_gone = true;
    }
  }

  [[nodiscard]] bool gone()
  {
    const std::lock_guard lock(m_write_mutex);
    return m_gone;
  }

  // Lets the queued calls finish and answer, then stops the worker.
  void finish()
  {
    {
      const std::lock_guard lock(m_jobs_mutex);
      m_stopping = true;
    }
    m_wakeup.notify_all();
    if (m_worker.joinable()) {
      m_worker.join();
    }
  }

private:
  using Flag = std::shared_ptr<std::atomic<bool>>;
  struct Job {
    std::vector<Message> messages;
    std::vector<Flag> cancelled; // one per message: set by notifications/cancelled
    bool batch = false;
  };

  void handle_batch(const Message& message)
  {
    if (!protocol::batches_allowed(m_version)) {
      send(protocol::error_line(
          core::Value(),
          protocol::INVALID_REQUEST,
          "Invalid Request: batches are not supported in protocol version " +
              (m_version.empty() ? std::string("(none negotiated)") : m_version)));
      return;
    }
    std::vector<Message> items = message.items;
    for (auto& item : items) {
      if (item.kind == Message::Kind::request && item.method == "initialize") {
        item.kind = Message::Kind::invalid;
        item.error_code = protocol::INVALID_REQUEST;
        item.error_message = "Invalid Request: initialize cannot be part of a batch";
      }
    }
    if (std::any_of(items.begin(), items.end(), is_slow)) {
      queue(std::move(items), true);
      return;
    }
    std::vector<std::string> answers;
    for (const auto& item : items) {
      if (item.kind == Message::Kind::notification && item.method == "notifications/cancelled") {
        cancel(item.params);
      } else if (auto reply = answer(item)) {
        answers.push_back(std::move(*reply));
      }
    }
    if (!answers.empty()) {
      send(protocol::batch_line(answers));
    }
  }

  void queue(std::vector<Message> messages, bool batch)
  {
    Job job;
    job.batch = batch;
    const std::lock_guard lock(m_jobs_mutex);
    for (auto& message : messages) {
      job.cancelled.push_back(std::make_shared<std::atomic<bool>>(false));
      if (message.kind == Message::Kind::request) {
        m_in_flight[core::json::dump(message.id)] = job.cancelled.back();
      }
    }
    job.messages = std::move(messages);
    m_jobs.push_back(std::move(job));
    m_wakeup.notify_all();
  }

  // A cancelled call that has not started never runs; one that has runs to its end
  // (a sync cut off between its upload and the marking of what was sent would send
  // those records again) and is not answered.  An unknown id is ignored.
  void cancel(const core::Value& params)
  {
    const core::Value* id = params.is_map() ? params.get("requestId") : nullptr;
    if (id == nullptr) {
      return;
    }
    const std::lock_guard lock(m_jobs_mutex);
    const auto found = m_in_flight.find(core::json::dump(*id));
    if (found != m_in_flight.end()) {
      *found->second = true;
      logger().debug("Request " + found->first + " cancelled by the client");
    }
  }

  void work()
  {
    while (true) {
      Job job;
      {
        std::unique_lock lock(m_jobs_mutex);
        m_wakeup.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty()) {
          return;
        }
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
      }
      std::vector<std::string> answers;
      for (std::size_t i = 0; i < job.messages.size(); ++i) {
        const Message& message = job.messages[i];
        if (message.kind == Message::Kind::notification &&
            message.method == "notifications/cancelled") {
          cancel(message.params);
          continue;
        }
        if (*job.cancelled[i]) {
          continue;
        }
        auto reply = answer(message);
        if (reply && !*job.cancelled[i]) {
          answers.push_back(std::move(*reply));
        }
      }
      {
        const std::lock_guard lock(m_jobs_mutex);
        for (std::size_t i = 0; i < job.messages.size(); ++i) {
          const auto found = m_in_flight.find(core::json::dump(job.messages[i].id));
          if (found != m_in_flight.end() && found->second == job.cancelled[i]) {
            m_in_flight.erase(found);
          }
        }
      }
      if (job.batch && !answers.empty()) {
        send(protocol::batch_line(answers));
      } else if (!answers.empty()) {
        send(answers.front());
      }
    }
  }

  int m_out_fd;
  std::string m_version; // negotiated by initialize; read by the reading thread only
  std::mutex m_write_mutex;
  bool m_gone = false;
  std::mutex m_jobs_mutex;
  std::condition_variable m_wakeup;
  std::deque<Job> m_jobs;
  std::map<std::string, Flag> m_in_flight; // by the id's JSON text
  bool m_stopping = false;
  std::thread m_worker;
};

} // namespace

int serve_mcp(int in_fd, int out_fd)
{
  protocol::LineReader reader(in_fd);
  Server server(out_fd);
  bool too_long = false;
  while (auto line = reader.next(too_long)) {
    if (too_long) {
      server.send(protocol::error_line(
          core::Value(), protocol::PARSE_ERROR, "Parse error: message too long"));
    } else if (!core::text::trim(*line).empty()) {
      server.handle(protocol::parse_message(*line));
    }
    if (server.gone()) {
      break;
    }
  }
  server.finish();
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
