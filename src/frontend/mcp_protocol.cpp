#include "frontend/mcp_protocol.hpp"

#include "core/json.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

namespace kolvex::services::mcp_protocol {

namespace {

Message invalid(core::Value id, int code, std::string message)
{
  Message out;
  out.kind = Message::Kind::invalid;
  out.id = std::move(id);
  out.error_code = code;
  out.error_message = std::move(message);
  return out;
}

// An integer past 64 bits stays a valid id: it is read as its digits and written
// back the same, so the client gets its own id.
bool valid_id(const core::Value& id)
{
  return id.is_string() || id.is_int();
}

Message parse_object(const core::Value& parsed)
{
  if (!parsed.is_map()) {
    return invalid(core::Value(), INVALID_REQUEST, "Invalid Request: not a JSON object");
  }
  const core::Value* id = parsed.get("id");
  const bool has_id = id != nullptr;
  const core::Value answer_id = has_id && valid_id(*id) ? *id : core::Value();
  const core::Value* version = parsed.get("jsonrpc");
  if (version == nullptr || !version->is_string() || version->as_string() != "2.0") {
    return invalid(answer_id, INVALID_REQUEST, "Invalid Request: \"jsonrpc\" must be \"2.0\"");
  }
  if (has_id && !valid_id(*id)) {
    return invalid(
        core::Value(), INVALID_REQUEST, "Invalid Request: \"id\" must be a string or an integer");
  }
  const core::Value* method = parsed.get("method");
  if (method == nullptr) {
    if (has_id && (parsed.get("result") != nullptr || parsed.get("error") != nullptr)) {
      Message response;
      response.kind = Message::Kind::response;
      response.id = answer_id;
      return response;
    }
    return invalid(answer_id, INVALID_REQUEST, "Invalid Request: no \"method\"");
  }
  if (!method->is_string()) {
    return invalid(answer_id, INVALID_REQUEST, "Invalid Request: \"method\" must be a string");
  }
  const core::Value* params = parsed.get("params");
  if (params != nullptr && !params->is_map() && !params->is_list()) {
    return invalid(
        answer_id, INVALID_REQUEST, "Invalid Request: \"params\" must be an object or an array");
  }
  Message message;
  message.kind = has_id ? Message::Kind::request : Message::Kind::notification;
  message.id = answer_id;
  message.method = method->as_string();
  message.params = params != nullptr ? *params : core::Value();
  return message;
}

} // namespace

Message parse_message(std::string_view line)
{
  core::Value parsed;
  try {
    parsed = core::json::parse(line);
  } catch (const std::exception&) {
    return invalid(core::Value(), PARSE_ERROR, "Parse error: not a JSON text");
  }
  if (!parsed.is_list()) {
    return parse_object(parsed);
  }
  if (parsed.as_list().empty()) {
    return invalid(core::Value(), INVALID_REQUEST, "Invalid Request: an empty batch");
  }
  Message batch;
  batch.kind = Message::Kind::batch;
  for (const auto& item : parsed.as_list()) {
    batch.items.push_back(parse_object(item));
  }
  return batch;
}

bool batches_allowed(std::string_view version)
{
  return version == "2025-03-26";
}

std::string batch_line(const std::vector<std::string>& answers)
{
  return "[" + core::text::join(answers, ",") + "]";
}

std::string negotiate_protocol_version(const core::Value& requested)
{
  if (requested.is_string()) {
    const auto& known = SUPPORTED_PROTOCOL_VERSIONS;
    if (std::find(known.begin(), known.end(), requested.as_string()) != known.end()) {
      return requested.as_string();
    }
  }
  return SUPPORTED_PROTOCOL_VERSIONS.back();
}

std::string result_line(const core::Value& id, const core::Value& result)
{
  core::Map message;
  message.set("jsonrpc", core::Value("2.0"));
  message.set("id", id);
  message.set("result", result);
  return core::json::dump(core::Value(std::move(message)));
}

std::string error_line(const core::Value& id, int code, std::string_view text)
{
  core::Map error;
  error.set("code", core::Value(code));
  error.set("message", core::Value(std::string(text)));
  core::Map message;
  message.set("jsonrpc", core::Value("2.0"));
  message.set("id", id);
  message.set("error", core::Value(std::move(error)));
  return core::json::dump(core::Value(std::move(message)));
}

std::optional<std::string> LineReader::next(bool& too_long)
{
  too_long = false;
  bool skipping = false;
  while (true) {
    const std::size_t newline = m_buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = m_buffer.substr(0, newline);
      m_buffer.erase(0, newline + 1);
      if (skipping || line.size() > MAX_MESSAGE_BYTES) {
        too_long = true;
        return std::string();
      }
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    if (m_buffer.size() > MAX_MESSAGE_BYTES) {
      // Keep reading to the end of the line, but hold none of it.
      skipping = true;
      m_buffer.clear();
    }
    if (m_eof) {
      if (skipping) {
        too_long = true;
        return std::string();
      }
      if (m_buffer.empty()) {
        return std::nullopt;
      }
      std::string line = std::move(m_buffer);
      m_buffer.clear();
      return line;
    }
    char chunk[65536];
    const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      m_eof = true;
      continue;
    }
    m_buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

} // namespace kolvex::services::mcp_protocol
