#include "api.hpp"

#include "core/json.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "services/relaycore/sync/repo_identity.hpp"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <map>

namespace kolvex::devserver {

namespace {

// An answer other than 200, raised anywhere in the routing and written by handle().
struct Refusal {
  int status;
  std::string code;
  std::string message;
};

[[noreturn]] void refuse(int status, std::string code, std::string message)
{
  throw Refusal{status, std::move(code), std::move(message)};
}

// The status and message of each refusal code the client knows, for --refuse.
Refusal refusal_for(const std::string& code)
{
  static const std::map<std::string, std::pair<int, std::string>> k_known{
      {"key_rejected", {401, "The API key was rejected."}},
      {"ambiguous_team", {409, "The key belongs to several teams (1, 2); pass a team id."}},
      {"repo_ambiguous", {409, "Several projects match this repository."}},
      {"repo_conflict", {409, "This repository is linked to another project."}},
      {"not_a_member", {403, "You are not a member of that team."}},
      {"capacity", {402, "The plan's project limit is reached."}},
      {"bad_remote", {422, "The remote does not name a hosted repository."}},
  };
  if (const auto found = k_known.find(code); found != k_known.end()) {
    return {found->second.first, code, found->second.second};
  }
  return {400, code, "Refused (" + code + ")."};
}

void write_json(httplib::Response& response, int status, const core::Value& body)
{
  response.status = status;
  response.set_content(core::json::dump(body), "application/json");
}

void write_refusal(httplib::Response& response, const Refusal& refusal)
{
  write_json(response,
             refusal.status,
             core::Map{{"error", core::Map{{"code", refusal.code}, {"message", refusal.message}}}});
}

// A 200 with its ETag (the SHA-256 of the body), or a 304 when the client holds it.
void answer(const httplib::Request& request, httplib::Response& response, const core::Value& body)
{
  const std::string text = core::json::dump(body);
  const std::string digest = core::sha256_hex(text);
  std::string tag;
  tag.reserve(digest.size() + 2);
  tag.append(1, '"').append(digest).append(1, '"');
  response.set_header("ETag", tag);
  const std::string held = request.get_header_value("If-None-Match");
  if (request.method == "GET" && (held == tag || held == digest)) {
    response.status = 304;
    return;
  }
  response.status = 200;
  response.set_content(text, "application/json");
}

core::Value json_body(const httplib::Request& request)
{
  try {
    core::Value body = core::json::parse(request.body);
    if (body.is_map()) {
      return body;
    }
  } catch (const core::json::JsonError&) {
  }
  refuse(400, "bad_request", "The body must be a JSON object.");
}

std::optional<std::int64_t> parse_id(std::string_view text)
{
  std::int64_t id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size() || id <= 0) {
    return std::nullopt;
  }
  return id;
}

// The project endpoints answered by one JSON file of the content directory, and
// what they answer when it is missing.  A new endpoint of that kind is one row.
struct FileEndpoint {
  std::string_view segment;
  std::string_view file;
  std::string_view fallback; // JSON
};

constexpr std::array k_file_endpoints{
    FileEndpoint{"guardrails", "guardrails.json", R"({"rules": []})"},
    FileEndpoint{"memories", "memories.json", R"({"memories": []})"},
};

void require_method(const httplib::Request& request, std::string_view method)
{
  if (request.method != method) {
    refuse(405, "method_not_allowed", request.method + " is not allowed on " + request.path + ".");
  }
}

} // namespace

Api::Api(std::string api_key, Store& store, const Content& content, Faults& faults)
    : m_api_key(std::move(api_key)), m_store(store), m_content(content), m_faults(faults)
{
}

