#include "core/clock.hpp"

#include <chrono>
#include <cstdio>

namespace kolvex::core::clock {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's
// algorithms), so that no struct tm range or time zone setting is involved.
long long days_from_civil(long long y, unsigned m, unsigned d)
{
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct Civil {
  long long year;
  unsigned month;
  unsigned day;
};

Civil civil_from_days(long long z)
{
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<long long>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool is_leap(int year)
{
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month)
{
  static constexpr int k_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : k_days[month - 1];
}

bool is_digit(char c)
{
  return c >= '0' && c <= '9';
}

// A cursor over the text with the fixed-width digit groups ISO 8601 is made of.
class Reader {
public:
  explicit Reader(std::string_view text) : m_text(text) {}

  [[nodiscard]] bool done() const { return m_pos == m_text.size(); }
  [[nodiscard]] std::size_t left() const { return m_text.size() - m_pos; }
  [[nodiscard]] char peek() const { return done() ? '\0' : m_text[m_pos]; }
  void skip() { ++m_pos; }

  bool eat(char c)
  {
    if (peek() != c || done()) {
      return false;
    }
    ++m_pos;
    return true;
  }

  // Exactly `width` digits.
  bool digits(int width, int& out)
  {
    if (left() < static_cast<std::size_t>(width)) {
      return false;
    }
    int value = 0;
    for (int i = 0; i < width; ++i) {
      const char c = m_text[m_pos + static_cast<std::size_t>(i)];
      if (!is_digit(c)) {
        return false;
      }
      value = value * 10 + (c - '0');
    }
    m_pos += static_cast<std::size_t>(width);
    out = value;
    return true;
  }

  // One or more digits as microseconds: the first six count, the rest are dropped.
  bool fraction(int& micro)
  {
    int value = 0;
    int count = 0;
    while (!done() && is_digit(peek())) {
      if (count < 6) {
        value = value * 10 + (peek() - '0');
      }
      ++count;
      skip();
    }
    if (count == 0) {
      return false;
    }
    for (int i = count; i < 6; ++i) {
      value *= 10;
    }
    micro = value;
    return true;
  }

private:
  std::string_view m_text;
  std::size_t m_pos = 0;
};

// HH[:MM[:SS[.f]]] or HH[MM[SS[.f]]]: the first separator decides the form.
bool parse_time(Reader& in, DateTime& dt)
{
  if (!in.digits(2, dt.hour)) {
    return false;
  }
  const bool extended = in.peek() == ':';
  auto next_field = [&](int& field) {
    if (extended) {
      if (!in.eat(':')) {
        return false;
      }
      return in.digits(2, field);
    }
    if (in.done() || !is_digit(in.peek())) {
      return false;
    }
    return in.digits(2, field);
  };
  auto at_field = [&] { return extended ? in.peek() == ':' : is_digit(in.peek()); };
  if (at_field()) {
    if (!next_field(dt.minute)) {
      return false;
    }
    if (at_field()) {
      if (!next_field(dt.second)) {
        return false;
      }
      if (in.peek() == '.' || in.peek() == ',') {
        in.skip();
        if (!in.fraction(dt.microsecond)) {
          return false;
        }
      }
    }
  }
  return dt.hour <= 23 && dt.minute <= 59 && dt.second <= 59;
}

// Z, or +HH, +HH:MM, +HHMM (a zero seconds part allowed); less than 24 hours.
bool parse_zone(Reader& in, DateTime& dt)
{
  if (in.eat('Z')) {
    dt.utc_offset_minutes = 0;
    return true;
  }
  const char sign_char = in.peek();
  if (sign_char != '+' && sign_char != '-') {
    return false;
  }
  in.skip();
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
  if (!in.digits(2, hours)) {
    return false;
  }
  if (!in.done()) {
    const bool extended = in.eat(':');
    if (!in.digits(2, minutes)) {
      return false;
    }
    if (!in.done()) {
      if (extended && !in.eat(':')) {
        return false;
      }
      if (!in.digits(2, seconds)) {
        return false;
      }
    }
  }
  if (hours > 23 || minutes > 59 || seconds != 0) {
    return false;
  }
  const int total = hours * 60 + minutes;
  dt.utc_offset_minutes = sign_char == '-' ? -total : total;
  return true;
}

} // namespace

std::string utc_now_iso()
{
  const auto now = std::chrono::system_clock::now();
  return format_utc(
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

double now_seconds()
{
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count();
}

std::string format_utc(long long epoch)
{
  long long days = epoch / 86400;
  long long rest = epoch % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const Civil date = civil_from_days(days);
  char buffer[64];
  std::snprintf(buffer,
                sizeof buffer,
                "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                date.year,
                date.month,
                date.day,
                rest / 3600,
                rest / 60 % 60,
                rest % 60);
  return buffer;
}

std::optional<DateTime> parse_iso8601(std::string_view text)
{
  Reader in(text);
  DateTime dt;
  if (!in.digits(4, dt.year)) {
    return std::nullopt;
  }
  const bool extended = in.eat('-');
  if (!in.digits(2, dt.month) || (extended && !in.eat('-')) || !in.digits(2, dt.day)) {
    return std::nullopt;
  }
  if (dt.year < 1 || dt.month < 1 || dt.month > 12 || dt.day < 1 ||
      dt.day > days_in_month(dt.year, dt.month)) {
    return std::nullopt;
  }
  if (in.done()) {
    return dt;
  }
  // Any one ASCII character separates date and time, as in Python, except a digit,
  // which would make "YYYYMMDD" ambiguous.
  const auto separator = static_cast<unsigned char>(in.peek());
  if (separator >= 0x80 || is_digit(in.peek())) {
    return std::nullopt;
  }
  in.skip();
  if (!parse_time(in, dt)) {
    return std::nullopt;
  }
  if (!in.done() && !parse_zone(in, dt)) {
    return std::nullopt;
  }
  if (!in.done()) {
    return std::nullopt;
  }
  return dt;
}

double to_epoch(const DateTime& dt)
{
  const long long days =
      days_from_civil(dt.year, static_cast<unsigned>(dt.month), static_cast<unsigned>(dt.day));
  long long seconds = days * 86400 + dt.hour * 3600LL + dt.minute * 60LL + dt.second;
  seconds -= dt.utc_offset_minutes.value_or(0) * 60LL;
  return static_cast<double>(seconds) + dt.microsecond / 1e6;
}

} // namespace kolvex::core::clock
