#pragma once

// The endpoints of the local API server: authentication, fault injection, routing
// and the JSON answers, as the cloud API speaks them.  cpp-httplib's own router
// matches with std::regex, so every request reaches handle() through one catch-all
// route and is routed here by splitting its path.

#include "content.hpp"
#include "faults.hpp"
#include "store.hpp"

#include <condition_variable>
#include <mutex>
#include <string>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace kolvex::devserver {

class Api {
public:
  // Serves with `api_key` as the one accepted key; the rest is borrowed.
  Api(std::string api_key, Store& store, const Content& content, Faults& faults);

  // Answers `request` into `response`.  Never throws: a failure inside is a 500
  // with an error body.
  void handle(const httplib::Request& request, httplib::Response& response);

  // Wakes every request waiting out a --delay, so that shutdown is prompt.
  void stop();

private:
  void route(const httplib::Request& request, httplib::Response& response);
  void resolve(const httplib::Request& request, httplib::Response& response);
  void project_endpoint(const httplib::Request& request,
                        httplib::Response& response,
                        const std::vector<std::string>& segments);
  void upload(const httplib::Request& request, httplib::Response& response, std::int64_t project);
  void admin(const httplib::Request& request, httplib::Response& response);
  // Sleeps `ms` unless stop() comes first.
  void delay(int ms);

  std::string m_api_key;
  Store& m_store;
  const Content& m_content;
  Faults& m_faults;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopping = false;
};

} // namespace kolvex::devserver
