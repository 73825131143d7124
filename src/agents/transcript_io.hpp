#pragma once

// File access shared by the adapters: transcripts read whole into a padded buffer
// (simdjson may read a little past the end of any line), cheap line splitting,
// directory listings, harness timestamps, and the tests' count of opened
// transcripts.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::agents {

// Zeroed bytes kept after the end of every buffer; at least simdjson's padding.
inline constexpr std::size_t TRANSCRIPT_PADDING = 64;

// A transcript's bytes followed by TRANSCRIPT_PADDING zero bytes.
class TranscriptBuffer {
public:
  TranscriptBuffer(std::unique_ptr<char[]> data, std::size_t size)
      : m_data(std::move(data)), m_size(size)
  {
  }
  [[nodiscard]] std::string_view bytes() const { return {m_data.get(), m_size}; }
  // Bytes that may be read from `p` (a pointer into bytes()) up to the padding's end.
  [[nodiscard]] std::size_t readable_from(const char* p) const
  {
    return static_cast<std::size_t>(m_data.get() + m_size + TRANSCRIPT_PADDING - p);
  }

private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_size;
};

// Reads at most `max_bytes` of `path`.  Returns nullopt when the file cannot be
// opened or read (a transcript that vanished, a directory, no permission): bad
// transcript data is skipped, never an error.  Every open is counted.
[[nodiscard]] std::optional<TranscriptBuffer> read_transcript(const std::filesystem::path& path,
                                                              std::size_t max_bytes = SIZE_MAX);

// How many transcripts this process has opened through read_transcript; lets tests
// prove that old transcripts are skipped unread.
[[nodiscard]] std::size_t transcript_opens();

// One line of a buffer, without its "\n" (and "\r"); `complete` is false for a
// last line that has no newline, i.e. one that may still be being written.
struct Line {
  std::string_view text;
  bool complete = true;
};

// The longest transcript line read: a harness writes one JSON event per line, and
// a longer one (a hostile or broken file, gigabytes without a newline) is skipped
// whole, with a debug line, so that memory stays bounded whatever a file holds.
inline constexpr std::size_t MAX_TRANSCRIPT_LINE = std::size_t{8} << 20;

// Reads a transcript line by line through one reusable buffer, so that a large
// file costs neither a large allocation nor more memory than its longest line
// (at most MAX_TRANSCRIPT_LINE, past which a line is skipped).
// Every line is followed in memory by at least TRANSCRIPT_PADDING readable bytes.
// A read error ends the file early (the lines read so far stay valid).
class LineReader {
public:
  // Opens `path` (counted like read_transcript); ok() is false when it cannot be
  // opened or is not a regular file.
  explicit LineReader(const std::filesystem::path& path);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  [[nodiscard]] bool ok() const { return m_fd >= 0; }
  // The next non-blank line, or false at the end.  The text stays valid until the
  // next call.
  [[nodiscard]] bool next(Line& line);
  // Bytes that may be read from `p` (a pointer into the current line).
  [[nodiscard]] std::size_t readable_from(const char* p) const
  {
    return static_cast<std::size_t>(m_data.get() + m_capacity + TRANSCRIPT_PADDING - p);
  }

private:
  bool fill();

  int m_fd = -1;
  bool m_eof = false;
  bool m_skipping = false; // inside a line over MAX_TRANSCRIPT_LINE
  std::unique_ptr<char[]> m_data;
  std::size_t m_capacity = 0;
  std::size_t m_begin = 0; // first unread byte
  std::size_t m_end = 0;   // one past the last byte read
};

// The non-blank lines of `bytes`, in order.
[[nodiscard]] std::vector<Line> split_lines(std::string_view bytes);

// Epoch seconds of an ISO 8601 time as the harnesses write it
// ("2025-12-24T10:00:15.123Z", "+02:00" offsets, no zone taken as UTC), or nullopt.
[[nodiscard]] std::optional<double> parse_timestamp(std::string_view text);

// `epoch` as "%Y-%m-%dT%H:%M:%SZ" (fraction dropped).
[[nodiscard]] std::string format_timestamp(double epoch);

// True when `id` can name a transcript file: 1-200 characters of [A-Za-z0-9._-],
// not starting with '.', so that no id reaches outside the harness's directory.
[[nodiscard]] bool is_safe_session_id(std::string_view id);

// The session id the environment variable `name` carries (CLAUDE_CODE_SESSION_ID,
// CODEX_THREAD_ID, AGENT_SESSION_ID), or nullopt when it is unset, empty or not a
// plausible id (is_safe_session_id): an id goes into request headers and records,
// and a huge or path-like one is ignored with a debug line.
[[nodiscard]] std::optional<std::string> ambient_session_id(const char* name);

// The environment variable `name`, or "" when unset.
[[nodiscard]] std::string env_text(const char* name);

// $HOME, or the password database's home directory when HOME is unset.
[[nodiscard]] std::filesystem::path home_dir();

// Whether a harness's recorded working directory lies in a repository.  The root
// is compared both as given and with symlinks resolved, because harnesses record
// the resolved path while callers may pass either.
class RepoMatcher {
public:
  explicit RepoMatcher(const std::filesystem::path& repo_root);
  // True when `dir` is the repository root or a directory inside it.
  [[nodiscard]] bool contains(std::string_view dir) const;

private:
  std::vector<std::string> m_roots;
};

// Files directly in `dir` whose name ends in `suffix`, sorted by name; nothing
// when `dir` is missing or unreadable.
[[nodiscard]] std::vector<std::filesystem::path> list_files(const std::filesystem::path& dir,
                                                            std::string_view suffix);

// Sub-directories directly in `dir`, sorted by name; nothing when unreadable.
[[nodiscard]] std::vector<std::filesystem::path> list_dirs(const std::filesystem::path& dir);

} // namespace kolvex::agents
