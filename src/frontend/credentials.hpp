#pragma once

// The user's kolvex credentials: the API key and URL that `kolvex auth login`
// stores once per user, and that KOLVEX_API_KEY / KOLVEX_API_URL override.  The key
// is a secret: nothing here prints, logs or puts it in an exception message.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kolvex::services::credentials {

// The API URL used when neither the environment nor the file names one.
inline constexpr std::string_view DEFAULT_API_URL = "https://api.kolvex.dev";

// The file the credentials live in: $XDG_CONFIG_HOME/kolvex/credentials.yaml, or
// ~/.config/kolvex/credentials.yaml when XDG_CONFIG_HOME is unset or not absolute.
[[nodiscard]] std::filesystem::path credentials_path();

// Credentials in force and where each came from.
struct Credentials {
  std::string api_key;    // "" when none
  std::string api_url;    // never empty: DEFAULT_API_URL at the least
  std::string key_source; // "KOLVEX_API_KEY", the file's path, or "" when no key
  std::string url_source; // "KOLVEX_API_URL", the file's path, or "default"
  std::string problem;    // why the file was ignored (unreadable, not a map), or ""
};

// The key and URL in force: each environment variable, when set and non-empty,
// wins over the file.  Never throws; a file that cannot be used is ignored and
// `problem` says why.  As ssh treats its own files, a file (or its folder) that
// another user owns or that group or others can write is not used at all, with a
// warning that gives the remedy; one that others can read is used, with a warning.
[[nodiscard]] Credentials load_credentials();

// A credentials file or folder that another user owns or can write: its message
// says which and how to fix it (and never holds the key).
class UnsafeCredentialsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Writes the file whole (atomically, mode 0600, its directory made 0700 when
// created).  Throws UnsafeCredentialsError, writing nothing, when the folder is
// another user's or writable by group or others, and std::system_error when it
// cannot be written; the old file is then untouched.
void save_credentials(std::string_view api_key, std::string_view api_url);

// Removes the file; false when there was none.  Throws std::system_error when it
// exists and cannot be removed.
bool remove_credentials();

// `key` as it may be shown: its last four characters after an ellipsis ("…3f9a"),
// or "…" alone for a key of four characters or fewer.
[[nodiscard]] std::string masked_key(std::string_view key);

} // namespace kolvex::services::credentials
