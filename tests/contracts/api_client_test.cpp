#include "contracts/api_client.hpp"

#include "support/fake_api_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

using namespace kolvex::contracts;
using kolvex::core::Map;
using kolvex::core::Value;

namespace {

using kolvex::testing::FakeApiClient;

const ApiTarget k_target{.url = "https://api", .key = "key"};

// Answers resolve_project and the declarative state (not modified), refuses uploads.
void answer_resolves(FakeApiClient& fake)
{
  fake.resolve = [](const std::string& remote, std::optional<std::int64_t>) -> Value {
    return Map{{"projectId", 42}, {"title", remote}, {"created", false}};
  };
  fake.declarative = [](const Map&) {
    return DeclarativeState{
        Map{{"kolvexrules", nullptr}}, Map{{"kolvexrules", "etag-1"}}, Map{{"kolvexrules", 304}}};
  };
  fake.upload = [](const kolvex::core::List&) -> Value {
    throw AgentApiError(std::string(CODE_CAPACITY), "plan limit reached");
  };
}

// Every operation of the contract, called with placeholder arguments.
const std::vector<std::pair<const char*, std::function<void(ApiClient&)>>> k_operations{
    {"fetch_context", [](ApiClient& c) { (void)c.fetch_context(k_target, "1"); }},
    {"fetch_system_context", [](ApiClient& c) { (void)c.fetch_system_context(k_target, "1", {}); }},
    {"fetch_declarative_state_detailed",
     [](ApiClient& c) { (void)c.fetch_declarative_state_detailed(k_target, "1", {}); }},
    {"fetch_all_specs", [](ApiClient& c) { (void)c.fetch_all_specs(k_target, "1", std::nullopt); }},
    {"fetch_guardrails", [](ApiClient& c) { (void)c.fetch_guardrails(k_target, "1"); }},
    {"fetch_skills", [](ApiClient& c) { (void)c.fetch_skills(k_target, "1"); }},
    {"fetch_custom_docs", [](ApiClient& c) { (void)c.fetch_custom_docs(k_target, "1"); }},
    {"fetch_memories", [](ApiClient& c) { (void)c.fetch_memories(k_target, "1"); }},
    {"upload_attestations",
     [](ApiClient& c) { (void)c.upload_attestations(k_target, "1", {}, {}); }},
    {"resolve_project",
     [](ApiClient& c) { (void)c.resolve_project(k_target, "git@host:a/b.git", std::nullopt); }},
    {"whoami", [](ApiClient& c) { (void)c.whoami(k_target); }},
};

// The message of the ApiError `call` throws on `client`, "" when it throws none.
std::string refusal_of(const std::function<void(ApiClient&)>& call, ApiClient& client)
{
  try {
    call(client);
  } catch (const ApiError& e) {
    return e.what();
  }
  return "";
}

int g_factory_calls = 0;

ApiClient& counting_factory()
{
  static FakeApiClient built;
  ++g_factory_calls;
  return built;
}

} // namespace

TEST(ApiClient, WithoutAClientEveryCallFailsAsAnApiError)
{
  for (const auto& [name, call] : k_operations) {
    EXPECT_EQ(refusal_of(call, api_client()), "no API client configured") << name;
  }
}

// A partial client answers what it overrides; every other operation refuses.
TEST(ApiClient, OperationsAClientDoesNotOverrideAreNotSupported)
{
  class OnlyWhoami final : public ApiClient {
  public:
    Value whoami(const ApiTarget& target) override { return Value(target.key); }
  } partial;
  for (const auto& [name, call] : k_operations) {
    EXPECT_EQ(refusal_of(call, partial), name == std::string("whoami") ? "" : "not supported")
        << name;
  }
  EXPECT_EQ(partial.whoami(k_target), Value("key"));
  RefusingApiClient refusing("the library could not be loaded");
  for (const auto& [name, call] : k_operations) {
    EXPECT_EQ(refusal_of(call, refusing), "the library could not be loaded") << name;
  }
}

// The production client is built at the first call that needs it, once, and only
// when no test override answers.
TEST(ApiClient, TheDefaultClientIsBuiltOnceAtItsFirstUse)
{
  g_factory_calls = 0;
  set_default_api_client(&counting_factory);
  {
    FakeApiClient fake;
    ScopedApiClient scope{fake};
    EXPECT_EQ(&api_client(), &fake);
  }
  EXPECT_EQ(g_factory_calls, 0);
  std::vector<std::thread> threads;
  std::vector<ApiClient*> seen(4);
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = &api_client(); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(&api_client(), seen[0]);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 4);
  EXPECT_EQ(g_factory_calls, 1);
  set_default_api_client(nullptr);
  EXPECT_EQ(refusal_of(k_operations[0].second, api_client()), "no API client configured");
}

