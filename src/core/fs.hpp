#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::fs {

// A file whose bytes are not valid UTF-8; what() names the file and the offset.
class DecodeError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The whole file as bytes.  Throws std::system_error (errno) when it cannot be read.
[[nodiscard]] std::string read_bytes(const std::filesystem::path& path);

// The whole file as text; throws DecodeError when it is not strict UTF-8
// (overlongs and surrogates rejected) and std::system_error when unreadable.
[[nodiscard]] std::string read_text(const std::filesystem::path& path);

// True when `bytes` is strict UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Appends are a single write(2) of one whole line on an O_APPEND descriptor, so a
// concurrent reader sees whole lines only and never needs the lock.  `line` must
// already end with "\n".  Creates the file (mode 0644 less umask) when absent.
void append_line(const std::filesystem::path& path, std::string_view line);

// Replaces `path` with `content`: an exclusive ".tmp" sibling with mode 0600,
// write, fsync, rename(2).  On any failure the sibling is removed, the original is
// untouched and the error (std::system_error) propagates.
void atomic_replace(const std::filesystem::path& path, std::string_view content);

// Python's str.splitlines(): boundaries LF, CR LF, CR, VT, FF, FS, GS, RS, NEL,
// U+2028, U+2029; no trailing empty piece; the views point into `text`.
[[nodiscard]] std::vector<std::string_view> splitlines(std::string_view text);

} // namespace kolvex::core::fs
