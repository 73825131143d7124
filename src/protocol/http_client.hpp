#pragma once

// The production ApiClient, on libcurl.  It lives in its own shared library,
// libkolvex_http.so, which the front end opens at the first network call
// (protocol/http_loader), so that hook paths that never reach the network do not
// pay libcurl's start-up.  This header names no libcurl type.

#include "contracts/api_client.hpp"

namespace kolvex::protocol {

// The symbol libkolvex_http.so exports for the loader: a C function taking nothing
// and returning the process's one HttpClient as a contracts::ApiClient*.
inline constexpr const char* k_http_client_symbol = "kolvex_http_client";

// Speaks the wire protocol of the cloud API: Bearer key, JSON bodies, connect 5 s and
// whole request 30 s cut to the enclosing network_budget, TLS always verified
// (KOLVEX_CA_BUNDLE may name the CA file), plain http only to loopback hosts, one
// retry of GETs and uploads after a transport failure or 502/503/504.  The API key
// never appears in what it throws, and the header buffer that carried it is wiped.
// Thread-safe: each thread keeps its own connection.
class HttpClient final : public contracts::ApiClient {
public:
  HttpClient();

  [[nodiscard]] core::Value fetch_context(const std::string& project_id,
                                          const std::string& api_key,
                                          const std::string& api_url) override;
  [[nodiscard]] core::Value fetch_system_context(const std::string& project_id,
                                                 const std::string& api_key,
                                                 const std::string& api_url,
                                                 const std::vector<std::string>& systems) override;
  [[nodiscard]] contracts::DeclarativeState
  fetch_declarative_state_detailed(const std::string& project_id,
                                   const std::string& api_key,
                                   const std::string& api_url,
                                   const core::Map& etags) override;
  [[nodiscard]] contracts::SpecsAnswer
  fetch_all_specs(const std::string& api_key,
                  const std::string& api_url,
                  const std::string& project_id,
                  const std::optional<std::string>& etag) override;
  [[nodiscard]] core::Value fetch_guardrails(const std::string& project_id,
                                             const std::string& api_key,
                                             const std::string& api_url) override;
  [[nodiscard]] core::Value fetch_skills(const std::string& project_id,
                                         const std::string& api_key,
                                         const std::string& api_url) override;
  [[nodiscard]] core::Value fetch_custom_docs(const std::string& project_id,
                                              const std::string& api_key,
                                              const std::string& api_url) override;
  [[nodiscard]] core::Value fetch_memories(const std::string& project_id,
                                           const std::string& api_key,
                                           const std::string& api_url) override;
  [[nodiscard]] core::Value upload_attestations(const std::string& api_key,
                                                const std::string& api_url,
                                                const std::string& project_id,
                                                const core::List& batch,
                                                const contracts::Headers& extra_headers) override;
  [[nodiscard]] core::Value resolve_project(const std::string& api_key,
                                            const std::string& api_url,
                                            const std::string& remote,
                                            std::optional<std::int64_t> team_id) override;
  [[nodiscard]] core::Value whoami(const std::string& api_key, const std::string& api_url) override;
};

} // namespace kolvex::protocol
