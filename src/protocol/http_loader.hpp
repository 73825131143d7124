#pragma once

// Loads the libcurl client (libkolvex_http.so, beside librelaycore.so) at the first
// network call.  libcurl and its 33 shared objects cost every process about 10 ms to
// start, which the hooks that never reach the network must not pay.

#include "contracts/api_client.hpp"

#include <memory>

namespace kolvex::protocol {

// A client that forwards every call to the HttpClient of libkolvex_http.so, opening
// the library on its first call (once per process, from any thread).  When the
// library cannot be opened every call throws ApiError naming what failed.
[[nodiscard]] std::shared_ptr<contracts::ApiClient> lazy_http_client();

// Makes lazy_http_client() the process-wide default of contracts::api_client(); the
// front end calls it at start-up.  Costs nothing until a call is made.
void install_http_client();

// Whether libkolvex_http.so is loaded in this process (for tests of the start-up
// cost).
[[nodiscard]] bool http_library_loaded();

} // namespace kolvex::protocol
