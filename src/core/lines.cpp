#include "core/lines.hpp"

#include "core/deadline.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::core::lines {

namespace {

// True when any byte of `word` is below 0x20 or above 0x7f: the only bytes that can
// start a boundary (LF, VT, FF, CR, FS, GS, RS; NEL, U+2028 and U+2029 lead with 0xc2
// or 0xe2).  Exact as a yes/no answer.
bool may_hold_boundary(std::uint64_t word)
{
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  return (((word - ones * 0x20) & ~word) | word) & highs;
}

// The length of the boundary starting at text[i], 0 when none does.
std::size_t boundary_length(std::string_view text, std::size_t i)
{
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = at(i);
  const std::size_t left = text.size() - i;
  if (c == '\n' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1e)) {
    return 1;
  }
  if (c == '\r') {
    return left >= 2 && text[i + 1] == '\n' ? 2 : 1;
  }
  if (c == 0xc2 && left >= 2 && at(i + 1) == 0x85) {
    return 2; // NEL
  }
  if (c == 0xe2 && left >= 3 && at(i + 1) == 0x80 && (at(i + 2) == 0xa8 || at(i + 2) == 0xa9)) {
    return 3; // LINE SEPARATOR, PARAGRAPH SEPARATOR
  }
  return 0;
}

} // namespace

Boundary next_boundary(std::string_view text, std::size_t from)
{
  const std::size_t n = text.size();
  std::size_t i = from;
  while (i < n) {
    while (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (may_hold_boundary(word)) {
        break;
      }
      i += 8;
    }
    if (i == n) {
      break;
    }
    if (const std::size_t length = boundary_length(text, i); length != 0) {
      return {i, length};
    }
    ++i;
  }
  return {n, 0};
}

std::size_t whole_lines_size(std::string_view text)
{
  std::size_t end = 0;
  for (Boundary b = next_boundary(text, 0); b.length != 0; b = next_boundary(text, end)) {
    end = b.pos + b.length;
  }
  return end;
}

LineBlockReader::LineBlockReader(int fd,
                                 std::uint64_t begin,
                                 std::optional<std::uint64_t> end,
                                 bool align,
                                 std::size_t block_size)
    : m_fd(fd), m_pos(begin), m_end(end.value_or(std::numeric_limits<std::uint64_t>::max())),
      m_align(align && begin > 0), m_block_size(std::max<std::size_t>(block_size, 4096)),
      m_offset(begin)
{
}

std::optional<std::string_view> LineBlockReader::next()
{
  if (m_given > 0) {
    // What follows the last "\n" given holds none; it moves to the front.
    m_held -= m_given;
    std::memmove(m_buffer.data(), m_buffer.data() + m_given, m_held);
    m_offset += m_given;
    m_given = 0;
    m_searched = m_held;
  }
  while (!m_done) {
    deadline::check("reading a file");
    if (m_pos >= m_end) {
      m_done = true;
      break;
    }
    if (m_buffer.size() - m_held < m_block_size) {
      // Doubling keeps a line of any length linear to gather; the file's size caps
      // the growth, so a single 256 MB line costs 256 MB and no more.
      std::size_t want = std::max(m_buffer.size() * 2, m_held + m_block_size);
      struct stat st {};
      if (::fstat(m_fd, &st) == 0 && st.st_size >= 0) {
        const auto rest = static_cast<std::uint64_t>(st.st_size) > m_pos
                              ? static_cast<std::uint64_t>(st.st_size) - m_pos
                              : 0;
        want =
            static_cast<std::size_t>(std::min<std::uint64_t>(want, m_held + rest + m_block_size));
      }
      m_buffer.resize(want);
    }
    const std::size_t room = std::min<std::uint64_t>(m_buffer.size() - m_held, m_end - m_pos);
    const ssize_t n = ::pread(m_fd, m_buffer.data() + m_held, room, static_cast<off_t>(m_pos));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "read");
    }
    if (n == 0) {
      m_done = true;
      break;
    }
    m_pos += static_cast<std::uint64_t>(n);
    m_held += static_cast<std::size_t>(n);
    if (m_align) {
      const void* newline = std::memchr(m_buffer.data(), '\n', m_held);
      if (newline == nullptr) {
        m_offset += m_held;
        m_held = 0;
        continue;
      }
      const auto skip =
          static_cast<std::size_t>(static_cast<const char*>(newline) - m_buffer.data()) + 1;
      m_held -= skip;
      std::memmove(m_buffer.data(), m_buffer.data() + skip, m_held);
      m_offset += skip;
      m_align = false;
      m_searched = 0;
    }
    const void* last = ::memrchr(m_buffer.data() + m_searched, '\n', m_held - m_searched);
    m_searched = m_held;
    if (last != nullptr) {
      m_given = static_cast<std::size_t>(static_cast<const char*>(last) - m_buffer.data()) + 1;
      return std::string_view(m_buffer.data(), m_given);
    }
  }
  return std::nullopt;
}

std::string_view LineBlockReader::tail() const
{
  return m_done && !m_align ? std::string_view(m_buffer.data(), m_held) : std::string_view();
}

} // namespace kolvex::core::lines
