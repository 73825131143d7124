// Arbitrary bytes as one line from an MCP client: reading it must never crash or
// throw, and whatever it becomes must be answerable as one JSON-RPC line.
#include "core/json.hpp"
#include "fuzz_check.hpp"
#include "services/mcp_protocol.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kolvex::fuzz::check;

namespace mcp = kolvex::services::mcp_protocol;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const mcp::Message message = mcp::parse_message(line);
  check(message.id.is_null() || message.id.is_string() || message.id.is_int(), "id kind");
  std::string answer;
  if (message.kind == mcp::Message::Kind::invalid) {
    check(message.error_code <= -32600 && message.error_code >= -32700, "error code");
    answer = mcp::error_line(message.id, message.error_code, message.error_message);
  } else {
    answer = mcp::result_line(message.id, message.params);
    (void)mcp::negotiate_protocol_version(message.params.is_map() &&
                                                  message.params.get("protocolVersion")
                                              ? *message.params.get("protocolVersion")
                                              : kolvex::core::Value());
  }
  if (message.kind == mcp::Message::Kind::batch) {
    std::vector<std::string> answers;
    for (const mcp::Message& item : message.items) {
      check(item.kind != mcp::Message::Kind::batch, "no batch inside a batch");
      answers.push_back(mcp::result_line(item.id, kolvex::core::Value()));
    }
    check(kolvex::core::json::parse(mcp::batch_line(answers)).is_list(), "batch reads back");
  }
  check(answer.find('\n') == std::string::npos, "one line");
  const kolvex::core::Value reread = kolvex::core::json::parse(answer);
  check(reread.is_map() && reread.get("jsonrpc") != nullptr, "answer reads back");
  return 0;
}
