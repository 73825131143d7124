#include "frontend/mcp_protocol.hpp"

#include "core/json.hpp"

#include <gtest/gtest.h>

#include <thread>

#include <unistd.h>

namespace kolvex::services::mcp_protocol {
namespace {

using core::Value;

TEST(McpProtocol, RequestsNotificationsAndResponsesAreToldApart)
{
  const Message request = parse_message(R"({"jsonrpc": "2.0", "id": 7, "method": "ping"})");
  EXPECT_EQ(request.kind, Message::Kind::request);
  EXPECT_EQ(request.id, Value(7));
  EXPECT_TRUE(request.params.is_null());
  const Message note =
      parse_message(R"({"jsonrpc": "2.0", "method": "notifications/initialized"})");
  EXPECT_EQ(note.kind, Message::Kind::notification);
  const Message reply = parse_message(R"({"jsonrpc": "2.0", "id": "a", "result": {}})");
  EXPECT_EQ(reply.kind, Message::Kind::response);
  // A fractional id, params that are a number, a null method: each an invalid
  // request, answered to the id when it is usable.
  const Message fractional = parse_message(R"({"jsonrpc": "2.0", "id": 1.5, "method": "ping"})");
  EXPECT_EQ(fractional.error_code, INVALID_REQUEST);
  EXPECT_TRUE(fractional.id.is_null());
  const Message numeric =
      parse_message(R"({"jsonrpc": "2.0", "id": 3, "method": "x", "params": 1})");
  EXPECT_EQ(numeric.error_code, INVALID_REQUEST);
  EXPECT_EQ(numeric.id, Value(3));
  EXPECT_EQ(parse_message(R"({"jsonrpc": "2.0", "id": 4, "method": null})").error_code,
            INVALID_REQUEST);
  EXPECT_EQ(parse_message("\"just text\"").error_code, INVALID_REQUEST);
  EXPECT_EQ(
      parse_message("{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": \"ping\"} trailing").error_code,
      PARSE_ERROR);
}

TEST(McpProtocol, AnswersAreSingleLinesThatReadBack)
{
  const std::string line = result_line(Value("x"), Value(core::Map{{"text", "a\nb\u00e9"}}));
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(*core::json::parse(line).get("result")->get("text"), Value("a\nb\u00e9"));
  const Value error = core::json::parse(error_line(Value(), METHOD_NOT_FOUND, "no"));
  EXPECT_TRUE(error.get("id")->is_null());
  EXPECT_EQ(*error.get("error")->get("code"), Value(METHOD_NOT_FOUND));
}

TEST(McpProtocol, VersionNegotiationEchoesKnownVersionsOnly)
{
  EXPECT_EQ(negotiate_protocol_version(Value("2024-11-05")), "2024-11-05");
  EXPECT_EQ(negotiate_protocol_version(Value("2099-01-01")), SUPPORTED_PROTOCOL_VERSIONS.back());
  EXPECT_EQ(negotiate_protocol_version(Value(20250618)), SUPPORTED_PROTOCOL_VERSIONS.back());
  EXPECT_EQ(negotiate_protocol_version(Value()), SUPPORTED_PROTOCOL_VERSIONS.back());
}

TEST(McpProtocol, TheReaderSkipsAnOverlongLineAndKeepsTheNext)
{
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([fd = fds[1]] {
    const std::string huge(MAX_MESSAGE_BYTES + 10, 'x');
    const std::string input = "first\r\n" + huge + "\nsecond\nlast without newline";
    for (std::size_t at = 0; at < input.size();) {
      const ssize_t n = ::write(fd, input.data() + at, input.size() - at);
      if (n <= 0) {
        break;
      }
      at += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  LineReader reader(fds[0]);
  bool too_long = false;
  EXPECT_EQ(reader.next(too_long), "first");
  EXPECT_FALSE(too_long);
  const auto cut = reader.next(too_long);
  EXPECT_TRUE(too_long);
  ASSERT_TRUE(cut);
  EXPECT_TRUE(cut->empty()) << cut->size() << " bytes kept";
  EXPECT_EQ(reader.next(too_long), "second");
  EXPECT_FALSE(too_long);
  EXPECT_EQ(reader.next(too_long), "last without newline");
  EXPECT_EQ(reader.next(too_long), std::nullopt);
  writer.join();
  ::close(fds[0]);
}

} // namespace
} // namespace kolvex::services::mcp_protocol