TEST(ApiClient, ScopedOverridesNestAndReachEveryThread)
{
  FakeApiClient outer_fake;
  FakeApiClient inner_fake;
  answer_resolves(outer_fake);
  answer_resolves(inner_fake);
  {
    ScopedApiClient outer{outer_fake};
    {
      ScopedApiClient inner{inner_fake};
      std::thread([] { (void)api_client().resolve_project(k_target, "r", 7); }).join();
      EXPECT_EQ(inner_fake.calls_to("resolve_project"), 1u);
    }
    EXPECT_EQ(
        api_client().resolve_project(k_target, "origin", std::nullopt).get("title")->as_string(),
        "origin");
    EXPECT_EQ(outer_fake.calls_to("resolve_project"), 1u);
    const auto state = api_client().fetch_declarative_state_detailed(k_target, "1", {});
    EXPECT_TRUE(state.state.find("kolvexrules")->is_null());
    EXPECT_EQ(*state.statuses.find("kolvexrules"), Value(304));
  }
  EXPECT_THROW((void)api_client().resolve_project(k_target, "r", std::nullopt), ApiError);
}

TEST(ApiClient, RefusalsCarryTheirCodeAndAreApiErrors)
{
  FakeApiClient fake;
  answer_resolves(fake);
  ScopedApiClient scope{fake};
  try {
    (void)api_client().upload_attestations(k_target, "1", {}, {{"X-Agent-Session-Id", "s"}});
    FAIL();
  } catch (const ApiError& e) { // the upload catches the client's runtime error kind
    const auto* refusal = dynamic_cast<const AgentApiError*>(&e);
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(refusal->code(), "capacity");
    EXPECT_STREQ(e.what(), "plan limit reached");
  }
  EXPECT_EQ(CODE_KEY_REJECTED, "key_rejected");
  EXPECT_EQ(CODE_AMBIGUOUS_TEAM, "ambiguous_team");
  EXPECT_EQ(CODE_REPO_AMBIGUOUS, "repo_ambiguous");
  EXPECT_EQ(CODE_REPO_CONFLICT, "repo_conflict");
  EXPECT_EQ(CODE_NOT_A_MEMBER, "not_a_member");
  EXPECT_EQ(CODE_BAD_REMOTE, "bad_remote");
}

TEST(NetworkBudget, InnerBudgetsNeverExtendOuterOnesAndReachEveryThread)
{
  EXPECT_FALSE(NetworkBudget::remaining().has_value());
  {
    auto outer = network_budget(5.0);
    const auto left = NetworkBudget::remaining();
    ASSERT_TRUE(left.has_value());
    EXPECT_GT(*left, 4.0);
    EXPECT_LE(*left, 5.0);
    {
      auto longer = network_budget(60.0);
      EXPECT_LE(*NetworkBudget::remaining(), 5.0);
      {
        auto shorter = network_budget(1.0);
        EXPECT_LE(*NetworkBudget::remaining(), 1.0);
      }
      EXPECT_GT(*NetworkBudget::remaining(), 1.0);
    }
    // The context refresh fetches on other threads under its caller's budget.
    std::optional<double> seen_elsewhere;
    std::thread([&] { seen_elsewhere = NetworkBudget::remaining(); }).join();
    ASSERT_TRUE(seen_elsewhere.has_value());
    EXPECT_LE(*seen_elsewhere, 5.0);
    EXPECT_GT(*seen_elsewhere, 4.0);
    // A budget made on another thread bounds this one too, and goes with its scope.
    std::thread([] {
      auto short_elsewhere = network_budget(0.5);
      EXPECT_LE(*NetworkBudget::remaining(), 0.5);
    }).join();
    EXPECT_GT(*NetworkBudget::remaining(), 4.0);
    {
      auto spent = network_budget(-3.0);
      EXPECT_EQ(NetworkBudget::remaining(), 0.0);
      auto nan = network_budget(std::numeric_limits<double>::quiet_NaN());
      EXPECT_EQ(NetworkBudget::remaining(), 0.0);
    }
  }
  EXPECT_FALSE(NetworkBudget::remaining().has_value());
}
