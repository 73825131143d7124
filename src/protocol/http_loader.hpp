#pragma once

// Loads the libcurl client (libkolvex_http.so, beside librelaycore.so) at the first
// network call.  libcurl and its 33 shared objects cost every process about 10 ms to
// start, which the hooks that never reach the network must not pay.

#include "contracts/api_client.hpp"

namespace kolvex::protocol {

// The HttpClient of libkolvex_http.so, the library opened by the first call (once
// per process, from any thread) and never closed.  When the library cannot be
// opened the answer is a client whose every call throws ApiError naming what failed.
[[nodiscard]] contracts::ApiClient& http_client();

// Makes http_client() the factory of contracts::api_client()'s default client; the
// front end calls it at start-up.  Costs nothing until a network call is made.
void install_http_client();

} // namespace kolvex::protocol
