#include "frontend/credentials.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "core/value.hpp"
#include "core/yaml.hpp"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::services::credentials {

namespace {

namespace stdfs = std::filesystem;

std::string env_text(const char* name)
{
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(core::text::trim(value)) : std::string();
}

// Makes `dir` and its missing parents; the last one gets owner-only access.
void make_private_dir(const stdfs::path& dir)
{
  std::error_code ec;
  if (stdfs::is_directory(dir, ec)) {
    return;
  }
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    stdfs::create_directories(dir.parent_path());
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), "cannot create the directory");
  }
}

const core::logging::Logger k_log("kolvex.services.credentials");

// What is wrong with `path` (the credentials file or its folder) as a place for
// the key, the way ssh judges its own files: owned by someone else, or writable by
// group or others, means another user can read the key or plant an api_url that
// sends it to them.  "" when it is sound or missing.
std::string unsafe_reason(const stdfs::path& path, bool directory)
{
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return {};
  }
  const std::string what = std::string(directory ? "the folder " : "") + path.string();
  if (st.st_uid != ::getuid() && st.st_uid != 0) {
    return what + " is owned by another user (uid " + std::to_string(st.st_uid) +
           "); make it yours (chown " + std::to_string(::getuid()) + " " + path.string() +
           ") or remove it, then sign in again";
  }
  if ((st.st_mode & 022) != 0) {
    return what + " is writable by group or others; run `chmod go-w " + path.string() +
           "` and check that it holds only what you put there";
  }
  return {};
}

} // namespace

stdfs::path credentials_path()
{
  const std::string xdg = env_text("XDG_CONFIG_HOME");
  if (!xdg.empty() && stdfs::path(xdg).is_absolute()) {
    return stdfs::path(xdg) / "kolvex" / "credentials.yaml";
  }
  return stdfs::path(env_text("HOME")) / ".config" / "kolvex" / "credentials.yaml";
}

Credentials load_credentials()
{
  Credentials found;
  const stdfs::path path = credentials_path();
  std::string unsafe = unsafe_reason(path.parent_path(), true);
  if (unsafe.empty()) {
    unsafe = unsafe_reason(path, false);
  }
  if (!unsafe.empty()) {
    found.problem = unsafe;
    k_log.warning("Not using the stored credentials: " + unsafe);
  } else if (auto st = core::fs::stat_path(path); st && st->regular) {
    struct stat mode {};
    if (::stat(path.c_str(), &mode) == 0 && (mode.st_mode & 044) != 0) {
      k_log.warning(path.string() +
                    " can be read by other users, and it holds your API key; run "
                    "`chmod 600 " +
                    path.string() + "`");
    }
  }
  try {
    if (unsafe.empty() && core::fs::stat_path(path)) {
      const core::Value parsed = core::yaml::load(core::fs::read_text(path, 1 << 20));
      if (parsed.is_map()) {
        const core::Value* key = parsed.get("api_key");
        const core::Value* url = parsed.get("api_url");
        if (key != nullptr && key->is_string() && !core::text::trim(key->as_string()).empty()) {
          found.api_key = std::string(core::text::trim(key->as_string()));
          found.key_source = path.string();
        }
        if (url != nullptr && url->is_string() && !core::text::trim(url->as_string()).empty()) {
          found.api_url = std::string(core::text::trim(url->as_string()));
          found.url_source = path.string();
        }
      } else if (!parsed.is_null()) {
        found.problem = path.string() + " is not a map of api_key and api_url";
      }
    }
  } catch (const std::exception&) {
    // The message could quote the file, and the file holds the key.
    found.problem = path.string() + " could not be read";
  }
  if (const std::string key = env_text("KOLVEX_API_KEY"); !key.empty()) {
    found.api_key = key;
    found.key_source = "KOLVEX_API_KEY";
  }
  if (const std::string url = env_text("KOLVEX_API_URL"); !url.empty()) {
    found.api_url = url;
    found.url_source = "KOLVEX_API_URL";
  }
  if (found.api_url.empty()) {
    found.api_url = std::string(DEFAULT_API_URL);
    found.url_source = "default";
  }
  while (found.api_url.size() > 1 && found.api_url.ends_with('/')) {
    found.api_url.pop_back();
  }
  return found;
}

void save_credentials(std::string_view api_key, std::string_view api_url)
{
  const stdfs::path path = credentials_path();
  if (const std::string unsafe = unsafe_reason(path.parent_path(), true); !unsafe.empty()) {
    throw UnsafeCredentialsError("not writing the key: " + unsafe);
  }
  make_private_dir(path.parent_path());
  core::Map content;
  content.set("api_key", core::Value(std::string(api_key)));
  content.set("api_url", core::Value(std::string(api_url)));
  // atomic_replace creates the file 0600 before a byte of the key is written.
  core::fs::atomic_replace(path, core::yaml::dump(core::Value(std::move(content))));
}

bool remove_credentials()
{
  const stdfs::path path = credentials_path();
  if (::unlink(path.c_str()) == 0) {
    return true;
  }
  if (errno == ENOENT) {
    return false;
  }
  throw std::system_error(errno, std::generic_category(), "cannot remove the credentials file");
}

std::string masked_key(std::string_view key)
{
  if (key.size() <= 4) {
    return "…";
  }
  return "…" + std::string(key.substr(key.size() - 4));
}

} // namespace kolvex::services::credentials
