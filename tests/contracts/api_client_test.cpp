#include "contracts/api_client.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace kolvex::contracts;
using kolvex::core::Map;
using kolvex::core::Value;

namespace {

// Answers resolve_project and refuses uploads; every other call is unexpected.
class FakeClient : public ApiClient {
public:
  int resolves = 0;
  Value fetch_context(const std::string&, const std::string&, const std::string&) override
  {
    return unexpected();
  }
  Value fetch_system_context(const std::string&,
                             const std::string&,
                             const std::string&,
                             const std::vector<std::string>&) override
  {
    return unexpected();
  }
  DeclarativeState fetch_declarative_state_detailed(const std::string&,
                                                    const std::string&,
                                                    const std::string&,
                                                    const Map&) override
  {
    return {
        Map{{"kolvexrules", nullptr}}, Map{{"kolvexrules", "etag-1"}}, Map{{"kolvexrules", 304}}};
  }
  SpecsAnswer fetch_all_specs(const std::string&,
                              const std::string&,
                              const std::string&,
                              const std::optional<std::string>& etag) override
  {
    return {std::nullopt, etag};
  }
  Value fetch_guardrails(const std::string&, const std::string&, const std::string&) override
  {
    return unexpected();
  }
  Value fetch_skills(const std::string&, const std::string&, const std::string&) override
  {
    return unexpected();
  }
  Value fetch_custom_docs(const std::string&, const std::string&, const std::string&) override
  {
    return unexpected();
  }
  Value fetch_memories(const std::string&, const std::string&, const std::string&) override
  {
    return unexpected();
  }
  Value upload_attestations(const std::string&,
                            const std::string&,
                            const std::string&,
                            const kolvex::core::List&,
                            const Headers&) override
  {
    throw AgentApiError(std::string(CODE_CAPACITY), "plan limit reached");
  }
  Value resolve_project(const std::string&,
                        const std::string&,
                        const std::string& remote,
                        std::optional<std::int64_t>) override
  {
    ++resolves;
    return Map{{"projectId", 42}, {"title", remote}, {"created", false}};
  }

private:
  static Value unexpected() { throw ApiError("unexpected call"); }
};

} // namespace

TEST(ApiClient, WithoutAClientEveryCallFailsAsAnApiError)
{
  auto& client = api_client();
  try {
    (void)client.fetch_context("1", "key", "https://api");
    FAIL() << "the unconfigured client must not answer";
  } catch (const ApiError& e) {
    EXPECT_STREQ(e.what(), "no API client configured");
  }
  EXPECT_THROW((void)client.upload_attestations("k", "u", "1", {}, {}), ApiError);
  EXPECT_THROW((void)client.resolve_project("k", "u", "git@host:a/b.git", std::nullopt), ApiError);
  EXPECT_THROW((void)client.fetch_all_specs("k", "u", "1", std::nullopt), ApiError);
  EXPECT_THROW((void)client.fetch_declarative_state_detailed("1", "k", "u", {}), ApiError);
  EXPECT_THROW((void)client.whoami("k", "u"), ApiError);
}

TEST(ApiClient, ScopedOverridesNestAndReachEveryThread)
{
  FakeClient outer_fake;
  FakeClient inner_fake;
  {
    ScopedApiClient outer{outer_fake};
    {
      ScopedApiClient inner{inner_fake};
      std::thread([] { (void)api_client().resolve_project("k", "u", "r", 7); }).join();
      EXPECT_EQ(inner_fake.resolves, 1);
    }
    EXPECT_EQ(
        api_client().resolve_project("k", "u", "origin", std::nullopt).get("title")->as_string(),
        "origin");
    EXPECT_EQ(outer_fake.resolves, 1);
    const auto state = api_client().fetch_declarative_state_detailed("1", "k", "u", {});
    EXPECT_TRUE(state.state.find("kolvexrules")->is_null());
    EXPECT_EQ(*state.statuses.find("kolvexrules"), Value(304));
  }
  EXPECT_THROW((void)api_client().resolve_project("k", "u", "r", std::nullopt), ApiError);
}

TEST(ApiClient, RefusalsCarryTheirCodeAndAreApiErrors)
{
  FakeClient fake;
  ScopedApiClient scope{fake};
  try {
    (void)api_client().upload_attestations("k", "u", "1", {}, {{"X-Agent-Session-Id", "s"}});
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
