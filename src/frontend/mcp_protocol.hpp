#pragma once

// JSON-RPC 2.0 as the agent tool server speaks it over stdio: one message per
// line, read with a size cap, each either a request, a notification or a message
// the server must answer with an error and then keep serving.

#include "core/value.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::mcp_protocol {

// JSON-RPC error codes.
inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;

// The longest line read as a message; a longer one is answered with a parse error.
inline constexpr std::size_t MAX_MESSAGE_BYTES = 4 * 1024 * 1024;

// The protocol versions this server speaks, oldest first; the last is offered to a
// client asking for one we do not know.
inline const std::vector<std::string> SUPPORTED_PROTOCOL_VERSIONS = {
    "2024-10-07", "2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};

// One line, read.
struct Message {
  enum class Kind {
    request,      // has an id and a method: answer it
    notification, // a method without an id: never answered
    response,     // a client's answer (we send no requests): ignored
    invalid,      // answer `error_code` / `error_message` to `id` (null when unknown)
    batch,        // a JSON array of messages: `items`, each parsed as a line on its own
  };
  Kind kind = Kind::invalid;
  core::Value id;     // text or integer (of any size); null when absent or unknown
  std::string method; // request and notification
  core::Value params; // a map or a list; null when absent
  int error_code = 0;
  std::string error_message;
  std::vector<Message> items; // batch
};

// Reads one line (without its newline) as a JSON-RPC 2.0 message, or a batch of
// them (an empty array is an invalid request).  Never throws.
[[nodiscard]] Message parse_message(std::string_view line);

// Whether a client that negotiated `version` may send batches: only the one
// revision that introduced them allows them; the next one took them out again.
[[nodiscard]] bool batches_allowed(std::string_view version);

// One line (no newline) holding `answers` (each a whole answer line) as a batch reply.
[[nodiscard]] std::string batch_line(const std::vector<std::string>& answers);

// The version the server answers a client that asked for `requested`: the same
// when supported, else the newest supported.
[[nodiscard]] std::string negotiate_protocol_version(const core::Value& requested);

// One line (no newline) answering `id` with `result`.
[[nodiscard]] std::string result_line(const core::Value& id, const core::Value& result);

// One line (no newline) answering `id` with a JSON-RPC error.
[[nodiscard]] std::string error_line(const core::Value& id, int code, std::string_view message);

// Reads newline-delimited messages from a descriptor, a line at most
// MAX_MESSAGE_BYTES (the rest of a longer one is skipped, and it reads as too long).
class LineReader {
public:
  explicit LineReader(int fd) : m_fd(fd) {}
  // The next line, or nullopt at end of input.  `too_long` tells a line that was cut.
  [[nodiscard]] std::optional<std::string> next(bool& too_long);

private:
  int m_fd;
  std::string m_buffer;
  bool m_eof = false;
};

} // namespace kolvex::services::mcp_protocol
