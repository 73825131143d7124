#pragma once

// The wire protocol of the cloud API, apart from the transport: URLs, what an
// answer must look like, how a refusal becomes an error, which failures are worth a
// second try.  Kept free of libcurl so that the engine, the tests and the fuzzer
// can use it without loading the HTTP library.

#include "contracts/api_client.hpp"
#include "core/value.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::protocol::wire {

// The largest answer body the client accepts; anything longer is an ApiError, so a
// broken or hostile server cannot make a hook allocate without bound.
inline constexpr std::size_t k_max_answer_bytes = std::size_t{64} << 20;

// The longest refusal message kept from a server; the rest is cut off.
inline constexpr std::size_t k_max_message_chars = 500;

// The shape a successful answer must have, one per endpoint family.
enum class Answer {
  any,        // any JSON value (a declarative-state entity)
  object,     // any JSON object (system context, custom docs)
  whoami,     // {"user": text, "teams": [{"id": int, ...}]}
  resolve,    // {"projectId": int or text, "title", "created"}
  upload,     // {"inserted": int, "updated": int}, both optional
  context,    // {"systems": [text, ...]} ("systems" optional)
  specs,      // {"specs": [...], "canonical_docs": [...]}, lists optional
  guardrails, // {"rules": [...]}
  skills,     // {"skills": [...]} or a bare list
  memories,   // {"memories": [...]} or a bare list
};

// `api_url` without trailing slashes, followed by `path` (which starts with "/").
[[nodiscard]] std::string endpoint(std::string_view api_url, std::string_view path);

// `text` percent-encoded so that it stays one path segment or one query value:
// everything but RFC 3986's unreserved characters is escaped.
[[nodiscard]] std::string escape_component(std::string_view text);

// True for the hosts plain http may be used with: "localhost" (any case), the
// 127.0.0.0/8 addresses written as four decimal parts, and "::1" (bracketed or not).
[[nodiscard]] bool is_loopback_host(std::string_view host);

// Throws for a status outside 200-299: AgentApiError(code, message) when `body` is
// {"error": {"code": text, "message": text}}, otherwise ApiError("HTTP <status>").
// The message is cleaned with clean_message.  Returns normally for a 2xx status.
void check_status(long status, std::string_view body);

// The body of a 2xx answer parsed and checked against `shape`.  Throws
// ApiError("bad response") when it is not JSON or not of that shape.
[[nodiscard]] core::Value parse_answer(Answer shape, std::string_view body);

// Whether a status is one a second attempt may cure (502, 503, 504).
[[nodiscard]] bool retryable_status(long status);

// The value of header `name` (compared without regard to case) when the raw header
// line `line` ("Name: value\r\n") is that header, trimmed; else nullopt.
[[nodiscard]] std::optional<std::string> header_value(std::string_view line, std::string_view name);

// Whether `name: value` may go out as a request header: a token name and a value
// without control characters, so that no caller-supplied text can add a header.
[[nodiscard]] bool valid_header(std::string_view name, std::string_view value);

// Server text fit to show a user: control characters (terminal escapes included)
// become spaces, invalid UTF-8 becomes U+FFFD, and it is cut to
// k_max_message_chars characters.
[[nodiscard]] std::string clean_message(std::string_view text);

// `text` with every occurrence of `secret` replaced by "[redacted]"; secrets shorter
// than 4 bytes are left alone, as hiding them would garble every message.
[[nodiscard]] std::string redact(std::string text, std::string_view secret);

} // namespace kolvex::protocol::wire
