// The libcurl client, loaded as the front end loads it, against the real local API
// server on a loopback port.
#include "protocol/http_loader.hpp"

#include "core/sha256.hpp"
#include "support/devserver.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kolvex::protocol {
namespace {

using contracts::AgentApiError;
using contracts::ApiError;
using core::List;
using core::Map;
using core::Value;
using testing::DevServer;

constexpr const char* k_remote = "git@github.com:acme/widgets.git";

contracts::ApiClient& client()
{
  return http_client();
}

std::string project_of(const DevServer& server)
{
  const Value answer = client().resolve_project(server.target(), k_remote, std::nullopt);
  return std::to_string(answer.get("projectId")->as_int());
}

// The message of the ApiError `call` throws ("" when it throws none).
template <class Call> std::string api_error_of(Call&& call)
{
  try {
    call();
  } catch (const ApiError& e) {
    return e.what();
  }
  return "";
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(HttpClient, SpeaksEveryEndpointOfTheProtocol)
{
  testing::TempDir content;
  content.write("specs/auth.md", "# Auth\n");
  content.write("docs/overview.md", "Overview\n");
  content.write("state/kolvexrules.json", R"({"rules": [{"name": "r1"}]})");
  content.write("skills/a.json", R"({"slug": "a", "name": "A"})");
  content.write("custom-docs/project/setup.md", "# Setting up\ntext\n");
  content.write("guardrails.json", R"({"rules": [{"name": "g"}]})");
  content.write("context.json", R"({"project": {"id": 1}, "systems": ["billing"]})");
  DevServer server({.args = {"--content", content.path().string()}});
  const contracts::ApiTarget target = server.target();

  const Value me = client().whoami(target);
  EXPECT_EQ(me.get("user")->as_string(), "dev@localhost");

  const Value first = client().resolve_project(
      {.url = target.url + "/", .key = target.key}, k_remote, std::nullopt);
  EXPECT_EQ(*first.get("created"), Value(true));
  EXPECT_EQ(first.get("title")->as_string(), "acme/widgets");
  // The https spelling of the same repository is the same project.
  const Value again = client().resolve_project(target, "https://github.com/acme/widgets", 1);
  EXPECT_EQ(*again.get("projectId"), *first.get("projectId"));
  EXPECT_EQ(*again.get("created"), Value(false));
  const std::string project = std::to_string(first.get("projectId")->as_int());

  EXPECT_EQ(*client().fetch_context(target, project).get("systems"), Value(List{"billing"}));
  EXPECT_TRUE(client().fetch_system_context(target, project, {"billing", "a b"}).is_map());
  EXPECT_EQ(client().fetch_guardrails(target, project).get("rules")->as_list().size(), 1u);
  EXPECT_EQ(client().fetch_skills(target, project).get("skills")->as_list().size(), 1u);
  const Value docs = client().fetch_custom_docs(target, project);
  EXPECT_EQ(docs.get("project")->as_list()[0].get("title")->as_string(), "Setting up");
  EXPECT_TRUE(client().fetch_memories(target, project).get("memories")->is_list());

  // Conditional GETs: the tag is the SHA-256 of the body; sending it back gives 304.
  const auto [specs, tag] = client().fetch_all_specs(target, project, std::nullopt);
  ASSERT_TRUE(specs.has_value());
  ASSERT_TRUE(tag.has_value());
  EXPECT_EQ(*tag,
            "\"" +
                core::sha256_hex(
                    R"({"specs": [{"domain": "auth", "content": "# Auth\n"}], )"
                    R"("canonical_docs": [{"name": "overview", "content": "Overview\n"}]})") +
                "\"");
  const auto [unchanged, same_tag] = client().fetch_all_specs(target, project, tag);
  EXPECT_FALSE(unchanged.has_value());
  EXPECT_EQ(same_tag, tag);

  const auto state = client().fetch_declarative_state_detailed(target, project, {});
  EXPECT_EQ(*state.statuses.find("kolvexrules"), Value(200));
  EXPECT_EQ(state.state.find("kolvexrules")->get("rules")->as_list().size(), 1u);
  const auto cached = client().fetch_declarative_state_detailed(target, project, state.etags);
  EXPECT_EQ(*cached.statuses.find("kolvexrules"), Value(304));
  EXPECT_TRUE(cached.state.find("kolvexrules")->is_null());
  EXPECT_EQ(*cached.etags.find("kolvexrules"), *state.etags.find("kolvexrules"));

  const Value sent =
      client().upload_attestations(target,
                                   project,
                                   List{Map{{"commit", "a1"}}, Map{{"commit", "b2"}}},
                                   {{"X-Agent-Session-Id", "s-9"}});
  EXPECT_EQ(*sent.get("inserted"), Value(2));
  const Value resent =
      client().upload_attestations(target, project, List{Map{{"commit", "a1"}}}, {});
  EXPECT_EQ(*resent.get("inserted"), Value(0));
  EXPECT_EQ(*resent.get("updated"), Value(1));
}

TEST(HttpClient, RefusalsAndFailuresBecomeTheirErrorsWithoutTheKey)
{
  DevServer server(
      {.args = {"--refuse", "projects/resolve=ambiguous_team", "--fail", "guardrails=500"}});
  try {
    (void)client().resolve_project(server.target(), k_remote, std::nullopt);
    FAIL();
  } catch (const AgentApiError& e) {
    EXPECT_EQ(e.code(), "ambiguous_team");
    EXPECT_NE(std::string(e.what()).find("1, 2"), std::string::npos);
  }
  try {
    (void)client().whoami({.url = server.url(), .key = "sk-wrong-key-000000"});
    FAIL();
  } catch (const AgentApiError& e) {
    EXPECT_EQ(e.code(), "key_rejected");
    EXPECT_EQ(std::string(e.what()).find("sk-wrong-key-000000"), std::string::npos);
  }
  EXPECT_EQ(api_error_of([&] { (void)client().fetch_guardrails(server.target(), "1"); }),
            "injected failure (HTTP 500)");

  // Nothing listens on a stopped server's port: a transport failure names the
  // request, never the key.
  const std::string url = server.url();
  ASSERT_EQ(server.stop(), 0);
  const std::string message =
      api_error_of([&] { (void)client().whoami({.url = url, .key = server.api_key()}); });
  EXPECT_NE(message.find("GET /v1/auth/whoami failed"), std::string::npos) << message;
  EXPECT_EQ(message.find(server.api_key()), std::string::npos);
}

TEST(HttpClient, GetsAndUploadsAreRetriedOnceButAResolveIsNot)
{
  DevServer server(
      {.args = {
           "--fail", "attestations=503x1", "--fail", "whoami=502x2", "--fail", "resolve=503x1@2"}});
  const std::string project = project_of(server);
  const Value answer =
      client().upload_attestations(server.target(), project, List{Map{{"commit", "c1"}}}, {});
  EXPECT_EQ(*answer.get("inserted"), Value(1));
  // Two failures in a row are one more than the retry covers.
  EXPECT_EQ(api_error_of([&] { (void)client().whoami(server.target()); }),
            "injected failure (HTTP 502)");
  EXPECT_EQ(api_error_of([&] { (void)client().resolve_project(server.target(), k_remote, 1); }),
            "injected failure (HTTP 503)");
  ASSERT_EQ(server.stop(), 0); // the request log is complete once the server is down
  const std::string log = server.log();
  EXPECT_NE(log.find("POST /v1/projects/1/attestations 503\nPOST /v1/projects/1/attestations 200"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("POST /v1/projects/resolve 503\n"), std::string::npos);
  EXPECT_EQ(log.find("POST /v1/projects/resolve 503\nPOST /v1/projects/resolve"),
            std::string::npos);
}

TEST(HttpClient, ASpentBudgetMakesNoRequest)
{
  DevServer server;
  auto spent = contracts::network_budget(0);
  EXPECT_EQ(api_error_of([&] { (void)client().whoami(server.target()); }),
            "network budget exhausted");
  ASSERT_EQ(server.stop(), 0);
  EXPECT_EQ(server.log().find("whoami"), std::string::npos);
}

TEST(HttpClient, ABudgetBoundsASlowServerOnEveryThread)
{
  DevServer server({.args = {"--delay", "whoami=8000"}});
  auto budget = contracts::network_budget(1.0);
  // The context refresh fetches on threads of its own under its caller's budget.
  std::string message;
  const auto start = std::chrono::steady_clock::now();
  std::thread([&] {
    message = api_error_of([&] { (void)client().whoami(server.target()); });
  }).join();
  const double took = seconds_since(start);
  EXPECT_EQ(message, "network budget exhausted");
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0); // not the server's 8 s, not a retry after it
}

TEST(HttpClient, PlainHttpOnlyToLoopbackAndOnlyHttpOrHttps)
{
  const std::string key = "sk-never-sent-1234";
  EXPECT_EQ(
      api_error_of([&] { (void)client().whoami({.url = "http://api.example.com", .key = key}); }),
      "plain http is allowed only to a loopback host; use an https API URL");
  EXPECT_EQ(api_error_of([&] {
              (void)client().whoami({.url = "http://127.0.0.1.example.com", .key = key});
            }),
            "plain http is allowed only to a loopback host; use an https API URL");
  EXPECT_EQ(api_error_of([&] { (void)client().whoami({.url = "ftp://127.0.0.1", .key = key}); }),
            "the API URL must be an https URL");
  EXPECT_EQ(api_error_of([&] { (void)client().whoami({.url = "not a url at all", .key = key}); }),
            "the API URL is not a valid URL");
  // Headers a caller passes cannot smuggle in lines of their own.
  DevServer server;
  EXPECT_EQ(api_error_of([&] {
              (void)client().upload_attestations(
                  server.target(), "1", List{}, {{"X-Agent-Session-Id", "a\r\nX-Evil: 1"}});
            }),
            "refusing to send a malformed request header");
  ASSERT_EQ(server.stop(), 0);
  EXPECT_EQ(server.log(), "");
}

// A self-signed certificate for `name` (CN and subjectAltName) made with openssl.
bool make_certificate(const testing::TempDir& dir, const std::string& name, const std::string& san)
{
  const auto made = testing::run({"openssl",
                                  "req",
                                  "-x509",
                                  "-newkey",
                                  "rsa:2048",
                                  "-nodes",
                                  "-keyout",
                                  (dir.path() / (name + ".key")).string(),
                                  "-out",
                                  (dir.path() / (name + ".pem")).string(),
                                  "-days",
                                  "1",
                                  "-subj",
                                  "/CN=" + name,
                                  "-addext",
                                  "subjectAltName=" + san},
                                 dir.path());
  return made.exit_code == 0;
}

TEST(HttpClient, TlsCertificatesAreAlwaysVerified)
{
  testing::TempDir dir;
  if (testing::run({"sh", "-c", "command -v openssl"}, dir.path()).exit_code != 0) {
    GTEST_SKIP() << "openssl is not installed (scripts/bootstrap installs it)";
  }
  ASSERT_TRUE(make_certificate(dir, "localhost", "DNS:localhost,IP:127.0.0.1"));
  ASSERT_TRUE(make_certificate(dir, "elsewhere.example", "DNS:elsewhere.example"));
  const auto serve = [&](const std::string& name) {
    return std::make_unique<testing::BackgroundProcess>(
        std::vector<std::string>{"openssl",
                                 "s_server",
                                 "-accept",
                                 "0",
                                 "-www",
                                 "-cert",
                                 (dir.path() / (name + ".pem")).string(),
                                 "-key",
                                 (dir.path() / (name + ".key")).string()},
        dir.path() / (name + ".log"));
  };
  const auto port_of = [](testing::BackgroundProcess& server) {
    const std::string line = server.wait_for_line("ACCEPT");
    return line.substr(line.rfind(':') + 1);
  };
  const auto whoami = [](const std::string& url) {
    return api_error_of([&] { (void)client().whoami({.url = url, .key = "sk-tls-test-1234"}); });
  };

  auto trusted_name = serve("localhost");
  const std::string url = "https://localhost:" + port_of(*trusted_name);
  // Unknown issuer: refused before any request is sent.
  EXPECT_NE(whoami(url).find("certificate"), std::string::npos) << whoami(url);
  // Trusted through KOLVEX_CA_BUNDLE: the connection is made, and the server's
  // HTML status page is not the JSON the endpoint answers.
  testing::ScopedEnv env;
  env.set("KOLVEX_CA_BUNDLE", (dir.path() / "localhost.pem").string());
  EXPECT_EQ(whoami(url), "bad response");
  trusted_name.reset();

  // A trusted certificate for another name is still refused.
  auto wrong_name = serve("elsewhere.example");
  env.set("KOLVEX_CA_BUNDLE", (dir.path() / "elsewhere.example.pem").string());
  const std::string refused = whoami("https://localhost:" + port_of(*wrong_name));
  EXPECT_NE(refused.find("GET /v1/auth/whoami failed"), std::string::npos) << refused;
  EXPECT_NE(refused.find("subject name"), std::string::npos) << refused;
}

} // namespace
} // namespace kolvex::protocol
