#include "contracts/api_client.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

namespace kolvex::contracts {

namespace {

// An engine built without a network client fails each network step cleanly
// instead of crashing.
RefusingApiClient& unconfigured()
{
  static RefusingApiClient client("no API client configured");
  return client;
}

// The production client is built by its factory at the first call that needs it;
// `built` is read without the lock because the context refresh asks for the client
// from its fetch threads.  The override pointer is atomic for the same reason.
struct DefaultClient {
  std::mutex mutex;
  ApiClientFactory factory = nullptr;
  std::atomic<ApiClient*> built{nullptr};
};

DefaultClient& default_client()
{
  static DefaultClient client;
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

// The server's {"code", "message"} pair in its own order; every refusal test reads
// both back, so a swapped call cannot pass unseen.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
AgentApiError::AgentApiError(std::string code, const std::string& message)
    : ApiError(message), m_code(std::move(code))
{
}

ApiClient::~ApiClient() = default;

std::string ApiClient::unsupported_reason() const
{
  return "not supported";
}

void ApiClient::unsupported() const
{
  throw ApiError(unsupported_reason());
}

RefusingApiClient::RefusingApiClient(std::string reason) : m_reason(std::move(reason)) {}

std::string RefusingApiClient::unsupported_reason() const
{
  return m_reason;
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
  auto& installed = default_client();
  if (auto* built = installed.built.load(std::memory_order_acquire)) {
    return *built;
  }
  const std::lock_guard guard(installed.mutex);
  if (installed.factory == nullptr) {
    return unconfigured();
  }
  if (installed.built.load(std::memory_order_relaxed) == nullptr) {
    installed.built.store(&installed.factory(), std::memory_order_release);
  }
  return *installed.built.load(std::memory_order_relaxed);
}

void set_default_api_client(ApiClientFactory factory)
{
  auto& installed = default_client();
  const std::lock_guard guard(installed.mutex);
  installed.factory = factory;
  installed.built.store(nullptr, std::memory_order_release);
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
