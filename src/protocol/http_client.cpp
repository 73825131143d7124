#include "protocol/http_client.hpp"

#include "contracts/api_client.hpp"
#include "core/json.hpp"
#include "protocol/wire.hpp"
#include "version.hpp"

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace kolvex::protocol {

namespace {

using contracts::AgentApiError;
using contracts::ApiError;
using contracts::ApiTarget;
using contracts::NetworkBudget;

constexpr long k_connect_ms = 5'000;
constexpr long k_request_ms = 30'000;
// A server that answered 503 is given this long before the one retry.
constexpr double k_retry_pause_seconds = 0.25;

constexpr std::string_view k_budget_spent = "network budget exhausted";

void wipe(char* data, std::size_t size)
{
  if (data != nullptr && size > 0) {
    ::explicit_bzero(data, size);
  }
}

void global_init()
{
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw ApiError("libcurl could not start");
    }
  });
}

// One easy handle per thread, reset between requests: the reset keeps its
// connection cache, so a run of uploads reuses one connection.
class Handle {
public:
  Handle() : m_curl(curl_easy_init()) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle()
  {
    if (m_curl != nullptr) {
      curl_easy_cleanup(m_curl);
    }
  }
  [[nodiscard]] CURL* get() const { return m_curl; }

private:
  CURL* m_curl;
};

CURL* thread_handle()
{
  thread_local Handle handle;
  if (handle.get() == nullptr) {
    throw ApiError("libcurl could not start");
  }
  curl_easy_reset(handle.get());
  return handle.get();
}

// Request headers; every line is wiped before the list is freed, because one of
// them carries the API key.
class HeaderList {
public:
  HeaderList() = default;
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList()
  {
    for (curl_slist* node = m_list; node != nullptr; node = node->next) {
      wipe(node->data, std::strlen(node->data));
    }
    curl_slist_free_all(m_list);
  }
  void add(const char* line)
  {
    curl_slist* next = curl_slist_append(m_list, line);
    if (next == nullptr) {
      throw std::bad_alloc();
    }
    m_list = next;
  }
  [[nodiscard]] curl_slist* get() const { return m_list; }

private:
  curl_slist* m_list = nullptr;
};

// "Authorization: Bearer <key>" in a buffer sized up front (so no reallocation
// leaves a copy behind) and wiped as soon as libcurl has its own copy.
void add_authorization(HeaderList& headers, const std::string& api_key)
{
  static constexpr std::string_view k_prefix = "Authorization: Bearer ";
  std::string line;
  line.reserve(k_prefix.size() + api_key.size() + 1);
  line.append(k_prefix).append(api_key);
  try {
    headers.add(line.c_str());
  } catch (...) {
    wipe(line.data(), line.size());
    throw;
  }
  wipe(line.data(), line.size());
}

class ParsedUrl {
public:
  explicit ParsedUrl(const std::string& url) : m_url(curl_url())
  {
    if (m_url == nullptr) {
      throw std::bad_alloc();
    }
    if (curl_url_set(m_url, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
      curl_url_cleanup(m_url);
      throw ApiError("the API URL is not a valid URL");
    }
  }
  ParsedUrl(const ParsedUrl&) = delete;
  ParsedUrl& operator=(const ParsedUrl&) = delete;
  ~ParsedUrl() { curl_url_cleanup(m_url); }

  [[nodiscard]] std::string part(CURLUPart which) const
  {
    char* text = nullptr;
    if (curl_url_get(m_url, which, &text, 0) != CURLUE_OK || text == nullptr) {
      return {};
    }
    std::string copy(text);
    curl_free(text);
    return copy;
  }
  [[nodiscard]] CURLU* get() const { return m_url; }

private:
  CURLU* m_url;
};

struct Call {
  const char* method = "GET";
  std::string path;
  const std::string* body = nullptr;
  std::vector<std::pair<std::string, std::string>> headers{};
  bool retry = false; // GETs and the upload (idempotent by commit)
};

struct Reply {
  long status = 0;
  std::string body;
  std::optional<std::string> etag;
};

// What the libcurl callbacks collect during one attempt.
struct Exchange {
  Reply reply;
  bool too_large = false;
  bool budget_spent = false;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user)
{
  auto* exchange = static_cast<Exchange*>(user);
  const std::size_t bytes = size * count;
  if (exchange->reply.body.size() + bytes > wire::k_max_answer_bytes) {
    exchange->too_large = true;
    return 0; // aborts the transfer
  }
  exchange->reply.body.append(data, bytes);
  return bytes;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user)
{
  auto* exchange = static_cast<Exchange*>(user);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) { // a new response (after a 100 Continue): forget the last
    exchange->reply.etag.reset();
  } else if (auto tag = wire::header_value(line, "ETag")) {
    exchange->reply.etag = std::move(*tag);
  }
  return size * count;
}

