#include "support/fake_api_client.hpp"

#include <algorithm>
#include <utility>

namespace kolvex::testing {

using contracts::ApiClient;
using contracts::ApiTarget;

void FakeApiClient::serve_demo_project()
{
  context = [] { return Map{{"project", Map{{"name", "demo"}}}, {"systems", List{"core"}}}; };
  system_context = [](const std::vector<std::string>&) {
    return Map{{"systems", Map{{"core", Map{{"owner", "platform"}}}}}};
  };
  declarative = [](const Map&) {
    return contracts::DeclarativeState{
        Map{{"kolvexstate",
             Map{{"architecture",
                  Map{{"elements",
                       Map{{"api", Map{{"kind", "service"}}}, {"db", Map{{"kind", "store"}}}}}}}}},
            {"kolvexrules", Map{{"principles", Map{{"small-commits", Map{{"why", "review"}}}}}}}},
        Map{{"kolvexstate", "\"s1\""}, {"kolvexrules", "\"r1\""}},
        Map{{"kolvexstate", 200}, {"kolvexrules", 200}}};
  };
  specs = [](const std::optional<std::string>&) {
    return contracts::SpecsAnswer{
        Value(Map{{"specs", List{Map{{"domain", "billing"}, {"content", "# Billing\n"}}}},
                  {"canonical_docs",
                   List{Map{{"name", "architecture"}, {"content", "# Architecture\n"}}}}}),
        "\"sp1\""};
  };
  guardrails = [] {
    return Map{{"rules",
                List{Map{{"name", "no-secrets"},
                         {"ruleType", "constraint"},
                         {"description", "No secrets in code"},
                         {"status", "active"},
                         {"checkCondition", "grep -q secret"},
                         {"inheritedFromSystem", false}}}}};
  };
  skills = [] {
    return Map{{"skills",
                List{Map{{"slug", "review"},
                         {"name", "Review"},
                         {"description", "Reviews a diff"},
                         {"content", "Review it.\n"},
                         {"source", "project"}}}}};
  };
  custom_docs = [] {
    return Map{
        {"system", List{Map{{"slug", "style"}, {"title", "Style"}, {"content", "# Style\n"}}}},
        {"project", List{}}};
  };
  memories = [] { return Map{{"memories", List{Map{{"text", "deploys on Fridays are frozen"}}}}}; };
}

core::Value FakeApiClient::inserts_all(const List& batch)
{
  return Map{{"inserted", static_cast<std::int64_t>(batch.size())}};
}

std::vector<FakeApiClient::Call> FakeApiClient::calls() const
{
  const std::lock_guard lock(m_mutex);
  return m_calls;
}

std::vector<std::string> FakeApiClient::call_names() const
{
  std::vector<std::string> names;
  for (const auto& call : calls()) {
    names.push_back(call.name);
  }
  return names;
}

std::size_t FakeApiClient::calls_to(std::string_view name) const
{
  const auto names = call_names();
  return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

void FakeApiClient::record(std::string name,
                           const std::string& first,
                           const ApiTarget& target,
                           std::vector<std::string> rest)
{
  std::vector<std::string> args{first, target.key, target.url};
  args.insert(args.end(), rest.begin(), rest.end());
  const std::lock_guard lock(m_mutex);
  m_calls.push_back({std::move(name), std::move(args), std::this_thread::get_id()});
}

core::Value FakeApiClient::fetch_context(const ApiTarget& target, const std::string& project_id)
{
  record("fetch_context", project_id, target);
  return context ? context() : ApiClient::fetch_context(target, project_id);
}

core::Value FakeApiClient::fetch_system_context(const ApiTarget& target,
                                                const std::string& project_id,
                                                const std::vector<std::string>& systems)
{
  record("fetch_system_context", project_id, target, systems);
  return system_context ? system_context(systems)
                        : ApiClient::fetch_system_context(target, project_id, systems);
}

contracts::DeclarativeState FakeApiClient::fetch_declarative_state_detailed(
    const ApiTarget& target, const std::string& project_id, const Map& etags)
{
  std::vector<std::string> tags;
  for (const auto& [entity, tag] : etags) {
    tags.push_back(entity + "=" + (tag.is_string() ? tag.as_string() : "?"));
  }
  record("fetch_declarative_state_detailed", project_id, target, std::move(tags));
  return declarative ? declarative(etags)
                     : ApiClient::fetch_declarative_state_detailed(target, project_id, etags);
}

contracts::SpecsAnswer FakeApiClient::fetch_all_specs(const ApiTarget& target,
                                                      const std::string& project_id,
                                                      const std::optional<std::string>& etag)
{
  record("fetch_all_specs", project_id, target, {etag.value_or("<none>")});
  return specs ? specs(etag) : ApiClient::fetch_all_specs(target, project_id, etag);
}

core::Value FakeApiClient::fetch_guardrails(const ApiTarget& target, const std::string& project_id)
{
  record("fetch_guardrails", project_id, target);
  return guardrails ? guardrails() : ApiClient::fetch_guardrails(target, project_id);
}

core::Value FakeApiClient::fetch_skills(const ApiTarget& target, const std::string& project_id)
{
  record("fetch_skills", project_id, target);
  return skills ? skills() : ApiClient::fetch_skills(target, project_id);
}

core::Value FakeApiClient::fetch_custom_docs(const ApiTarget& target, const std::string& project_id)
{
  record("fetch_custom_docs", project_id, target);
  return custom_docs ? custom_docs() : ApiClient::fetch_custom_docs(target, project_id);
}

core::Value FakeApiClient::fetch_memories(const ApiTarget& target, const std::string& project_id)
{
  record("fetch_memories", project_id, target);
  return memories ? memories() : ApiClient::fetch_memories(target, project_id);
}

core::Value FakeApiClient::upload_attestations(const ApiTarget& target,
                                               const std::string& project_id,
                                               const List& batch,
                                               const contracts::Headers& extra_headers)
{
  record("upload_attestations", project_id, target);
  {
    const std::lock_guard lock(m_mutex);
    uploads.push_back(Upload{target.key, target.url, project_id, batch, extra_headers});
  }
  return upload ? upload(batch)
                : ApiClient::upload_attestations(target, project_id, batch, extra_headers);
}

core::Value FakeApiClient::resolve_project(const ApiTarget& target,
                                           const std::string& remote,
                                           std::optional<std::int64_t> team_id)
{
  record("resolve_project", remote, target, {team_id ? std::to_string(*team_id) : "<none>"});
  return resolve ? resolve(remote, team_id) : ApiClient::resolve_project(target, remote, team_id);
}

core::Value FakeApiClient::whoami(const ApiTarget& target)
{
  record("whoami", "", target);
  return me ? me() : ApiClient::whoami(target);
}

} // namespace kolvex::testing
