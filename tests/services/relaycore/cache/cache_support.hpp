#pragma once

// Shared by the context-cache tests: an environment guard and an ApiClient fake
// whose every answer can be replaced, recording which calls arrived on which thread.

#include "contracts/api_client.hpp"
#include "core/value.hpp"
#include "support/scoped_env.hpp"

#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kolvex::testing {

// A project as a small server would serve it.  Every answer is a std::function the
// test may replace; calls are recorded with their arguments and thread.
class FakeApiClient final : public contracts::ApiClient {
public:
  using Value = core::Value;
  using Map = core::Map;
  using List = core::List;

  std::function<Value()> context = [] {
    return Map{{"project", Map{{"name", "demo"}}}, {"systems", List{"core"}}};
  };
  std::function<Value(const std::vector<std::string>&)> system_context =
      [](const std::vector<std::string>&) {
        return Map{{"systems", Map{{"core", Map{{"owner", "platform"}}}}}};
      };
  std::function<contracts::DeclarativeState(const Map&)> declarative = [](const Map&) {
    return contracts::DeclarativeState{
        Map{{"kolvexstate",
             Map{{"architecture",
                  Map{{"elements",
                       Map{{"api", Map{{"kind", "service"}}}, {"db", Map{{"kind", "store"}}}}}}}}},
            {"kolvexrules", Map{{"principles", Map{{"small-commits", Map{{"why", "review"}}}}}}}},
        Map{{"kolvexstate", "\"s1\""}, {"kolvexrules", "\"r1\""}},
        Map{{"kolvexstate", 200}, {"kolvexrules", 200}}};
  };
  std::function<contracts::SpecsAnswer(const std::optional<std::string>&)> specs =
      [](const std::optional<std::string>&) {
        return contracts::SpecsAnswer{
            Value(Map{{"specs", List{Map{{"domain", "billing"}, {"content", "# Billing\n"}}}},
                      {"canonical_docs",
                       List{Map{{"name", "architecture"}, {"content", "# Architecture\n"}}}}}),
            "\"sp1\""};
      };
  std::function<Value()> guardrails = [] {
    return Map{{"rules",
                List{Map{{"name", "no-secrets"},
                         {"ruleType", "constraint"},
                         {"description", "No secrets in code"},
                         {"status", "active"},
                         {"checkCondition", "grep -q secret"},
                         {"inheritedFromSystem", false}}}}};
  };
  std::function<Value()> skills = [] {
    return Map{{"skills",
                List{Map{{"slug", "review"},
                         {"name", "Review"},
                         {"description", "Reviews a diff"},
                         {"content", "Review it.\n"},
                         {"source", "project"}}}}};
  };
  std::function<Value()> custom_docs = [] {
    return Map{
        {"system", List{Map{{"slug", "style"}, {"title", "Style"}, {"content", "# Style\n"}}}},
        {"project", List{}}};
  };
  std::function<Value()> memories = [] {
    return Map{{"memories", List{Map{{"text", "deploys on Fridays are frozen"}}}}};
  };

  struct Call {
    std::string name;
    std::vector<std::string> args; // the identifying arguments, in order
    std::thread::id thread;
  };

  [[nodiscard]] std::vector<Call> calls() const
  {
    const std::lock_guard lock(m_mutex);
    return m_calls;
  }
  [[nodiscard]] std::vector<std::string> call_names() const
  {
    std::vector<std::string> names;
    for (const auto& call : calls()) {
      names.push_back(call.name);
    }
    return names;
  }

  Value fetch_context(const std::string& project_id,
                      const std::string& api_key,
                      const std::string& api_url) override
  {
    record("fetch_context", {project_id, api_key, api_url});
    return context();
  }
  Value fetch_system_context(const std::string& project_id,
                             const std::string& api_key,
                             const std::string& api_url,
                             const std::vector<std::string>& systems) override
  {
    std::vector<std::string> args{project_id, api_key, api_url};
    args.insert(args.end(), systems.begin(), systems.end());
    record("fetch_system_context", args);
    return system_context(systems);
  }
  contracts::DeclarativeState fetch_declarative_state_detailed(const std::string& project_id,
                                                               const std::string& api_key,
                                                               const std::string& api_url,
                                                               const Map& etags) override
  {
    std::vector<std::string> args{project_id, api_key, api_url};
    for (const auto& [entity, tag] : etags) {
      args.push_back(entity + "=" + (tag.is_string() ? tag.as_string() : "?"));
    }
    record("fetch_declarative_state_detailed", args);
    return declarative(etags);
  }
  contracts::SpecsAnswer fetch_all_specs(const std::string& api_key,
                                         const std::string& api_url,
                                         const std::string& project_id,
                                         const std::optional<std::string>& etag) override
  {
    record("fetch_all_specs", {api_key, api_url, project_id, etag.value_or("<none>")});
    return specs(etag);
  }
  Value fetch_guardrails(const std::string& project_id,
                         const std::string& api_key,
                         const std::string& api_url) override
  {
    record("fetch_guardrails", {project_id, api_key, api_url});
    return guardrails();
  }
  Value fetch_skills(const std::string& project_id,
                     const std::string& api_key,
                     const std::string& api_url) override
  {
    record("fetch_skills", {project_id, api_key, api_url});
    return skills();
  }
  Value fetch_custom_docs(const std::string& project_id,
                          const std::string& api_key,
                          const std::string& api_url) override
  {
    record("fetch_custom_docs", {project_id, api_key, api_url});
    return custom_docs();
  }
  Value fetch_memories(const std::string& project_id,
                       const std::string& api_key,
                       const std::string& api_url) override
  {
    record("fetch_memories", {project_id, api_key, api_url});
    return memories();
  }
  Value upload_attestations(const std::string&,
                            const std::string&,
                            const std::string&,
                            const List&,
                            const contracts::Headers&) override
  {
    throw contracts::ApiError("not part of the refresh");
  }
  Value resolve_project(const std::string&,
                        const std::string&,
                        const std::string&,
                        std::optional<std::int64_t>) override
  {
    throw contracts::ApiError("not part of the refresh");
  }

private:
  void record(std::string name, std::vector<std::string> args)
  {
    const std::lock_guard lock(m_mutex);
    m_calls.push_back({std::move(name), std::move(args), std::this_thread::get_id()});
  }

  mutable std::mutex m_mutex;
  std::vector<Call> m_calls;
};

} // namespace kolvex::testing