void Api::stop()
{
  {
    const std::lock_guard guard(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
}

void Api::delay(int ms)
{
  std::unique_lock lock(m_mutex);
  m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

void Api::handle(const httplib::Request& request, httplib::Response& response)
{
  try {
    const FaultVerdict verdict = m_faults.judge(request.path);
    if (verdict.delay_ms > 0) {
      delay(verdict.delay_ms);
    }
    if (verdict.fail_status) {
      const int status = *verdict.fail_status;
      refuse(status, "injected_failure", "injected failure (HTTP " + std::to_string(status) + ")");
    }
    if (verdict.refuse_code) {
      throw refusal_for(*verdict.refuse_code);
    }
    if (request.get_header_value("Authorization") != "Bearer " + m_api_key) {
      refuse(401, "key_rejected", "The API key was rejected.");
    }
    route(request, response);
  } catch (const Refusal& refusal) {
    write_refusal(response, refusal);
  } catch (const std::exception& e) {
    write_refusal(response, Refusal{500, "internal", e.what()});
  }
}

void Api::route(const httplib::Request& request, httplib::Response& response)
{
  const std::vector<std::string> segments = core::text::split(request.path, '/');
  if (segments.size() < 3 || !segments[0].empty() || segments[1] != "v1") {
    refuse(404, "not_found", "No such endpoint: " + request.path);
  }
  if (segments.size() == 4 && segments[2] == "auth" && segments[3] == "whoami") {
    require_method(request, "GET");
    return answer(request, response, m_content.whoami());
  }
  if (segments.size() == 4 && segments[2] == "projects" && segments[3] == "resolve") {
    require_method(request, "POST");
    return resolve(request, response);
  }
  if (segments.size() == 4 && segments[2] == "_admin" && segments[3] == "attestations") {
    require_method(request, "GET");
    return admin(request, response);
  }
  if (segments.size() >= 5 && segments[2] == "projects") {
    return project_endpoint(request, response, segments);
  }
  refuse(404, "not_found", "No such endpoint: " + request.path);
}

void Api::resolve(const httplib::Request& request, httplib::Response& response)
{
  const core::Value body = json_body(request);
  const core::Value* remote = body.get("remote");
  const auto key = remote != nullptr && remote->is_string()
                       ? services::repo_identity::normalize_remote(remote->as_string())
                       : std::nullopt;
  if (!key) {
    refuse(422, "bad_remote", "The remote does not name a hosted repository.");
  }
  std::vector<std::int64_t> teams;
  const core::Value whoami = m_content.whoami();
  if (const core::Value* listed = whoami.get("teams"); listed != nullptr && listed->is_list()) {
    for (const core::Value& team : listed->as_list()) {
      if (const core::Value* id = team.get("id"); id != nullptr && id->is_int()) {
        teams.push_back(id->as_int());
      }
    }
  }
  std::optional<std::int64_t> team;
  const core::Value* asked = body.get("team_id");
  if (asked != nullptr && asked->is_int()) {
    if (std::find(teams.begin(), teams.end(), asked->as_int()) == teams.end()) {
      refuse(403,
             "not_a_member",
             "You are not a member of team " + std::to_string(asked->as_int()) + ".");
    }
    team = asked->as_int();
  } else if (teams.size() > 1) {
    std::string ids;
    for (const std::int64_t id : teams) {
      if (!ids.empty()) {
        ids += ", ";
      }
      ids += std::to_string(id);
    }
    refuse(
        409, "ambiguous_team", "The key belongs to several teams (" + ids + "); pass a team id.");
  } else if (teams.size() == 1) {
    team = teams.front();
  }
  const std::string title = key->substr(key->find('/') + 1);
  bool created = false;
  const Project project = m_store.resolve(*key, title, team, created);
  write_json(response,
             200,
             core::Map{{"projectId", project.id}, {"title", project.title}, {"created", created}});
}

void Api::project_endpoint(const httplib::Request& request,
                           httplib::Response& response,
                           const std::vector<std::string>& segments)
{
  const auto id = parse_id(segments[3]);
  const auto project = id ? m_store.project(*id) : std::nullopt;
  if (!project) {
    refuse(404, "project_not_found", "No project " + segments[3] + ".");
  }
  const std::string& what = segments[4];
  if (segments.size() == 5 && what == "attestations") {
    require_method(request, "POST");
    return upload(request, response, project->id);
  }
  require_method(request, "GET");
  if (segments.size() == 6 && what == "state" &&
      (segments[5] == "kolvexstate" || segments[5] == "kolvexrules")) {
    return answer(request, response, m_content.state(segments[5]));
  }
  if (segments.size() != 5) {
    refuse(404, "not_found", "No such endpoint: " + request.path);
  }
  if (what == "context") {
    return answer(request, response, m_content.context(*project));
  }
  if (what == "system-context") {
    std::vector<std::string> systems;
    for (std::string& name : core::text::split(request.get_param_value("systems"), ',')) {
      if (!name.empty()) {
        systems.push_back(std::move(name));
      }
    }
    return answer(request, response, m_content.system_context(systems));
  }
  if (what == "specs") {
    return answer(request, response, m_content.specs());
  }
  if (what == "skills") {
    return answer(request, response, m_content.skills());
  }
  if (what == "custom-docs") {
    return answer(request, response, m_content.custom_docs());
  }
  for (const FileEndpoint& endpoint : k_file_endpoints) {
    if (what == endpoint.segment) {
      return answer(
          request,
          response,
          m_content.json_or(std::string(endpoint.file), core::json::parse(endpoint.fallback)));
    }
  }
  refuse(404, "not_found", "No such endpoint: " + request.path);
}

void Api::upload(const httplib::Request& request, httplib::Response& response, std::int64_t project)
{
  const core::Value body = json_body(request);
  const core::Value* records = body.get("attestations");
  if (records == nullptr || !records->is_list()) {
    refuse(422, "bad_request", "\"attestations\" must be a list.");
  }
  std::vector<StoredRecord> stored;
  stored.reserve(records->as_list().size());
  for (const core::Value& record : records->as_list()) {
    const core::Value* commit = record.get("commit");
    if (commit == nullptr || !commit->is_string() || commit->as_string().empty()) {
      refuse(422, "bad_request", "Every attestation needs a \"commit\".");
    }
    stored.push_back(StoredRecord{commit->as_string(), core::json::dump(record)});
  }
  std::optional<std::string> session;
  if (const std::string header = request.get_header_value("X-Agent-Session-Id"); !header.empty()) {
    session = header;
  }
  const UploadCounts counts = m_store.upload(project, stored, session);
  write_json(response, 200, core::Map{{"inserted", counts.inserted}, {"updated", counts.updated}});
}

void Api::admin(const httplib::Request& request, httplib::Response& response)
{
  const auto id = parse_id(request.get_param_value("project"));
  if (!id || !m_store.project(*id)) {
    refuse(404, "project_not_found", "No project " + request.get_param_value("project") + ".");
  }
  write_json(
      response, 200, core::Map{{"project", *id}, {"attestations", m_store.attestations(*id)}});
}

} // namespace kolvex::devserver
