#include "protocol/http_loader.hpp"

#include "protocol/http_client.hpp"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

#include <dlfcn.h>

namespace kolvex::protocol {

namespace {

using contracts::ApiClient;

constexpr const char* k_library = "libkolvex_http.so";

std::atomic<bool> g_loaded{false};

// libkolvex_http.so is installed beside the library this code is in, in the build
// tree and after `make install` (lib/kolvex) alike.  It is opened only by that
// absolute path: a plain name would let the loader search places a repository
// could fill.  Empty when this library's own place is not known absolutely.
std::string sibling_library_path()
{
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&lazy_http_client), &info) == 0 ||
      info.dli_fname == nullptr || info.dli_fname[0] != '/') {
    return {};
  }
  return (std::filesystem::path(info.dli_fname).parent_path() / k_library).string();
}

class LazyHttpClient final : public ApiClient {
public:
  core::Value fetch_context(const std::string& project_id,
                            const std::string& api_key,
                            const std::string& api_url) override
  {
    return target().fetch_context(project_id, api_key, api_url);
  }
  core::Value fetch_system_context(const std::string& project_id,
                                   const std::string& api_key,
                                   const std::string& api_url,
                                   const std::vector<std::string>& systems) override
  {
    return target().fetch_system_context(project_id, api_key, api_url, systems);
  }
  contracts::DeclarativeState fetch_declarative_state_detailed(const std::string& project_id,
                                                               const std::string& api_key,
                                                               const std::string& api_url,
                                                               const core::Map& etags) override
  {
    return target().fetch_declarative_state_detailed(project_id, api_key, api_url, etags);
  }
  contracts::SpecsAnswer fetch_all_specs(const std::string& api_key,
                                         const std::string& api_url,
                                         const std::string& project_id,
                                         const std::optional<std::string>& etag) override
  {
    return target().fetch_all_specs(api_key, api_url, project_id, etag);
  }
  core::Value fetch_guardrails(const std::string& project_id,
                               const std::string& api_key,
                               const std::string& api_url) override
  {
    return target().fetch_guardrails(project_id, api_key, api_url);
  }
  core::Value fetch_skills(const std::string& project_id,
                           const std::string& api_key,
                           const std::string& api_url) override
  {
    return target().fetch_skills(project_id, api_key, api_url);
  }
  core::Value fetch_custom_docs(const std::string& project_id,
                                const std::string& api_key,
                                const std::string& api_url) override
  {
    return target().fetch_custom_docs(project_id, api_key, api_url);
  }
  core::Value fetch_memories(const std::string& project_id,
                             const std::string& api_key,
                             const std::string& api_url) override
  {
    return target().fetch_memories(project_id, api_key, api_url);
  }
  core::Value upload_attestations(const std::string& api_key,
                                  const std::string& api_url,
                                  const std::string& project_id,
                                  const core::List& batch,
                                  const contracts::Headers& extra_headers) override
  {
    return target().upload_attestations(api_key, api_url, project_id, batch, extra_headers);
  }
  core::Value resolve_project(const std::string& api_key,
                              const std::string& api_url,
                              const std::string& remote,
                              std::optional<std::int64_t> team_id) override
  {
    return target().resolve_project(api_key, api_url, remote, team_id);
  }
  core::Value whoami(const std::string& api_key, const std::string& api_url) override
  {
    return target().whoami(api_key, api_url);
  }

private:
  // Opened once; the library is never closed, as its client lives until exit.
  ApiClient& target()
  {
    std::call_once(m_once, [this] { load(); });
    if (m_client == nullptr) {
      throw contracts::ApiError(m_failure);
    }
    return *m_client;
  }

  void load()
  {
    const std::string path = sibling_library_path();
    if (path.empty()) {
      m_failure = std::string("the HTTP client library could not be found: the place of "
                              "kolvex's own libraries is unknown");
      return;
    }
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* why = ::dlerror();
      m_failure = std::string("the HTTP client library could not be loaded: ") +
                  (why != nullptr ? why : k_library);
      return;
    }
    using Entry = ApiClient* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(library, k_http_client_symbol));
    if (entry == nullptr) {
      m_failure = std::string("the HTTP client library has no ") + k_http_client_symbol;
      return;
    }
    m_client = entry();
    g_loaded.store(true, std::memory_order_release);
  }

  std::once_flag m_once;
  ApiClient* m_client = nullptr;
  std::string m_failure;
};

} // namespace

std::shared_ptr<ApiClient> lazy_http_client()
{
  static const auto client = std::make_shared<LazyHttpClient>();
  return client;
}

void install_http_client()
{
  contracts::set_default_api_client(lazy_http_client());
}

bool http_library_loaded()
{
  return g_loaded.load(std::memory_order_acquire);
}

} // namespace kolvex::protocol
