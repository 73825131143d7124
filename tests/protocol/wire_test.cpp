// The wire rules apart from the transport: what counts as loopback, how a refusal
// becomes an error, what a good answer looks like.
#include "protocol/wire.hpp"

#include <gtest/gtest.h>

namespace kolvex::protocol::wire {
namespace {

using contracts::AgentApiError;
using contracts::ApiError;

TEST(Wire, UrlsAndComponents)
{
  EXPECT_EQ(endpoint("https://api.example//", "/v1/auth/whoami"),
            "https://api.example/v1/auth/whoami");
  EXPECT_EQ(endpoint("http://127.0.0.1:8080", "/v1/x"), "http://127.0.0.1:8080/v1/x");
  EXPECT_EQ(escape_component("42"), "42");
  EXPECT_EQ(escape_component("a/b?c=d&e f"), "a%2Fb%3Fc%3Dd%26e%20f");
  EXPECT_EQ(escape_component("\xc3\xa9-._~"), "%C3%A9-._~");
}

TEST(Wire, OnlyLoopbackHostsCountAsLoopback)
{
  for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "127.1.2.3", "::1", "[::1]"}) {
    EXPECT_TRUE(is_loopback_host(host)) << host;
  }
  for (const char* host : {"",
                           "example.com",
                           "localhost.example.com",
                           "127.0.0.1.example.com",
                           "128.0.0.1",
                           "127.0.0",
                           "127.0.0.1.5",
                           "0127.0.0.1",
                           "127.0.0.256",
                           "127.-1.0.1",
                           "127..0.1",
                           "2130706433",
                           "0x7f.0.0.1",
                           "::2",
                           "[::ffff:8.8.8.8]"}) {
    EXPECT_FALSE(is_loopback_host(host)) << host;
  }
}

TEST(Wire, RefusalsCarryTheServersCodeAndOtherFailuresTheStatus)
{
  EXPECT_NO_THROW(check_status(200, "not even json"));
  EXPECT_NO_THROW(check_status(204, ""));
  try {
    check_status(409, R"({"error": {"code": "ambiguous_team", "message": "teams 1, 2"}})");
    FAIL();
  } catch (const AgentApiError& e) {
    EXPECT_EQ(e.code(), "ambiguous_team");
    EXPECT_STREQ(e.what(), "teams 1, 2");
  }
  // Anything that is not that shape is a plain ApiError naming the status.
  for (const char* body : {"",
                           "<html>Bad Gateway</html>",
                           R"({"error": "text"})",
                           R"({"error": {"message": "no code"}})",
                           R"({"error": {"code": ""}})",
                           R"({"error": {"code": 7, "message": "x"}})",
                           "[1]"}) {
    try {
      check_status(502, body);
      FAIL() << body;
    } catch (const AgentApiError&) {
      FAIL() << "not a refusal: " << body;
    } catch (const ApiError& e) {
      EXPECT_STREQ(e.what(), "HTTP 502") << body;
    }
  }
  // A refusal without a message still says something.
  try {
    check_status(402, R"({"error": {"code": "capacity"}})");
    FAIL();
  } catch (const AgentApiError& e) {
    EXPECT_EQ(e.code(), "capacity");
    EXPECT_STREQ(e.what(), "HTTP 402");
  }
}

TEST(Wire, ServerTextIsMadeSafeToPrint)
{
  try {
    check_status(403,
                 "{\"error\": {\"code\": \"not_a_member\", \"message\": "
                 "\"no\\u001b[2J\\r\\nX-Evil: 1\\u009b31m\"}}");
    FAIL();
  } catch (const AgentApiError& e) {
    EXPECT_STREQ(e.what(), "no [2J  X-Evil: 1 31m");
  }
  EXPECT_EQ(clean_message(std::string(2000, 'a')).size(), k_max_message_chars);
  EXPECT_EQ(clean_message("caf\xc3\xa9 \xff!"), "caf\xc3\xa9 \xef\xbf\xbd!");
}

