#include "contracts/api_client.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

namespace kolvex::contracts {

namespace {

// Answers every call with the same refusal, so that an engine built without a
// network client fails each network step cleanly instead of crashing.
class UnconfiguredApiClient final : public ApiClient {
public:
  core::Value fetch_context(const std::string&, const std::string&, const std::string&) override
  {
    fail();
  }
  core::Value fetch_system_context(const std::string&,
                                   const std::string&,
                                   const std::string&,
                                   const std::vector<std::string>&) override
  {
    fail();
  }
  DeclarativeState fetch_declarative_state_detailed(const std::string&,
                                                    const std::string&,
                                                    const std::string&,
                                                    const core::Map&) override
  {
    fail();
  }
  SpecsAnswer fetch_all_specs(const std::string&,
                              const std::string&,
                              const std::string&,
                              const std::optional<std::string>&) override
  {
    fail();
  }
  core::Value fetch_guardrails(const std::string&, const std::string&, const std::string&) override
  {
    fail();
  }
  core::Value fetch_skills(const std::string&, const std::string&, const std::string&) override
  {
    fail();
  }
  core::Value fetch_custom_docs(const std::string&, const std::string&, const std::string&) override
  {
    fail();
  }
  core::Value fetch_memories(const std::string&, const std::string&, const std::string&) override
  {
    fail();
  }
  core::Value upload_attestations(const std::string&,
                                  const std::string&,
                                  const std::string&,
                                  const core::List&,
                                  const Headers&) override
  {
    fail();
  }
  core::Value resolve_project(const std::string&,
                              const std::string&,
                              const std::string&,
                              std::optional<std::int64_t>) override
  {
    fail();
  }

private:
  [[noreturn]] static void fail() { throw ApiError("no API client configured"); }
};

UnconfiguredApiClient& unconfigured()
{
  static UnconfiguredApiClient client;
  return client;
}

// The production client is installed once at start-up; the override pointer is
// atomic because the context refresh reads it from its fetch threads.
std::shared_ptr<ApiClient>& default_client()
{
  static std::shared_ptr<ApiClient> client;
  return client;
}

std::atomic<ApiClient*> g_override{nullptr};

// Deadlines of the live budgets.  A handful at most, so a vector under a mutex.
struct Budgets {
  std::mutex mutex;
  std::vector<const double*> deadlines;
};

Budgets& budgets()
{
  static Budgets all;
  return all;
}

double steady_now()
{
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

AgentApiError::AgentApiError(std::string code, const std::string& message)
    : ApiError(message), m_code(std::move(code))
{
}

ApiClient::~ApiClient() = default;

core::Value ApiClient::whoami(const std::string&, const std::string&)
{
  throw ApiError("not supported");
}

NetworkBudget::NetworkBudget(double seconds)
{
  if (!(seconds > 0)) { // NaN and negatives: already spent
    seconds = 0;
  }
  m_deadline = steady_now() + seconds;
  auto& all = budgets();
  const std::lock_guard guard(all.mutex);
  all.deadlines.push_back(&m_deadline);
}

NetworkBudget::~NetworkBudget()
{
  auto& all = budgets();
  const std::lock_guard guard(all.mutex);
  std::erase(all.deadlines, &m_deadline);
}

std::optional<double> NetworkBudget::remaining()
{
  auto& all = budgets();
  const std::lock_guard guard(all.mutex);
  if (all.deadlines.empty()) {
    return std::nullopt;
  }
  double deadline = *all.deadlines.front();
  for (const double* other : all.deadlines) {
    deadline = std::min(deadline, *other);
  }
  return std::max(0.0, deadline - steady_now());
}

NetworkBudget network_budget(double seconds)
{
  return NetworkBudget(seconds);
}

ApiClient& api_client()
{
  if (auto* scoped = g_override.load(std::memory_order_acquire)) {
    return *scoped;
  }
  if (auto& installed = default_client()) {
    return *installed;
  }
  return unconfigured();
}

void set_default_api_client(std::shared_ptr<ApiClient> client)
{
  default_client() = std::move(client);
}

ScopedApiClient::ScopedApiClient(ApiClient& client)
    : m_previous(g_override.exchange(&client, std::memory_order_acq_rel))
{
}

ScopedApiClient::~ScopedApiClient()
{
  g_override.store(m_previous, std::memory_order_release);
}

} // namespace kolvex::contracts
