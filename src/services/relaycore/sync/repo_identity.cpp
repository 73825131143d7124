#include "services/relaycore/sync/repo_identity.hpp"

#include "core/text.hpp"
#include "services/relaycore/log/git.hpp"

namespace kolvex::services::repo_identity {

std::optional<std::string> normalize_remote(std::string_view remote)
{
  remote = core::text::trim(remote);
  std::string_view host;
  std::string_view path;
  if (const std::size_t scheme_end = remote.find("://"); scheme_end != std::string_view::npos) {
    const std::string_view scheme = remote.substr(0, scheme_end);
    if (scheme == "file" || scheme.empty()) {
      return std::nullopt;
    }
    std::string_view rest = remote.substr(scheme_end + 3);
    const std::size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos) {
      host.remove_prefix(at + 1);
    }
    if (host.starts_with('[')) { // [v6]:port
      const std::size_t close = host.find(']');
      host = close == std::string_view::npos ? std::string_view() : host.substr(0, close + 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
      host = host.substr(0, colon);
    }
  } else {
    // scp-like: [user@]host:path, the colon before any slash.
    const std::size_t colon = remote.find(':');
    const std::size_t slash = remote.find('/');
    if (colon == std::string_view::npos || (slash != std::string_view::npos && slash < colon)) {
      return std::nullopt;
    }
    host = remote.substr(0, colon);
    path = remote.substr(colon + 1);
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos) {
      host.remove_prefix(at + 1);
    }
  }
  while (path.starts_with('/')) {
    path.remove_prefix(1);
  }
  while (path.ends_with('/')) {
    path.remove_suffix(1);
  }
  if (path.ends_with(".git")) {
    path.remove_suffix(4);
  }
  while (path.ends_with('/')) {
    path.remove_suffix(1);
  }
  if (host.empty() || path.empty()) {
    return std::nullopt;
  }
  return core::text::lower(host) + "/" + std::string(path);
}

std::string without_credentials(std::string_view remote)
{
  remote = core::text::trim(remote);
  const std::size_t scheme_end = remote.find("://");
  if (scheme_end == std::string_view::npos) {
    return std::string(remote);
  }
  const std::string_view scheme = remote.substr(0, scheme_end + 3);
  std::string_view rest = remote.substr(scheme_end + 3);
  // A query or fragment can carry a token as well ("?private_token=...").
  rest = rest.substr(0, rest.find_first_of("?#"));
  const std::size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  const std::size_t at = authority.rfind('@');
  const std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
  return std::string(scheme) + std::string(host) + std::string(path);
}

std::string origin_remote(const std::filesystem::path& repo_root)
{
  return without_credentials(
      relaycore::log::_git({"config", "--get", "remote.origin.url"}, repo_root));
}

} // namespace kolvex::services::repo_identity
