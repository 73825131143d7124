#include "services/relaycore/cache/pruning.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "paths.hpp"

#include <string_view>
#include <system_error>

namespace kolvex::services::relaycore::cache {

namespace {

const core::logging::Logger k_log("kolvex.relaycore.cache.pruning");

constexpr std::string_view k_doc_suffix = ".md";

} // namespace

void _prune_spec_dirs(const paths::RepositoryHandle& repo,
                      const std::set<std::string>& server_domains)
{
  const core::fs::Confined specs = repo.at(paths::specs_dir(repo.root()));
  for (const std::string& name : core::fs::list_directories(specs)) {
    if (server_domains.contains(name)) {
      continue;
    }
    try {
      core::fs::remove_tree(specs / name);
    } catch (const std::system_error& e) {
      k_log.debug_exception("Removing retired spec " + name + " failed (best-effort)", e);
    }
  }
}

void _prune_canonical_docs_dir(const paths::RepositoryHandle& repo,
                               const std::set<std::string>& server_names)
{
  const core::fs::Confined docs = repo.at(paths::docs_dir(repo.root()));
  for (const std::string& file : core::fs::list_regular_files(docs)) {
    if (file.size() <= k_doc_suffix.size() || !file.ends_with(k_doc_suffix)) {
      continue;
    }
    const std::string name = file.substr(0, file.size() - k_doc_suffix.size());
    if (!server_names.contains(name)) {
      core::fs::remove_file(docs / file);
    }
  }
}

} // namespace kolvex::services::relaycore::cache
