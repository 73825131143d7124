#pragma once

// Lines as Python's str.splitlines() cuts them, written once: every reader of a file
// that other tools read with Python (the attestation log above all) cuts it here, so
// that no two readers can disagree about where a line ends.  The boundaries are LF,
// CR LF, a lone CR, VT, FF, FS, GS, RS, and NEL, U+2028, U+2029 in UTF-8.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kolvex::core::lines {

// A line boundary in a text: where it starts and how many bytes it takes (0 when
// there is none; `pos` is then the text's size).
struct Boundary {
  std::size_t pos = 0;
  std::size_t length = 0;
};

// The first line boundary of `text` at or after `from`.  Walks eight bytes at a
// time through printable ASCII, which is almost all of a log.
[[nodiscard]] Boundary next_boundary(std::string_view text, std::size_t from);

// Whether a last piece that no boundary ends counts as a line.
enum class Tail { keep, drop };

// Calls `on_line(line)` for each line of `text` in order, boundaries left out and no
// empty piece after the last one, exactly as str.splitlines() gives them; the views
// point into `text`.  `on_line` may return false to stop.  With Tail::drop a last
// piece without a boundary after it is left out.
template <class OnLine>
void for_each_line(std::string_view text, OnLine&& on_line, Tail tail = Tail::keep)
{
  auto call = [&](std::string_view line) {
    if constexpr (std::is_void_v<decltype(on_line(line))>) {
      on_line(line);
      return true;
    } else {
      return static_cast<bool>(on_line(line));
    }
  };
  std::size_t start = 0;
  while (start < text.size()) {
    const Boundary boundary = next_boundary(text, start);
    if (boundary.length == 0) {
      if (tail == Tail::keep) {
        call(text.substr(start));
      }
      return;
    }
    if (!call(text.substr(start, boundary.pos - start))) {
      return;
    }
    start = boundary.pos + boundary.length;
  }
}

// The size of the longest prefix of `text` that ends with a line boundary: the
// whole lines of a text whose last piece may still be growing.
[[nodiscard]] std::size_t whole_lines_size(std::string_view text);

// Reads a regular file in runs of whole lines, each ending just after a "\n", in
// time linear in the file's size whatever its lines' lengths: only the bytes each
// read adds are searched, and a line longer than a block grows the buffer
// geometrically.  Since "\n" is never the first byte of a longer boundary, a run
// splits exactly as the same bytes inside the whole file do.  Every block checks
// core::deadline.
class LineBlockReader {
public:
  // Reads the file open on `fd` (not owned) from byte `begin` to byte `end` (its
  // end when absent), `block_size` bytes a read.  `begin` must start a line unless
  // `align` is true, in which case the bytes up to the first "\n" at or after it
  // are skipped as the rest of a line that starts earlier.
  explicit LineBlockReader(int fd,
                           std::uint64_t begin = 0,
                           std::optional<std::uint64_t> end = std::nullopt,
                           bool align = false,
                           std::size_t block_size = std::size_t{1} << 20);

  // The next run of whole lines, or nullopt once the range is read.  Throws
  // std::system_error when a read fails, core::deadline::DeadlineExceeded when time
  // is up.  The view lives until the next call.
  [[nodiscard]] std::optional<std::string_view> next();

  // Once next() gave nullopt: the bytes after the last "\n", empty when there are
  // none.  Lines in it that other boundaries end are whole (whole_lines_size); the
  // piece after them is a line still being appended, or a file's last line that
  // lacks its end.
  [[nodiscard]] std::string_view tail() const;

  // File offset of the first byte of the run next() gave last.
  [[nodiscard]] std::uint64_t offset() const { return m_offset; }

  // File offset just after the last "\n" read so far (where whole lines end).
  [[nodiscard]] std::uint64_t whole_lines_end() const { return m_offset + m_given; }

private:
  int m_fd;
  std::uint64_t m_pos; // next file offset to read
  std::uint64_t m_end; // where reading stops
  bool m_align;        // still skipping the rest of a partial first line
  std::size_t m_block_size;
  std::string m_buffer;       // bytes read and not yet given, from m_offset on
  std::size_t m_held = 0;     // bytes of m_buffer in use
  std::size_t m_given = 0;    // bytes at the front given out by the last next()
  std::size_t m_searched = 0; // bytes at the front known to hold no "\n"
  std::uint64_t m_offset = 0; // file offset of m_buffer[0]
  bool m_done = false;
};

} // namespace kolvex::core::lines
