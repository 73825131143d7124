#include "agents/transcript_io.hpp"

#include "core/clock.hpp"
#include "core/logging.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kolvex::agents {

namespace stdfs = std::filesystem;

namespace {

std::atomic<std::size_t> g_opens{0};

// Closes the descriptor however read_transcript leaves.
struct Fd {
  int fd;
  ~Fd()
  {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

bool all_digits(std::string_view s)
{
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int to_int(std::string_view s)
{
  int value = 0;
  for (char c : s) {
    value = value * 10 + (c - '0');
  }
  return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
long long days_from_civil(int y, int m, int d)
{
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy =
      (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

std::string strip_trailing_slashes(std::string s)
{
  while (s.size() > 1 && s.back() == '/') {
    s.pop_back();
  }
  return s;
}

} // namespace

std::optional<TranscriptBuffer> read_transcript(const stdfs::path& path, std::size_t max_bytes)
{
  Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) {
    return std::nullopt;
  }
  g_opens.fetch_add(1, std::memory_order_relaxed);
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  // The size is a hint: the harness may still be appending, so read until EOF and
  // grow when the file outran it.
  std::size_t capacity = std::min<std::size_t>(static_cast<std::size_t>(st.st_size), max_bytes);
  auto data = std::make_unique<char[]>(capacity + TRANSCRIPT_PADDING);
  std::size_t size = 0;
  while (size < max_bytes) {
    if (size == capacity) {
      const auto grown = std::min(max_bytes, std::max<std::size_t>(capacity * 2, 64 * 1024));
      auto bigger = std::make_unique<char[]>(grown + TRANSCRIPT_PADDING);
      std::memcpy(bigger.get(), data.get(), size);
      data = std::move(bigger);
      capacity = grown;
    }
    const auto got = ::read(file.fd, data.get() + size, capacity - size);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    size += static_cast<std::size_t>(got);
  }
  std::memset(data.get() + size, 0, capacity + TRANSCRIPT_PADDING - size);
  return TranscriptBuffer(std::move(data), size);
}

namespace {

constexpr std::size_t k_chunk = 1 << 20;

const core::logging::Logger k_io_log("kolvex.agents.transcript_io");

// Trims blanks and carriage returns around a line.
std::string_view trim_line(std::string_view text)
{
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r')) {
    text.remove_prefix(1);
  }
  return text;
}

} // namespace

LineReader::LineReader(const stdfs::path& path)
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return;
  }
  g_opens.fetch_add(1, std::memory_order_relaxed);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  m_fd = fd;
  m_capacity = std::clamp<std::size_t>(static_cast<std::size_t>(st.st_size), 4096, k_chunk);
  m_data.reset(new char[m_capacity + TRANSCRIPT_PADDING]);
  std::memset(m_data.get() + m_capacity, 0, TRANSCRIPT_PADDING);
}

LineReader::~LineReader()
{
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

bool LineReader::fill()
{
  if (m_eof || m_fd < 0) {
    return false;
  }
  if (m_begin > 0) { // keep the partial line, drop what was consumed
    std::memmove(m_data.get(), m_data.get() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
  }
  if (m_end == m_capacity) { // one line longer than the buffer: grow
    const auto grown = std::min(m_capacity * 2, MAX_TRANSCRIPT_LINE);
    std::unique_ptr<char[]> bigger(new char[grown + TRANSCRIPT_PADDING]);
    std::memcpy(bigger.get(), m_data.get(), m_end);
    std::memset(bigger.get() + grown, 0, TRANSCRIPT_PADDING);
    m_data = std::move(bigger);
    m_capacity = grown;
  }
  while (true) {
    const auto got = ::read(m_fd, m_data.get() + m_end, m_capacity - m_end);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      m_eof = true;
      return false;
    }
    m_end += static_cast<std::size_t>(got);
    return true;
  }
}

bool LineReader::next(Line& line)
{
  if (m_fd < 0) {
    return false;
  }
  std::size_t scanned = m_begin;
  while (true) {
    const auto* start = m_data.get() + scanned;
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', m_end - scanned));
    if (nl != nullptr) {
      const auto end = static_cast<std::size_t>(nl - m_data.get());
      const auto text = trim_line(std::string_view(m_data.get() + m_begin, end - m_begin));
      m_begin = end + 1;
      scanned = m_begin;
      if (std::exchange(m_skipping, false)) {
        continue; // the end of a line too long to keep
      }
      if (!text.empty()) {
        line = {text, true};
        return true;
      }
      continue;
    }
    auto pending = m_end - m_begin;
    if (pending >= MAX_TRANSCRIPT_LINE) {
      if (!m_skipping) {
        k_io_log.debug("A transcript line longer than " + std::to_string(MAX_TRANSCRIPT_LINE) +
                       " bytes skipped");
      }
      m_skipping = true;
      m_begin = m_end;
      pending = 0;
    }
    if (!fill()) {
      const auto text = trim_line(std::string_view(m_data.get() + m_begin, m_end - m_begin));
      m_begin = m_end;
      if (!text.empty() && !std::exchange(m_skipping, false)) {
        line = {text, false};
        return true;
      }
      return false;
    }
    scanned = m_begin + pending; // fill() moved the partial line to the front
  }
}

std::size_t transcript_opens()
{
  return g_opens.load(std::memory_order_relaxed);
}

std::vector<Line> split_lines(std::string_view bytes)
{
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const auto* start = bytes.data() + pos;
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', bytes.size() - pos));
    const std::size_t end =
        nl != nullptr ? static_cast<std::size_t>(nl - bytes.data()) : bytes.size();
    const auto text = trim_line(bytes.substr(pos, end - pos));
    if (!text.empty()) {
      lines.push_back({text, nl != nullptr});
    }
    pos = end + 1;
  }
  return lines;
}

std::optional<double> parse_timestamp(std::string_view text)
{
  // YYYY-MM-DD[T ]HH:MM:SS[.fraction][Z|+HH:MM|-HH:MM]
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const auto y = text.substr(0, 4), mo = text.substr(5, 2), d = text.substr(8, 2);
  const auto h = text.substr(11, 2), mi = text.substr(14, 2), s = text.substr(17, 2);
  for (auto part : {y, mo, d, h, mi, s}) {
    if (!all_digits(part)) {
      return std::nullopt;
    }
  }
  const int month = to_int(mo), day = to_int(d), hour = to_int(h), minute = to_int(mi),
            second = to_int(s);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  double fraction = 0;
  std::size_t pos = 19;
  if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
    ++pos;
    double scale = 0.1;
    const auto digits_start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == digits_start) {
      return std::nullopt;
    }
  }
  int offset_minutes = 0;
  const auto zone = text.substr(pos);
  if (zone == "Z" || zone == "z" || zone.empty()) {
    offset_minutes = 0;
  } else if ((zone[0] == '+' || zone[0] == '-') && zone.size() == 6 && zone[3] == ':' &&
             all_digits(zone.substr(1, 2)) && all_digits(zone.substr(4, 2))) {
    offset_minutes = to_int(zone.substr(1, 2)) * 60 + to_int(zone.substr(4, 2));
    if (zone[0] == '-') {
      offset_minutes = -offset_minutes;
    }
  } else {
    return std::nullopt;
  }
  const auto days = days_from_civil(to_int(y), month, day);
  const auto seconds =
      days * 86400LL + hour * 3600LL + minute * 60LL + second - offset_minutes * 60LL;
  return static_cast<double>(seconds) + fraction;
}

