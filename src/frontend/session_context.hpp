#pragma once

// Everything a sync needs to know before it reaches the network: the user's
// credentials and the project the repository is linked to, read from files and
// the environment only.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::services::session_context {

// The credentials and the linked project of one repository.
struct Session {
  std::optional<std::string> api_key{};    // absent when not signed in
  std::string api_url;                     // never empty
  std::optional<std::string> project_id{}; // the local configuration's, as digits
  std::optional<std::int64_t> team_id{};   // the local configuration's
  std::string key_source;                  // where the key came from ("" for none)

  // Whether an upload can be addressed: a key and a linked project.
  [[nodiscard]] bool connected() const
  {
    return api_key && !api_key->empty() && project_id && !project_id->empty();
  }
};

// Reads the credentials in force and `repo_root`'s local configuration, without
// the network.  Never throws: an unreadable configuration leaves the project absent.
[[nodiscard]] Session resolve_session(const std::filesystem::path& repo_root);

} // namespace kolvex::services::session_context