TEST(Wire, AnswersMustHaveTheShapeTheTableSays)
{
  using enum Answer;
  EXPECT_EQ(*parse_answer(upload, R"({"inserted": 3, "updated": 1})").get("inserted"),
            core::Value(3));
  EXPECT_NO_THROW((void)parse_answer(upload, "{}"));
  EXPECT_NO_THROW(
      (void)parse_answer(resolve, R"({"projectId": 42, "title": "a/b", "created": true})"));
  EXPECT_NO_THROW((void)parse_answer(resolve, R"({"projectId": "p-42"})"));
  // Whatever a resolve answer holds, project resolution classifies it.
  for (const char* body :
       {R"({"title": "no id"})", R"({"projectId": ""})", R"({"projectId": 1.5})"}) {
    EXPECT_NO_THROW((void)parse_answer(resolve, body)) << body;
  }
  EXPECT_NO_THROW(
      (void)parse_answer(whoami, R"({"user": "u", "teams": [{"id": 7, "name": "t"}]})"));
  EXPECT_NO_THROW((void)parse_answer(skills, R"([{"slug": "s"}])"));
  EXPECT_NO_THROW((void)parse_answer(memories, R"({"memories": []})"));
  EXPECT_NO_THROW((void)parse_answer(any, "null"));
  EXPECT_NO_THROW((void)parse_answer(specs, R"({"specs": [], "canonical_docs": []})"));

  const std::vector<std::pair<Answer, const char*>> bad{
      {upload, R"({"inserted": "3"})"},
      {upload, "[]"},
      {resolve, "[1"},
      {whoami, R"({"user": "u", "teams": [{"name": "no id"}]})"},
      {whoami, R"({"teams": []})"},
      {context, R"({"systems": "a,b"})"},
      {specs, R"({"specs": {}})"},
      {guardrails, "{}"},
      {skills, R"({"skills": {}})"},
      {memories, R"("memories")"},
      {object, "[]"},
      {any, "{"},
      {any, ""},
      {any, "{} trailing"},
  };
  for (const auto& [shape, body] : bad) {
    try {
      (void)parse_answer(shape, body);
      FAIL() << body;
    } catch (const ApiError& e) {
      EXPECT_STREQ(e.what(), "bad response") << body;
    }
  }
}

TEST(Wire, HeadersInAndOut)
{
  EXPECT_EQ(header_value("ETag: \"abc\"\r\n", "ETag"), "\"abc\"");
  EXPECT_EQ(header_value("etag:W/\"x\"  \r\n", "ETag"), "W/\"x\"");
  EXPECT_EQ(header_value("Content-Type: text/plain\r\n", "ETag"), std::nullopt);
  EXPECT_EQ(header_value("HTTP/1.1 200 OK\r\n", "ETag"), std::nullopt);
  EXPECT_EQ(header_value("ETagX: 1\r\n", "ETag"), std::nullopt);

  EXPECT_TRUE(valid_header("X-Agent-Session-Id", "abc-123 def"));
  EXPECT_FALSE(valid_header("X-Agent-Session-Id", "abc\r\nX-Evil: 1"));
  EXPECT_FALSE(valid_header("X-Agent-Session-Id", std::string("a\0b", 3)));
  EXPECT_FALSE(valid_header("Bad Name", "v"));
  EXPECT_FALSE(valid_header("", "v"));
}

TEST(Wire, SecretsAreRedacted)
{
  EXPECT_EQ(redact("key sk-123456 and sk-123456 again", "sk-123456"),
            "key [redacted] and [redacted] again");
  EXPECT_EQ(redact("nothing here", "sk-123456"), "nothing here");
  EXPECT_EQ(redact("a short key k", "k"), "a short key k");
  // A secret inside the mark itself cannot loop.
  EXPECT_EQ(redact("dact", "dact"), "[redacted]");
}

} // namespace
} // namespace kolvex::protocol::wire
