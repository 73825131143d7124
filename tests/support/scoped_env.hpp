#pragma once

// Environment changes that last as long as one object.  Every variable set or unset
// through it gets its earlier value (or its absence) back when the object goes, and so
// does the working directory, so a test that points PATH or HOME somewhere, or steps
// into a temporary repository, cannot leak into the tests run after it in the same
// process (`kolvex_tests --gtest_filter=...` runs many in one).

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kolvex::testing {

class ScopedEnv {
public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Puts back every variable this object changed, the last change undone first, and
  // the working directory.
  ~ScopedEnv()
  {
    if (m_cwd) {
      std::error_code ec;
      std::filesystem::current_path(*m_cwd, ec);
    }
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }

  // Sets `name` to `value` until this object is destroyed.
  ScopedEnv& set(const std::string& name, const std::string& value)
  {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
    return *this;
  }

  // Removes `name` until this object is destroyed.
  ScopedEnv& unset(const std::string& name)
  {
    remember(name);
    ::unsetenv(name.c_str());
    return *this;
  }

  // Makes `dir` the working directory until this object is destroyed.  Throws
  // std::filesystem::filesystem_error when it cannot.
  ScopedEnv& chdir(const std::filesystem::path& dir)
  {
    if (!m_cwd) {
      m_cwd = std::filesystem::current_path();
    }
    std::filesystem::current_path(dir);
    return *this;
  }

private:
  // Only the value from before the first change counts.
  void remember(const std::string& name)
  {
    for (const auto& saved : m_saved) {
      if (saved.first == name) {
        return;
      }
    }
    const char* value = std::getenv(name.c_str());
    m_saved.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
  std::optional<std::filesystem::path> m_cwd;
};

} // namespace kolvex::testing
