#pragma once

// The one fake of the cloud API client.  Each operation answers through the
// function of the same purpose; one left empty (the default) is left to the
// contract's body, which throws ApiError("not supported"), so a test sets only the
// answers its code should ask for.  Every call is recorded with its arguments and
// thread, uploads also whole.

#include "contracts/api_client.hpp"
#include "core/value.hpp"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kolvex::testing {

class FakeApiClient final : public contracts::ApiClient {
public:
  using Value = core::Value;
  using Map = core::Map;
  using List = core::List;

  std::function<Value()> context;
  std::function<Value(const std::vector<std::string>&)> system_context;
  std::function<contracts::DeclarativeState(const Map&)> declarative;
  std::function<contracts::SpecsAnswer(const std::optional<std::string>&)> specs;
  std::function<Value()> guardrails;
  std::function<Value()> skills;
  std::function<Value()> custom_docs;
  std::function<Value()> memories;
  std::function<Value(const List& batch)> upload;
  std::function<Value(const std::string& remote, std::optional<std::int64_t> team_id)> resolve;
  std::function<Value()> me; // whoami

  // Answers every fetch of the context refresh as a server would for a small
  // project: one system, both declarative entities, a spec and a doc, one rule, one
  // skill, one custom doc, one memory.
  void serve_demo_project();

  // An upload answer that counts every record as new.
  static Value inserts_all(const List& batch);

  struct Call {
    std::string name;
    // The identifying argument (project id or remote), the target's key and URL,
    // then the rest in order.
    std::vector<std::string> args;
    std::thread::id thread;
  };
  struct Upload {
    std::string api_key;
    std::string api_url;
    std::string project_id;
    List batch;
    contracts::Headers headers;
  };

  [[nodiscard]] std::vector<Call> calls() const;
  [[nodiscard]] std::vector<std::string> call_names() const;
  [[nodiscard]] std::size_t calls_to(std::string_view name) const;
  // Every upload asked for, answered or not, in order.  Read it once the calls are
  // done.
  std::vector<Upload> uploads;

  Value fetch_context(const contracts::ApiTarget& target, const std::string& project_id) override;
  Value fetch_system_context(const contracts::ApiTarget& target,
                             const std::string& project_id,
                             const std::vector<std::string>& systems) override;
  contracts::DeclarativeState fetch_declarative_state_detailed(const contracts::ApiTarget& target,
                                                               const std::string& project_id,
                                                               const Map& etags) override;
  contracts::SpecsAnswer fetch_all_specs(const contracts::ApiTarget& target,
                                         const std::string& project_id,
                                         const std::optional<std::string>& etag) override;
  Value fetch_guardrails(const contracts::ApiTarget& target,
                         const std::string& project_id) override;
  Value fetch_skills(const contracts::ApiTarget& target, const std::string& project_id) override;
  Value fetch_custom_docs(const contracts::ApiTarget& target,
                          const std::string& project_id) override;
  Value fetch_memories(const contracts::ApiTarget& target, const std::string& project_id) override;
  Value upload_attestations(const contracts::ApiTarget& target,
                            const std::string& project_id,
                            const List& batch,
                            const contracts::Headers& extra_headers) override;
  Value resolve_project(const contracts::ApiTarget& target,
                        const std::string& remote,
                        std::optional<std::int64_t> team_id) override;
  Value whoami(const contracts::ApiTarget& target) override;

private:
  void record(std::string name,
              const std::string& first,
              const contracts::ApiTarget& target,
              std::vector<std::string> rest = {});

  mutable std::mutex m_mutex;
  std::vector<Call> m_calls;
};

} // namespace kolvex::testing
