#pragma once

// What a recorded commit leaves behind, and how a test makes one: attesting what is
// staged with the built kolvex, the lines of the log and the archived attestations.

#include "agents/registry.hpp"
#include "core/json.hpp"
#include "core/process.hpp"
#include "core/sha256.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "support/agent_env.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolvex::testing {

// The hash `kolvex attest` is given for what is staged in `repo`: the SHA-256 of
// `git diff --staged`.
inline std::string staged_diff_hash(const TempRepo& repo)
{
  const auto result = run({"git", "diff", "--staged"}, repo.path());
  if (result.exit_code != 0) {
    throw std::runtime_error("git diff --staged failed");
  }
  return core::sha256_hex(result.out);
}

// Attests what is staged in `repo` with the built kolvex (`model`, `summary`), as an
// agent does before it commits; throws when kolvex refuses.  Returns what it printed.
inline core::process::Result attest_staged(const TempRepo& repo,
                                           const std::string& summary,
                                           const std::string& model = "claude-opus-4-6")
{
  auto attest = run_kolvex({"attest",
                            "--staged-diff-hash",
                            staged_diff_hash(repo),
                            "--model",
                            model,
                            "--summary",
                            summary},
                           repo.path());
  if (attest.exit_code != 0) {
    throw std::runtime_error("kolvex attest failed: " + attest.err);
  }
  return attest;
}

// Stages `file` holding `content`, attests it (model claude-opus-4-6, `summary`) and
// commits it as "feat: <summary>"; returns the sha.
inline std::string attested_commit(const TempRepo& repo,
                                   const std::string& file,
                                   const std::string& content,
                                   const std::string& summary)
{
  repo.write(file, content);
  repo.git({"add", file});
  (void)attest_staged(repo, summary);
  repo.git({"commit", "-q", "-m", "feat: " + summary});
  return repo.git({"rev-parse", "HEAD"});
}

// The lines of the log of `repo` (without their "\n"), "" when there is none.
inline std::vector<std::string> log_lines(const TempRepo& repo)
{
  std::vector<std::string> lines;
  const std::string text = repo.read(paths::log_jsonl(repo.path()));
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  return lines;
}

// The log lines of `repo` that name `sha`, parsed.
inline std::vector<core::Value> records_of(const TempRepo& repo, const std::string& sha)
{
  std::vector<core::Value> found;
  for (const auto& line : log_lines(repo)) {
    if (line.find(sha) != std::string::npos) {
      found.push_back(core::json::parse(line));
    }
  }
  return found;
}

// Log line `line` parsed as a map.
inline core::Map parsed_line(const std::string& line)
{
  return core::json::parse(line).as_map();
}

// The archived attestation of `sha` in `repo`, as text ("" when missing).
inline std::string archive_of(const TempRepo& repo, const std::string& sha)
{
  return repo.read(paths::attestations_dir(repo.path()) / (sha + ".yaml"));
}

inline bool archive_exists(const TempRepo& repo, const std::string& sha)
{
  return std::filesystem::exists(paths::attestations_dir(repo.path()) / (sha + ".yaml"));
}

} // namespace kolvex::testing
