#pragma once

// The commits the git post-commit hook recorded inside an agent session, left in
// .kolvex/.platform/post-tool-due for the harness's post-tool row of the same tool
// call: the row uploads and speaks only for a commit it finds there, and takes it
// off, so that each is spoken for once.

#include "repository_handle.hpp"

#include <filesystem>
#include <string>

namespace kolvex::frontend {

// Leaves `commit`, just recorded by the git hook inside an agent session, for the
// post-tool row of the same tool call to upload and speak for.  The row acts only
// on commits left so, and on each once; the list keeps the newest 64.  Errors
// propagate.
void _leave_for_row(const paths::RepositoryHandle& repo, const std::string& commit);

// Takes `commit` off the due list of `repo`: true when it was waiting, so
// that this row, and no other, speaks for it.
[[nodiscard]] bool take_due(const paths::RepositoryHandle& repo, const std::string& commit);

} // namespace kolvex::frontend
