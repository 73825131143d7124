#include "protocol/http_loader.hpp"

#include "protocol/http_client.hpp"

#include <filesystem>
#include <string>

#include <dlfcn.h>

namespace kolvex::protocol {

namespace {

using contracts::ApiClient;

constexpr const char* k_library = "libkolvex_http.so";

// libkolvex_http.so is installed beside the library this code is in, in the build
// tree and after `make install` (lib/kolvex) alike.  It is opened only by that
// absolute path: a plain name would let the loader search places a repository
// could fill.  Empty when this library's own place is not known absolutely.
std::string sibling_library_path()
{
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&http_client), &info) == 0 || info.dli_fname == nullptr ||
      info.dli_fname[0] != '/') {
    return {};
  }
  return (std::filesystem::path(info.dli_fname).parent_path() / k_library).string();
}

// The library's client, or nullptr with `failure` saying why there is none.
ApiClient* open_library(std::string& failure)
{
  const std::string path = sibling_library_path();
  if (path.empty()) {
    failure = "the HTTP client library could not be found: the place of kolvex's own "
              "libraries is unknown";
    return nullptr;
  }
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = ::dlerror();
    failure = std::string("the HTTP client library could not be loaded: ") +
              (why != nullptr ? why : k_library);
    return nullptr;
  }
  using Entry = ApiClient* (*)();
  auto entry = reinterpret_cast<Entry>(::dlsym(library, k_http_client_symbol));
  if (entry == nullptr) {
    failure = std::string("the HTTP client library has no ") + k_http_client_symbol;
    return nullptr;
  }
  return entry();
}

// Runs once: the library, once opened, is never closed, as its client lives until
// exit, and a failure is not retried.
ApiClient& load()
{
  std::string failure;
  if (ApiClient* client = open_library(failure)) {
    return *client;
  }
  static contracts::RefusingApiClient refusing(failure);
  return refusing;
}

} // namespace

ApiClient& http_client()
{
  static ApiClient& client = load();
  return client;
}

void install_http_client()
{
  contracts::set_default_api_client(&http_client);
}

} // namespace kolvex::protocol
