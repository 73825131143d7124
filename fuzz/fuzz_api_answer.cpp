// Arbitrary bytes as a server's answer: the status mapping, the answer shapes and
// the header reader must never crash, must throw only the client's errors, and
// what they let through must be fit to show a user.
#include "contracts/api_client.hpp"
#include "core/fs.hpp"
#include "fuzz_check.hpp"
#include "protocol/wire.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using kolvex::fuzz::check;

namespace wire = kolvex::protocol::wire;
using kolvex::contracts::AgentApiError;
using kolvex::contracts::ApiError;

// Text that reaches a terminal: valid UTF-8, no control characters, bounded.
void check_printable(std::string_view text)
{
  check(kolvex::core::fs::is_valid_utf8(text), "message is UTF-8");
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    check(byte >= 0x20 && byte != 0x7f, "message has no control characters");
  }
  check(text.size() <= 4 * wire::k_max_message_chars, "message is bounded");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 3) {
    return 0;
  }
  // Byte 0 picks the answer shape, bytes 1-2 the status; the rest is the body.
  const auto shape = static_cast<wire::Answer>(data[0] % 10);
  const long status = 100 + ((data[1] << 8) | data[2]) % 500;
  const std::string_view body(reinterpret_cast<const char*>(data) + 3, size - 3);

  try {
    wire::check_status(status, body);
    check(status >= 200 && status <= 299, "only 2xx passes");
  } catch (const AgentApiError& e) {
    check(status < 200 || status > 299, "a 2xx is never refused");
    check(!e.code().empty(), "a refusal has a code");
    check_printable(e.code());
    check_printable(e.what());
  } catch (const ApiError& e) {
    check(std::string_view(e.what()) == "HTTP " + std::to_string(status),
          "plain failures name the status");
  }

  try {
    const auto answer = wire::parse_answer(shape, body);
    if (shape == wire::Answer::upload) {
      const auto* inserted = answer.get("inserted");
      check(inserted == nullptr || inserted->is_int(), "inserted is an integer");
    }
  } catch (const ApiError& e) {
    check(std::string_view(e.what()) == "bad response", "a bad answer is a bad response");
  }

  (void)wire::header_value(body, "ETag");
  check_printable(wire::clean_message(body));
  (void)wire::is_loopback_host(body);
  const std::string redacted = wire::redact(std::string(body), "sk-secret");
  check(redacted.find("sk-secret") == std::string::npos, "the key is redacted");
  return 0;
}
