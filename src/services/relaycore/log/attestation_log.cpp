#include "services/relaycore/log/attestation_log.hpp"

#include "core/fs.hpp"
#include "core/text.hpp"
#include "core/json.hpp"
#include "paths.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace kolvex::services::relaycore::log {

namespace {

// ---- Lines -------------------------------------------------------------------

// True when any byte of `word` is below 0x20 or above 0x7f: the only bytes that can
// start a line boundary (LF, VT, FF, CR, FS, GS, RS; NEL, U+2028, U+2029 lead with
// 0xc2 or 0xe2).  Exact as a yes/no answer.
bool may_hold_boundary(std::uint64_t word)
{
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  return (((word - ones * 0x20) & ~word) | word) & highs;
}

// Calls `on_line` with every line of `text`, cut at exactly the boundaries of
// core::fs::splitlines, without building the list: a log of 100,000 lines is
// walked eight bytes at a time, as almost every byte of a line is printable ASCII.
template <class OnLine> void for_each_line(std::string_view text, OnLine&& on_line)
{
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* start = p;
  while (p != end) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (may_hold_boundary(word)) {
        break;
      }
      p += 8;
    }
    if (p == end) {
      break;
    }
    const auto c = static_cast<unsigned char>(*p);
    const auto left = static_cast<std::size_t>(end - p);
    std::size_t boundary = 0;
    if (c == '\n' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1e)) {
      boundary = 1;
    } else if (c == '\r') {
      boundary = left >= 2 && p[1] == '\n' ? 2 : 1;
    } else if (c == 0xc2 && left >= 2 && static_cast<unsigned char>(p[1]) == 0x85) {
      boundary = 2;
    } else if (c == 0xe2 && left >= 3 && static_cast<unsigned char>(p[1]) == 0x80 &&
               (static_cast<unsigned char>(p[2]) == 0xa8 ||
                static_cast<unsigned char>(p[2]) == 0xa9)) {
      boundary = 3;
    }
    if (boundary == 0) {
      ++p;
      continue;
    }
    on_line(std::string_view(start, static_cast<std::size_t>(p - start)));
    p += boundary;
    start = p;
  }
  if (start != end) {
    on_line(std::string_view(start, static_cast<std::size_t>(end - start)));
  }
}

// Parses an object line for keeping; nullopt when the full parser disagrees with
// the scan (it is the authority on what is JSON).
std::optional<core::Value> parse_object(std::string_view text)
{
  try {
    core::Value value = core::json::parse(text);
    if (value.is_map()) {
      return value;
    }
  } catch (const core::json::JsonError&) {
  }
  return std::nullopt;
}

void count_event(AttestationLog& log, LineEvent event)
{
  switch (event) {
  case LineEvent::skipped:
    ++log.skipped;
    break;
  case LineEvent::unattested:
    ++log.unattested;
    break;
  case LineEvent::attested:
    ++log.attested;
    break;
  }
}

// Classifies one trimmed, non-blank line into `log`.
void read_line(AttestationLog& log, std::string_view line)
{
  const LogLineScan scan = scan_log_line(line);
  if (scan.shape != LogLineScan::Shape::object) {
    ++log.corrupt;
    return;
  }
  std::optional<core::Value> parsed;
  std::optional<LineVerdict> verdict = classify_log_line(scan);
  if (!verdict) {
    parsed = parse_object(line);
    if (!parsed) {
      ++log.corrupt;
      return;
    }
    verdict = classify_log_line(parsed->as_map());
  }
  const bool pending = !verdict->sent && verdict->addressable;
  if (pending && !parsed) {
    parsed = parse_object(line);
    if (!parsed) {
      ++log.corrupt;
      return;
    }
  }
  count_event(log, verdict->event);
  if (verdict->sent) {
    ++log.uploaded;
  } else if (pending) {
    log.pending.push_back(std::move(parsed->as_map()));
  } else {
    ++log.unaddressable;
  }
}

void read_lines(AttestationLog& log, std::string_view text)
{
  for_each_line(text, [&](std::string_view line) {
    const std::string_view trimmed = core::text::python_strip(line);
    if (!trimmed.empty()) {
      read_line(log, trimmed);
    }
  });
}

// ---- The file ---------------------------------------------------------------

constexpr std::size_t k_block_size = 1 << 20;

} // namespace

AttestationLog read_attestation_log_text(std::string_view text)
{
  AttestationLog log;
  read_lines(log, text);
  return log;
}

// The file is read in blocks cut after their last "\n", so that the log is never
// held whole: a 100,000-line log costs one block of memory beyond what `pending`
// keeps.  Every line boundary is a whole sequence inside one block (a block ends
// with "\n", which also keeps CR LF together), so the lines are the very lines of
// the whole text, and each block is checked as UTF-8 before any of it is read.
AttestationLog read_attestation_log(const std::filesystem::path& log_path)
{
  core::fs::Fd file;
  try {
    file = core::fs::open_regular(paths::confined(log_path), O_RDONLY);
  } catch (const std::system_error&) {
    // Missing, not permitted, a link or a special file (refused, and reported
    // there): nothing recorded that we can see.
    return {};
  }
  const int fd = file.get();
  AttestationLog log;
  std::string buffer;
  std::size_t held = 0;     // unread bytes at the front of `buffer`
  std::size_t consumed = 0; // file offset of buffer[0]
  for (;;) {
    if (buffer.size() < held + k_block_size) {
      buffer.resize(held + k_block_size);
    }
    const ssize_t n = ::read(fd, buffer.data() + held, k_block_size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return {}; // a directory, an I/O error: as unreadable as a missing file
    }
    if (n == 0) {
      break;
    }
    held += static_cast<std::size_t>(n);
    const std::string_view data(buffer.data(), held);
    const std::size_t cut = data.rfind('\n');
    if (cut == std::string_view::npos) {
      continue;
    }
    const std::string_view block = data.substr(0, cut + 1);
    core::fs::require_utf8(block, log_path, consumed);
    read_lines(log, block);
    held -= block.size();
    consumed += block.size();
    std::memmove(buffer.data(), buffer.data() + block.size(), held);
  }
  const std::string_view rest(buffer.data(), held);
  core::fs::require_utf8(rest, log_path, consumed);
  read_lines(log, rest);
  return log;
}

} // namespace kolvex::services::relaycore::log
