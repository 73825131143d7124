#pragma once

// The production ApiClient, on libcurl.  It lives in its own shared library,
// libkolvex_http.so, which the front end opens at the first network call
// (protocol/http_loader), so that hook paths that never reach the network do not
// pay libcurl's start-up.  The client itself is reached only through the symbol
// below; this header names no libcurl type.
//
// It speaks the wire protocol of the cloud API: Bearer key, JSON bodies, connect 5 s
// and whole request 30 s cut to the enclosing network_budget, TLS always verified
// (KOLVEX_CA_BUNDLE may name the CA file), plain http only to loopback hosts, one
// retry of GETs and uploads after a transport failure or 502/503/504.  The API key
// never appears in what it throws, and the header buffer that carried it is wiped.
// Thread-safe: each thread keeps its own connection.

namespace kolvex::protocol {

// The symbol libkolvex_http.so exports for the loader: a C function taking nothing
// and returning the process's one client as a contracts::ApiClient*.
inline constexpr const char* k_http_client_symbol = "kolvex_http_client";

} // namespace kolvex::protocol