std::string format_timestamp(double epoch)
{
  return core::clock::format_utc(static_cast<long long>(std::floor(epoch)));
}

bool is_safe_session_id(std::string_view id)
{
  if (id.empty() || id.size() > 200 || id.front() == '.') {
    return false;
  }
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

std::optional<std::string> ambient_session_id(const char* name)
{
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    return std::nullopt;
  }
  if (!is_safe_session_id(value)) {
    // The value itself stays out of the log: it may be megabytes of anything.
    k_io_log.debug(std::string(name) + " is not a plausible session id (" +
                   std::to_string(std::strlen(value)) + " bytes); ignored");
    return std::nullopt;
  }
  return std::string(value);
}

std::string env_text(const char* name)
{
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

stdfs::path home_dir()
{
  if (auto home = env_text("HOME"); !home.empty()) {
    return home;
  }
  if (const auto* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return {};
}

RepoMatcher::RepoMatcher(const stdfs::path& repo_root)
{
  auto add = [this](const stdfs::path& p) {
    auto text = strip_trailing_slashes(p.lexically_normal().string());
    if (!text.empty() && std::find(m_roots.begin(), m_roots.end(), text) == m_roots.end()) {
      m_roots.push_back(std::move(text));
    }
  };
  add(repo_root);
  std::error_code ec;
  const auto resolved = stdfs::weakly_canonical(repo_root, ec);
  if (!ec) {
    add(resolved);
  }
}

bool RepoMatcher::contains(std::string_view dir) const
{
  while (dir.size() > 1 && dir.back() == '/') {
    dir.remove_suffix(1);
  }
  for (const auto& root : m_roots) {
    if (root == "/") {
      if (!dir.empty() && dir.front() == '/') {
        return true;
      }
      continue;
    }
    if (dir.size() >= root.size() && dir.compare(0, root.size(), root) == 0 &&
        (dir.size() == root.size() || dir[root.size()] == '/')) {
      return true;
    }
  }
  return false;
}

std::vector<stdfs::path> list_files(const stdfs::path& dir, std::string_view suffix)
{
  std::vector<stdfs::path> out;
  std::error_code ec;
  std::error_code entry_ec; // an entry that cannot be examined is skipped, not fatal
  for (stdfs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const auto name = it->path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        it->is_regular_file(entry_ec)) {
      out.push_back(it->path());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<stdfs::path> list_dirs(const stdfs::path& dir)
{
  std::vector<stdfs::path> out;
  std::error_code ec;
  std::error_code entry_ec; // an entry that cannot be examined is skipped, not fatal
  for (stdfs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(entry_ec)) {
      out.push_back(it->path());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

} // namespace kolvex::agents
