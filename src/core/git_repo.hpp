#pragma once

// What the commit hook needs to know of a repository, read from its git directory
// instead of asked of git: each git process costs a commit more than the reading.
// Only a plain repository is read (see open_plain); for anything else every
// function here answers nullopt and the caller asks git, which stays the authority.
// The git directory is outside input: files are opened beneath it without
// following a link, and never written.

#include "core/git_files.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::core::git {

// A work tree and its git directories.
struct Repo {
  // The top of the work tree, as `git rev-parse --show-toplevel` prints it.
  std::filesystem::path top;
  // HEAD, its reflog and the index live here (.git, or .git/worktrees/<name>).
  std::filesystem::path git_dir;
  // Objects, refs and configuration live here (.git of the main work tree).
  std::filesystem::path common_dir;
  // user.name and user.email as `git config` resolves them here.
  UserConfig user;
  // The packed-refs file ("" when there is none).
  std::string packed_refs;
};

// The repository whose work tree's top is `dir` (it holds ".git"), when it is one
// the direct reads read as git would: SHA-1 objects and files refs (no extension),
// no core.worktree, no include, no replace refs or grafts, owned by this user, no
// GIT_DIR-like variable in the environment, a ".git" that is the git directory or
// a gitfile of a linked work tree that points back to it.  Never throws.
[[nodiscard]] std::optional<Repo> open_plain(const std::filesystem::path& dir);

// From now on, open_plain answers a directory it has answered before from memory,
// and read_loose_object an object it has read before.
// Only for a process that lives for one commit: nothing it does changes a
// repository's layout or configuration, and the hook path opens the same
// repository once per fact it records.  A long-lived process must not call it.
void keep_opened_repositories();

// HEAD's commit and the branch `git rev-parse --abbrev-ref HEAD` prints for it
// ("HEAD" when detached; the name as stored, not yet decoded).
struct Head {
  std::string commit;
  std::string branch;
};

// HEAD of `repo`, when HEAD is a branch under refs/heads/ (loose, else packed) or
// detached, its commit is a loose object, and no other ref makes the branch's
// short name ambiguous.  Never throws.
[[nodiscard]] std::optional<Head> read_head(const Repo& repo);

// The inflated loose object `oid` ("<type> <size>\0<body>"), nullopt when it is
// not loose here or not readable.  Never throws.
[[nodiscard]] std::optional<std::string> read_loose_object(const Repo& repo,
                                                           const std::string& oid);

// What HEAD's reflog says last.  `present` is false when there is no reflog of
// HEAD (or it is empty): git then has no entry to show.
struct NewestEntry {
  bool present = false;
  ReflogEntry entry;
};

// The newest entry of HEAD's reflog, read from the end of the file; nullopt when
// it cannot be read the way git reads it (a torn or unusual last line).  Never
// throws.
[[nodiscard]] std::optional<NewestEntry> newest_head_entry(const Repo& repo);

} // namespace kolvex::core::git
