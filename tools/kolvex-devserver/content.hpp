#pragma once

// What the context endpoints of the local API server answer, read from the
// `--content` directory at every request (so a test can change it between calls):
//   whoami.json, context.json, system-context.json, state/<entity>.json,
//   specs/<domain>.md, docs/<name>.md, skills/*.json,
//   custom-docs/{system,project}/<slug>.md, and the one-file answers api.cpp lists
// A missing file (or no directory at all) gives a small empty answer.

#include "core/value.hpp"
#include "store.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::devserver {

class Content {
public:
  // `dir` may be absent: every answer is then the empty default.
  explicit Content(std::optional<std::filesystem::path> dir);

  // {"user", "teams"}; default one team, id 1.
  [[nodiscard]] core::Value whoami() const;
  // {"project": {"id", "title", "remote"}, "systems": []} unless context.json says more.
  [[nodiscard]] core::Value context(const Project& project) const;
  // system-context.json, else {name: {} for each of `systems`}.
  [[nodiscard]] core::Value system_context(const std::vector<std::string>& systems) const;
  // state/<entity>.json, else {}.
  [[nodiscard]] core::Value state(const std::string& entity) const;
  // {"specs": [{"domain", "content"}], "canonical_docs": [{"name", "content"}]}.
  [[nodiscard]] core::Value specs() const;
  // {"skills": [each skills/*.json]}.
  [[nodiscard]] core::Value skills() const;
  // {"system": [{"slug", "title", "content"}], "project": [...]}.
  [[nodiscard]] core::Value custom_docs() const;
  // The JSON file `rel`, else `fallback`.
  [[nodiscard]] core::Value json_or(const std::filesystem::path& rel, core::Value fallback) const;

private:
  [[nodiscard]] std::optional<core::Value> json_file(const std::filesystem::path& rel) const;
  [[nodiscard]] std::vector<std::filesystem::path> files(const std::filesystem::path& rel,
                                                         const std::string& extension) const;

  std::optional<std::filesystem::path> m_dir;
};

} // namespace kolvex::devserver
