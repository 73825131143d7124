#pragma once

// The few files of a git directory that the commit hook reads itself instead of
// asking git: HEAD and loose refs, packed-refs, a gitdir file, a reflog line, a
// commit object and the repository's configuration.  Each parser accepts only the
// plain form git writes and throws Unusual for anything else, so that its caller
// asks git instead of guessing.  Pure: no file is opened here.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::git {

// Something in a git file that the direct reads do not handle: git is asked instead.
class Unusual : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What a HEAD or loose ref file holds: a symbolic ref ("ref: refs/heads/main") or a
// full SHA-1 object name.  Exactly one is set.
struct RefFile {
  std::optional<std::string> symref;
  std::optional<std::string> oid;
};

// The content of HEAD or of a loose ref file.  Throws Unusual unless it is one line
// "ref: <name>\n" or "<40 hex>\n".
[[nodiscard]] RefFile parse_ref_file(std::string_view content);

// Whether `name` (after "refs/heads/") is a branch name git accepts and writes
// unquoted: no control byte, space or "~^:?*[\", no "..", "@{" or "//", no
// component starting with "." or ending with ".lock", not ending with "/" or ".".
[[nodiscard]] bool plain_branch_name(std::string_view name);

// The target of a gitfile (".git" as a file: "gitdir: <path>\n").  Throws Unusual
// for any other content.
[[nodiscard]] std::string parse_gitfile(std::string_view content);

// The object name packed-refs gives `refname`, nullopt when it lists no such ref.
// Throws Unusual when a line is not "<40 hex> <name>", "^<40 hex>" or the header.
[[nodiscard]] std::optional<std::string> packed_ref(std::string_view content,
                                                    std::string_view refname);

// A reflog line: "<old> <new> <name> <<email>> <time> <tz>\t<message>\n".
struct ReflogEntry {
  std::string old_oid;
  std::string new_oid;
  // The message as `git log -g --format=%gs` shows it: without the final newline.
  std::string message;
};

// The newest entry of a reflog, given its last bytes (`tail`, the whole of its last
// line included).  Throws Unusual when that line is torn or not of git's form, when
// `tail` holds no whole line, or when the line has a NUL byte.
[[nodiscard]] ReflogEntry newest_reflog_entry(std::string_view tail);

// An author or committer line's fields.
struct Ident {
  std::string name;
  std::string email;
  std::int64_t time = 0;
  // Minutes east of UTC as written (+0130 is 130): git's own encoding.
  int tz = 0;
};

// The parts of a commit object the record uses.
struct Commit {
  Ident author;
  Ident committer;
  // The subject as `%s` prints it: the first paragraph, its lines joined by spaces.
  std::string subject;
};

// The object `raw` (an inflated loose object: "<type> <size>\0<body>") as a commit.
// Throws Unusual when it is not a commit of that size, has a NUL byte in its body,
// an "encoding" or signature header, or an author or committer line that is not
// "Name <email> <seconds> <+-hhmm>".
[[nodiscard]] Commit parse_commit_object(std::string_view raw);

// `time` at offset `tz` as `%aI` prints it ("2024-01-31T09:05:00+01:00").  Throws
// Unusual for a time git would refuse or not print as given.
[[nodiscard]] std::string iso8601_strict(std::int64_t time, int tz);

// Whether the configuration `text` leaves the repository read as the direct reads
// read it: no include, no extension, no core.worktree, core.bare false, no other
// log output encoding or signature display, no continued line, no header git reads
// another way.  With `user` set, also the last user.name and user.email it gives.
struct UserConfig {
  std::optional<std::string> name;
  std::optional<std::string> email;
  // False when a value is one git reads another way (quoted, escaped, commented):
  // the two are then git's to give.
  bool plain = true;
};
[[nodiscard]] bool plain_config(std::string_view text, UserConfig* user = nullptr);

} // namespace kolvex::core::git