// Stops a transfer when a budget made after it started runs out.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
  auto* exchange = static_cast<Exchange*>(user);
  const auto left = NetworkBudget::remaining();
  if (left && *left <= 0) {
    exchange->budget_spent = true;
    return 1;
  }
  return 0;
}

template <class T> void set(CURL* curl, CURLoption option, T value)
{
  if (curl_easy_setopt(curl, option, value) != CURLE_OK) {
    throw ApiError("libcurl refused an option");
  }
}

// The outcome of one attempt: a reply, or a transport failure described by
// `failure` (never holding the key).
struct Attempt {
  std::optional<Reply> reply;
  std::string failure;
  bool retryable = false;
};

Attempt
attempt_once(const ParsedUrl& url, bool loopback, const std::string& api_key, const Call& call)
{
  long connect_ms = k_connect_ms;
  long total_ms = k_request_ms;
  bool cut_by_budget = false;
  if (const auto left = NetworkBudget::remaining()) {
    if (*left <= 0) {
      throw ApiError(std::string(k_budget_spent));
    }
    const long left_ms = std::max(1L, static_cast<long>(*left * 1000.0));
    if (left_ms < total_ms) {
      total_ms = left_ms;
      cut_by_budget = true;
    }
    connect_ms = std::min(connect_ms, left_ms);
  }

  CURL* curl = thread_handle();
  HeaderList headers;
  add_authorization(headers, api_key);
  headers.add("Accept: application/json");
  headers.add("Expect:"); // no 100-continue round trip before a large upload
  if (call.body != nullptr) {
    headers.add("Content-Type: application/json");
  }
  for (const auto& [name, value] : call.headers) {
    headers.add((name + ": " + value).c_str());
  }

  Exchange exchange;
  char error_text[CURL_ERROR_SIZE] = {};
  const std::string user_agent = "kolvex/" + std::string(version());
  set(curl, CURLOPT_CURLU, url.get());
  set(curl, CURLOPT_NOSIGNAL, 1L);
  set(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  set(curl, CURLOPT_FOLLOWLOCATION, 0L);
  set(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  set(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* bundle = std::getenv("KOLVEX_CA_BUNDLE"); bundle != nullptr && *bundle != '\0') {
    set(curl, CURLOPT_CAINFO, bundle);
  }
  if (loopback) { // never hand a loopback request, key and all, to a proxy
    set(curl, CURLOPT_NOPROXY, "*");
  }
  set(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  set(curl, CURLOPT_TIMEOUT_MS, total_ms);
  set(curl, CURLOPT_USERAGENT, user_agent.c_str());
  set(curl, CURLOPT_ACCEPT_ENCODING, "");
  set(curl, CURLOPT_HTTPHEADER, headers.get());
  set(curl, CURLOPT_ERRORBUFFER, error_text);
  set(curl, CURLOPT_WRITEFUNCTION, on_body);
  set(curl, CURLOPT_WRITEDATA, &exchange);
  set(curl, CURLOPT_HEADERFUNCTION, on_header);
  set(curl, CURLOPT_HEADERDATA, &exchange);
  set(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  set(curl, CURLOPT_XFERINFODATA, &exchange);
  set(curl, CURLOPT_NOPROGRESS, 0L);
  if (call.body != nullptr) {
    set(curl, CURLOPT_POSTFIELDS, call.body->data());
    set(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body->size()));
  } else {
    set(curl, CURLOPT_HTTPGET, 1L);
  }

  const CURLcode code = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_CURLU, nullptr);

  Attempt attempt;
  if (code == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &exchange.reply.status);
    attempt.reply = std::move(exchange.reply);
    return attempt;
  }
  if (exchange.too_large) {
    throw ApiError("answer too large");
  }
  if (exchange.budget_spent || (code == CURLE_OPERATION_TIMEDOUT && cut_by_budget)) {
    throw ApiError(std::string(k_budget_spent));
  }
  const std::string detail = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
  attempt.failure =
      wire::redact(std::string(call.method) + " " + call.path + " failed: " + detail, api_key);
  attempt.retryable = true;
  return attempt;
}

// Waits before the one retry, if the budget leaves room for the pause and a try.
bool pause_for_retry()
{
  if (const auto left = NetworkBudget::remaining(); left && *left <= 2 * k_retry_pause_seconds) {
    return false;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(k_retry_pause_seconds));
  return true;
}

Reply send(const ApiTarget& target, const Call& call)
{
  global_init();
  for (const auto& [name, value] : call.headers) {
    if (!wire::valid_header(name, value)) {
      throw ApiError("refusing to send a malformed request header");
    }
  }
  const ParsedUrl url(wire::endpoint(target.url, call.path));
  const std::string scheme = url.part(CURLUPART_SCHEME);
  const bool loopback = wire::is_loopback_host(url.part(CURLUPART_HOST));
  if (scheme == "http" && !loopback) {
    throw ApiError("plain http is allowed only to a loopback host; use an https API URL");
  }
  if (scheme != "http" && scheme != "https") {
    throw ApiError("the API URL must be an https URL");
  }
  for (int attempt = 0;; ++attempt) {
    Attempt outcome = attempt_once(url, loopback, target.key, call);
    const bool may_retry = call.retry && attempt == 0;
    if (outcome.reply) {
      if (may_retry && wire::retryable_status(outcome.reply->status) && pause_for_retry()) {
        continue;
      }
      return std::move(*outcome.reply);
    }
    if (!(may_retry && outcome.retryable && pause_for_retry())) {
      throw ApiError(outcome.failure);
    }
  }
}

// A refusal's code and message are the server's text: the key is taken out in
// case a server echoes it.
void check(const Reply& reply, const std::string& api_key)
{
  try {
    wire::check_status(reply.status, reply.body);
  } catch (const AgentApiError& refusal) {
    throw AgentApiError(wire::redact(refusal.code(), api_key),
                        wire::redact(refusal.what(), api_key));
  }
}

std::string project_path(const std::string& project_id, std::string_view rest)
{
  std::string path = "/v1/projects/" + wire::escape_component(project_id);
  path += rest;
  return path;
}

core::Value get_json(const ApiTarget& target, std::string path, wire::Answer shape)
{
  const Reply reply = send(target, Call{.method = "GET", .path = std::move(path), .retry = true});
  check(reply, target.key);
  return wire::parse_answer(shape, reply.body);
}

// What a conditional GET does with a refusal (a status of 400 or more).
enum class Refused { raise, answer };

// A conditional GET: `tag` goes out as If-None-Match when there is one.  A refusal
// is raised, or with Refused::answer returned like any other reply.
Reply get_conditional(const ApiTarget& target,
                      std::string path,
                      const std::optional<std::string>& tag,
                      Refused refused = Refused::raise)
{
  Call call{.method = "GET", .path = std::move(path), .retry = true};
  if (tag && !tag->empty()) {
    call.headers.emplace_back("If-None-Match", *tag);
  }
  Reply reply = send(target, call);
  if (reply.status != 304 && !(refused == Refused::answer && reply.status >= 400)) {
    check(reply, target.key);
  }
  return reply;
}

core::Value tag_value(const std::optional<std::string>& tag)
{
  return tag ? core::Value(*tag) : core::Value();
}

// The libcurl client; reached only through kolvex_http_client().
class HttpClient final : public contracts::ApiClient {
public:
  core::Value fetch_context(const ApiTarget& target, const std::string& project_id) override
  {
    return get_json(target, project_path(project_id, "/context"), wire::Answer::context);
  }

  core::Value fetch_system_context(const ApiTarget& target,
                                   const std::string& project_id,
                                   const std::vector<std::string>& systems) override
  {
    std::string path = project_path(project_id, "/system-context?systems=");
    for (std::size_t i = 0; i < systems.size(); ++i) {
      if (i > 0) {
        path += ',';
      }
      path += wire::escape_component(systems[i]);
    }
    return get_json(target, std::move(path), wire::Answer::object);
  }

  contracts::DeclarativeState fetch_declarative_state_detailed(const ApiTarget& target,
                                                               const std::string& project_id,
                                                               const core::Map& etags) override
  {
    const auto stored_tag = [&](const char* entity) -> std::optional<std::string> {
      if (const core::Value* tag = etags.find(entity); tag != nullptr && tag->is_string()) {
        return tag->as_string();
      }
      return std::nullopt;
    };
    // A refused entity (a 401 on the rules, a 503 on the state) is recorded by its
    // status, not thrown: the cached copy stays and is shown as stale, which an
    // aborted refresh could not tell the agents.
    const auto fetch = [&](const char* entity) {
      return get_conditional(target,
                             project_path(project_id, std::string("/state/") + entity),
                             stored_tag(entity),
                             Refused::answer);
    };
    // The two entities are asked for at once: the refresh waits on this fetch, and
    // one after the other would put a second round trip on its critical path.
    std::future<Reply> rules = std::async(std::launch::async, fetch, "kolvexrules");
    Reply state = fetch("kolvexstate");
    const std::array<std::pair<const char*, Reply>, 2> replies = {
        std::pair<const char*, Reply>{"kolvexstate", std::move(state)},
        std::pair<const char*, Reply>{"kolvexrules", rules.get()}};

    contracts::DeclarativeState answer;
    for (const auto& [entity, reply] : replies) {
      if (reply.status == 304 || reply.status >= 400) {
        answer.state.set(entity, nullptr);
        answer.etags.set(entity, tag_value(stored_tag(entity)));
      } else {
        answer.state.set(entity, wire::parse_answer(wire::Answer::any, reply.body));
        answer.etags.set(entity, tag_value(reply.etag));
      }
      answer.statuses.set(entity, static_cast<std::int64_t>(reply.status));
    }
    return answer;
  }

  contracts::SpecsAnswer fetch_all_specs(const ApiTarget& target,
                                         const std::string& project_id,
                                         const std::optional<std::string>& etag) override
  {
    const Reply reply = get_conditional(target, project_path(project_id, "/specs"), etag);
    if (reply.status == 304) {
      return {std::nullopt, etag};
    }
    return {wire::parse_answer(wire::Answer::specs, reply.body), reply.etag};
  }

  core::Value fetch_guardrails(const ApiTarget& target, const std::string& project_id) override
  {
    return get_json(target, project_path(project_id, "/guardrails"), wire::Answer::guardrails);
  }

  core::Value fetch_skills(const ApiTarget& target, const std::string& project_id) override
  {
    return get_json(target, project_path(project_id, "/skills"), wire::Answer::skills);
  }

  core::Value fetch_custom_docs(const ApiTarget& target, const std::string& project_id) override
  {
    return get_json(target, project_path(project_id, "/custom-docs"), wire::Answer::object);
  }

  core::Value fetch_memories(const ApiTarget& target, const std::string& project_id) override
  {
    return get_json(target, project_path(project_id, "/memories"), wire::Answer::memories);
  }

  core::Value upload_attestations(const ApiTarget& target,
                                  const std::string& project_id,
                                  const core::List& batch,
                                  const contracts::Headers& extra_headers) override
  {
    core::Map payload;
    payload.set("attestations", batch);
    const std::string body = core::json::dump(core::Value(std::move(payload)));
    Call call{.method = "POST",
              .path = project_path(project_id, "/attestations"),
              .body = &body,
              .retry = true};
    call.headers.assign(extra_headers.begin(), extra_headers.end());
    const Reply reply = send(target, call);
    check(reply, target.key);
    return wire::parse_answer(wire::Answer::upload, reply.body);
  }

  core::Value resolve_project(const ApiTarget& target,
                              const std::string& remote,
                              std::optional<std::int64_t> team_id) override
  {
    core::Map payload;
    payload.set("remote", remote);
    payload.set("team_id", team_id ? core::Value(*team_id) : core::Value());
    const std::string body = core::json::dump(core::Value(std::move(payload)));
    // Not retried: a create that reached the server but lost its answer must not
    // be repeated blindly.
    const Reply reply =
        send(target, Call{.method = "POST", .path = "/v1/projects/resolve", .body = &body});
    check(reply, target.key);
    return wire::parse_answer(wire::Answer::resolve, reply.body);
  }

  core::Value whoami(const ApiTarget& target) override
  {
    return get_json(target, "/v1/auth/whoami", wire::Answer::whoami);
  }
};

} // namespace

} // namespace kolvex::protocol

// The loader's entry point: one client for the process, never destroyed before exit.
extern "C" __attribute__((visibility("default"))) kolvex::contracts::ApiClient* kolvex_http_client()
{
  static kolvex::protocol::HttpClient client;
  return &client;
}
