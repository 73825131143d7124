#include "protocol/wire.hpp"

#include "core/json.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

namespace kolvex::protocol::wire {

namespace {

using contracts::AgentApiError;
using contracts::ApiError;

[[noreturn]] void bad_response()
{
  throw ApiError("bad response");
}

bool is_list_or_absent(const core::Value& answer, std::string_view key)
{
  const core::Value* found = answer.get(key);
  return found == nullptr || found->is_list();
}

bool is_int_or_absent(const core::Value& answer, std::string_view key)
{
  const core::Value* found = answer.get(key);
  return found == nullptr || found->is_int();
}

// {"key": [...]} or, where the contract allows it, the bare list.
bool is_list_holder(const core::Value& answer, std::string_view key)
{
  if (answer.is_list()) {
    return true;
  }
  const core::Value* found = answer.get(key);
  return answer.is_map() && found != nullptr && found->is_list();
}

bool valid_whoami(const core::Value& answer)
{
  const core::Value* user = answer.get("user");
  const core::Value* teams = answer.get("teams");
  if (user == nullptr || !user->is_string() || teams == nullptr || !teams->is_list()) {
    return false;
  }
  return std::all_of(teams->as_list().begin(), teams->as_list().end(), [](const core::Value& team) {
    const core::Value* id = team.get("id");
    return id != nullptr && id->is_int();
  });
}

bool matches(Answer shape, const core::Value& answer)
{
  switch (shape) {
  case Answer::any:
    return true;
  case Answer::object:
    return answer.is_map();
  case Answer::whoami:
    return answer.is_map() && valid_whoami(answer);
  case Answer::resolve:
    // Project resolution tells a usable id from a bad answer itself, and names it.
    return true;
  case Answer::upload:
    return answer.is_map() && is_int_or_absent(answer, "inserted") &&
           is_int_or_absent(answer, "updated");
  case Answer::context:
    return answer.is_map() && is_list_or_absent(answer, "systems");
  case Answer::specs:
    return answer.is_map() && is_list_or_absent(answer, "specs") &&
           is_list_or_absent(answer, "canonical_docs");
  case Answer::guardrails:
    return answer.is_map() && answer.get("rules") != nullptr && answer.get("rules")->is_list();
  case Answer::skills:
    return is_list_holder(answer, "skills");
  case Answer::memories:
    return is_list_holder(answer, "memories");
  }
  return false;
}

bool is_token_char(char c)
{
  static constexpr std::string_view k_specials = "!#$%&'*+-.^_`|~";
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         k_specials.find(c) != std::string_view::npos;
}

bool iequals(std::string_view a, std::string_view b)
{
  return a.size() == b.size() && core::text::lower(a) == core::text::lower(b);
}

} // namespace

// The one caller passes the target's URL and a path literal starting with "/"; a
// swap would fail every request of the protocol tests.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string endpoint(std::string_view api_url, std::string_view path)
{
  while (!api_url.empty() && api_url.back() == '/') {
    api_url.remove_suffix(1);
  }
  std::string url(api_url);
  url += path;
  return url;
}

std::string escape_component(std::string_view text)
{
  static constexpr char k_hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += k_hex[byte >> 4];
      out += k_hex[byte & 0x0f];
    }
  }
  return out;
}

bool is_loopback_host(std::string_view host)
{
  if (iequals(host, "localhost") || host == "::1" || host == "[::1]") {
    return true;
  }
  // Four decimal parts, the first 127: what inet_aton would also read otherwise
  // (octal, fewer parts) is not accepted, so no spelling can smuggle a public host.
  const std::vector<std::string> parts = core::text::split(host, '.');
  if (parts.size() != 4) {
    return false;
  }
  std::array<int, 4> values{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part.front() == '0') ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), values[i]);
    if (ec != std::errc() || end != part.data() + part.size() || values[i] > 255) {
      return false;
    }
  }
  return values[0] == 127;
}

void check_status(long status, std::string_view body)
{
  if (status >= 200 && status <= 299) {
    return;
  }
  const std::string fallback = "HTTP " + std::to_string(status);
  core::Value parsed;
  try {
    parsed = core::json::parse(body);
  } catch (const core::json::JsonError&) {
    throw ApiError(fallback);
  }
  const core::Value* error = parsed.get("error");
  const core::Value* code = error != nullptr ? error->get("code") : nullptr;
  if (code == nullptr || !code->is_string() || code->as_string().empty()) {
    throw ApiError(fallback);
  }
  const core::Value* message = error->get("message");
  throw AgentApiError(
      clean_message(code->as_string()),
      message != nullptr && message->is_string() ? clean_message(message->as_string()) : fallback);
}

core::Value parse_answer(Answer shape, std::string_view body)
{
  core::Value parsed;
  try {
    parsed = core::json::parse(body);
  } catch (const core::json::JsonError&) {
    bad_response();
  }
  if (!matches(shape, parsed)) {
    bad_response();
  }
  return parsed;
}

bool retryable_status(long status)
{
  return status == 502 || status == 503 || status == 504;
}

std::optional<std::string> header_value(std::string_view line, std::string_view name)
{
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !iequals(line.substr(0, colon), name)) {
    return std::nullopt;
  }
  return std::string(core::text::trim(line.substr(colon + 1)));
}

bool valid_header(std::string_view name, std::string_view value)
{
  if (name.empty() || !std::all_of(name.begin(), name.end(), is_token_char)) {
    return false;
  }
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

std::string clean_message(std::string_view text)
{
  std::string out;
  out.reserve(std::min(text.size(), k_max_message_chars));
  std::size_t chars = 0;
  for (std::size_t pos = 0; pos < text.size() && chars < k_max_message_chars; ++chars) {
    const core::text::Utf8Step step = core::text::utf8_step(text, pos);
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (!step.valid) {
      out += "\xef\xbf\xbd";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += ' ';
    } else if (byte == 0xc2 && static_cast<unsigned char>(text[pos + 1]) < 0xa0) {
      out += ' '; // C1 controls (U+0080..U+009F), CSI among them
    } else {
      out.append(text.substr(pos, step.length));
    }
    pos += step.length;
  }
  return out;
}

std::string redact(std::string text, std::string_view secret)
{
  if (secret.size() < 4) {
    return text;
  }
  static constexpr std::string_view k_mark = "[redacted]";
  for (std::size_t at = text.find(secret); at != std::string::npos;
       at = text.find(secret, at + k_mark.size())) {
    text.replace(at, secret.size(), k_mark);
  }
  return text;
}

} // namespace kolvex::protocol::wire
