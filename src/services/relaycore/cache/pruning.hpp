#pragma once

// Removing the specs and canonical docs the server no longer serves, so that agents
// stop reading retired guidance.  Called only with a set the server just sent: a
// not-modified answer leaves everything in place.  Only entries directly in the two
// cache directories are ever removed, never through a link.

#include "repository_handle.hpp"

#include <filesystem>
#include <set>
#include <string>

namespace kolvex::services::relaycore::cache {

// Removes, with everything in it, each real subdirectory of the specs directory
// whose name is not in `server_domains`; files there and links are left.  Removal
// errors are ignored; an error listing the directory propagates.
void _prune_spec_dirs(const paths::RepositoryHandle& repo,
                      const std::set<std::string>& server_domains);

// Deletes each regular file "<name>.md" (the suffix compared exactly) of the
// canonical docs directory whose name is not in `server_names`; an empty set deletes
// every one.  Other files, subdirectories and links are left.  An error listing the
// directory or deleting a file propagates (a file already gone is not one).
void _prune_canonical_docs_dir(const paths::RepositoryHandle& repo,
                               const std::set<std::string>& server_names);

} // namespace kolvex::services::relaycore::cache
