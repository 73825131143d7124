#pragma once

// Helpers shared by the tests: temporary directories, real git repositories and
// running the built kolvex binary.  Header-only so that the suite links even when
// a test file does not use them.

#include "core/process.hpp"
#include "repository_handle.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolvex::testing {

namespace stdfs = std::filesystem;

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
public:
  TempDir()
  {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate = stdfs::temp_directory_path() / ("kolvex-test-" + std::to_string(rd()));
      if (stdfs::create_directory(candidate)) {
        m_path = stdfs::canonical(candidate);
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary directory");
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir()
  {
    std::error_code ec;
    stdfs::remove_all(m_path, ec);
  }
  [[nodiscard]] const stdfs::path& path() const { return m_path; }
  // The directory opened as a repository's records, as kolvex's services take it.
  [[nodiscard]] paths::RepositoryHandle handle() const { return paths::RepositoryHandle(m_path); }

  // Writes `content` to `rel` (parents created) and returns the full path.
  stdfs::path write(const stdfs::path& rel, const std::string& content) const
  {
    auto full = m_path / rel;
    stdfs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    return full;
  }

  [[nodiscard]] std::string read(const stdfs::path& rel) const
  {
    std::ifstream in(m_path / rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

private:
  stdfs::path m_path;
};

// Runs `argv` in `cwd`; fails the test when it cannot start.
inline core::process::Result run(const std::vector<std::string>& argv,
                                 const stdfs::path& cwd,
                                 std::optional<std::string> input = std::nullopt)
{
  core::process::Options options;
  options.cwd = cwd;
  options.input = std::move(input);
  options.timeout = std::chrono::milliseconds(60'000);
  return core::process::run(argv, options);
}

// Runs the built kolvex with `args` in `cwd`, with the test process's environment.
inline core::process::Result run_kolvex(const std::vector<std::string>& args,
                                        const stdfs::path& cwd,
                                        std::optional<std::string> input = std::nullopt)
{
  std::vector<std::string> argv{KOLVEX_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, cwd, std::move(input));
}

// A real git repository in a temporary directory, with an identity configured and
// signing off, so that commits work whatever the machine's git configuration.
class TempRepo : public TempDir {
public:
  TempRepo()
  {
    git({"init", "-q", "-b", "main"});
    git({"config", "user.name", "Test Dev"});
    git({"config", "user.email", "dev@example.com"});
    git({"config", "commit.gpgsign", "false"});
    git({"config", "core.hooksPath", ".git/hooks"});
  }

  // Runs git with `args`; throws when git fails.  Returns trimmed stdout.
  std::string git(const std::vector<std::string>& args) const
  {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = run(argv, path());
    if (result.exit_code != 0) {
      throw std::runtime_error("git failed: " + result.err);
    }
    auto out = result.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
      out.pop_back();
    }
    return out;
  }

  // Writes `rel`, stages it and commits with `message`; returns the new sha.
  std::string
  commit_file(const stdfs::path& rel, const std::string& content, const std::string& message) const
  {
    write(rel, content);
    git({"add", "--", rel.string()});
    git({"commit", "-q", "-m", message});
    return git({"rev-parse", "HEAD"});
  }

  // commit_file with author and committer dates `date` (git's date syntax).
  std::string commit_file_at(const stdfs::path& rel,
                             const std::string& content,
                             const std::string& message,
                             const std::string& date) const
  {
    ScopedEnv dated;
    dated.set("GIT_COMMITTER_DATE", date).set("GIT_AUTHOR_DATE", date);
    return commit_file(rel, content, message);
  }
};

} // namespace kolvex::testing
