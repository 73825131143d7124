#include "core/yaml_resolver.hpp"

#include "core/yaml.hpp"
#include "core/yaml_numbers.hpp"

#include <optional>
#include <string>

namespace kolvex::core::yaml {

namespace {

// The implicit resolvers below are hand-written equivalents of SafeLoader's
// regular expressions (YAML 1.1).  Each alternative of a pattern is matched on
// its own, left to right, with no backtracking: every repetition in these
// patterns is followed by a character it cannot consume, so greedy matching
// finds exactly what the regular expression finds.

bool is_digit(char c)
{
  return c >= '0' && c <= '9';
}

class Cursor {
public:
  explicit Cursor(std::string_view s) : m_s(s) {}

  [[nodiscard]] bool done() const { return m_i == m_s.size(); }
  [[nodiscard]] char peek(std::size_t ahead = 0) const
  {
    return m_i + ahead < m_s.size() ? m_s[m_i + ahead] : '\0';
  }
  bool take(char c)
  {
    if (!done() && m_s[m_i] == c) {
      ++m_i;
      return true;
    }
    return false;
  }
  bool take_any(std::string_view set)
  {
    if (!done() && set.find(m_s[m_i]) != std::string_view::npos) {
      ++m_i;
      return true;
    }
    return false;
  }
  template <typename Pred> bool take_if(Pred pred)
  {
    if (!done() && pred(m_s[m_i])) {
      ++m_i;
      return true;
    }
    return false;
  }
  template <typename Pred> std::size_t take_while(Pred pred)
  {
    std::size_t n = 0;
    while (take_if(pred)) {
      ++n;
    }
    return n;
  }
  bool take_word(std::string_view word)
  {
    if (m_s.substr(m_i, word.size()) == word) {
      m_i += word.size();
      return true;
    }
    return false;
  }
  void take_sign() { take_any("-+"); }
  // `[0-5]?[0-9]`, the minutes or seconds of a sexagesimal number.
  bool take_sexagesimal_part()
  {
    if (peek() >= '0' && peek() <= '5' && is_digit(peek(1))) {
      m_i += 2;
      return true;
    }
    return take_if(is_digit);
  }
  [[nodiscard]] std::size_t pos() const { return m_i; }

private:
  std::string_view m_s;
  std::size_t m_i = 0;
};

bool digit_or_underscore(char c)
{
  return is_digit(c) || c == '_';
}

bool match_bool(std::string_view s)
{
  for (std::string_view w : {"yes",
                             "Yes",
                             "YES",
                             "no",
                             "No",
                             "NO",
                             "true",
                             "True",
                             "TRUE",
                             "false",
                             "False",
                             "FALSE",
                             "on",
                             "On",
                             "ON",
                             "off",
                             "Off",
                             "OFF"}) {
    if (s == w) {
      return true;
    }
  }
  return false;
}

bool match_null(std::string_view s)
{
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

bool match_int(std::string_view s)
{
  const auto in = [](std::string_view set) {
    return [set](char c) { return set.find(c) != std::string_view::npos; };
  };
  { // [-+]?0b[0-1_]+
    Cursor c(s);
    c.take_sign();
    if (c.take_word("0b") && c.take_while(in("01_")) > 0 && c.done()) {
      return true;
    }
  }
  { // [-+]?0[0-7_]+
    Cursor c(s);
    c.take_sign();
    if (c.take('0') && c.take_while(in("01234567_")) > 0 && c.done()) {
      return true;
    }
  }
  { // [-+]?(?:0|[1-9][0-9_]*)
    Cursor c(s);
    c.take_sign();
    if (c.take('0')) {
      if (c.done()) {
        return true;
      }
    } else if (c.take_if([](char ch) { return ch >= '1' && ch <= '9'; })) {
      c.take_while(digit_or_underscore);
      if (c.done()) {
        return true;
      }
    }
  }
  { // [-+]?0x[0-9a-fA-F_]+
    Cursor c(s);
    c.take_sign();
    if (c.take_word("0x") && c.take_while(in("0123456789abcdefABCDEF_")) > 0 && c.done()) {
      return true;
    }
  }
  { // [-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+
    Cursor c(s);
    c.take_sign();
    if (!c.take_if([](char ch) { return ch >= '1' && ch <= '9'; })) {
      return false;
    }
    c.take_while(digit_or_underscore);
    std::size_t parts = 0;
    while (c.take(':')) {
      if (!c.take_sexagesimal_part()) {
        return false;
      }
      ++parts;
    }
    return parts > 0 && c.done();
  }
}

// `(?:[eE][-+][0-9]+)?` followed by the end of the text.
bool optional_exponent_then_end(Cursor& c)
{
  if (c.take_any("eE")) {
    return c.take_any("-+") && c.take_while(is_digit) > 0 && c.done();
  }
  return c.done();
}

bool match_float(std::string_view s)
{
  { // [-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+][0-9]+)?
    Cursor c(s);
    c.take_sign();
    if (c.take_if(is_digit)) {
      c.take_while(digit_or_underscore);
      if (c.take('.')) {
        c.take_while(digit_or_underscore);
        if (optional_exponent_then_end(c)) {
          return true;
        }
      }
    }
  }
  { // \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
    Cursor c(s);
    if (c.take('.') && c.take_if(is_digit)) {
      c.take_while(digit_or_underscore);
      if (optional_exponent_then_end(c)) {
        return true;
      }
    }
  }
  { // [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
    Cursor c(s);
    c.take_sign();
    if (c.take_if(is_digit)) {
      c.take_while(digit_or_underscore);
      std::size_t parts = 0;
      while (c.take(':')) {
        if (!c.take_sexagesimal_part()) {
          break;
        }
        ++parts;
      }
      if (parts > 0 && c.take('.')) {
        c.take_while(digit_or_underscore);
        if (c.done()) {
          return true;
        }
      }
    }
  }
  { // [-+]?\.(?:inf|Inf|INF)
    Cursor c(s);
    c.take_sign();
    if (c.take('.') && (c.take_word("inf") || c.take_word("Inf") || c.take_word("INF")) &&
        c.done()) {
      return true;
    }
  }
  // \.(?:nan|NaN|NAN)
  return s == ".nan" || s == ".NaN" || s == ".NAN";
}

// The pieces of a timestamp as SafeConstructor's pattern splits them; the
// strings view into the scalar.
struct TimestampParts {
  std::string_view year, month, day;
  bool has_time = false;
  std::string_view hour, minute, second, fraction;
  bool utc = false; // `Z`
  char tz_sign = 0; // '+' or '-' when an offset is given
  std::string_view tz_hour, tz_minute;
};

std::string_view take_digits(Cursor& c, std::string_view s, std::size_t min, std::size_t max)
{
  const std::size_t start = c.pos();
  std::size_t n = 0;
  while (n < max && c.take_if(is_digit)) {
    ++n;
  }
  return n >= min ? s.substr(start, n) : std::string_view{};
}

// SafeConstructor's timestamp pattern: one- or two-digit month and day, and an
// optional time with fraction and zone.
std::optional<TimestampParts> split_timestamp(std::string_view s)
{
  TimestampParts p;
  Cursor c(s);
  p.year = take_digits(c, s, 4, 4);
  if (p.year.empty() || !c.take('-') || (p.month = take_digits(c, s, 1, 2)).empty() ||
      !c.take('-') || (p.day = take_digits(c, s, 1, 2)).empty()) {
    return std::nullopt;
  }
  if (c.done()) {
    return p;
  }
  if (!c.take_any("Tt") && c.take_while([](char ch) { return ch == ' ' || ch == '\t'; }) == 0) {
    return std::nullopt;
  }
  p.has_time = true;
  if ((p.hour = take_digits(c, s, 1, 2)).empty() || !c.take(':') ||
      (p.minute = take_digits(c, s, 2, 2)).empty() || !c.take(':') ||
      (p.second = take_digits(c, s, 2, 2)).empty()) {
    return std::nullopt;
  }
  if (c.take('.')) {
    const std::size_t start = c.pos();
    p.fraction = s.substr(start, c.take_while(is_digit));
  }
  if (c.done()) {
    return p;
  }
  c.take_while([](char ch) { return ch == ' ' || ch == '\t'; });
  if (c.take('Z')) {
    p.utc = true;
  } else if (c.peek() == '-' || c.peek() == '+') {
    p.tz_sign = c.peek();
    c.take_sign();
    if ((p.tz_hour = take_digits(c, s, 1, 2)).empty()) {
      return std::nullopt;
    }
    if (c.take(':') && (p.tz_minute = take_digits(c, s, 2, 2)).empty()) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  return c.done() ? std::optional(p) : std::nullopt;
}

bool match_timestamp(std::string_view s)
{
  const auto parts = split_timestamp(s);
  // The implicit form of a bare date wants two-digit month and day.
  return parts && (parts->has_time || (parts->month.size() == 2 && parts->day.size() == 2));
}

[[noreturn]] void refuse(const std::string& what, std::string_view text)
{
  throw YamlError(what + " '" + std::string(text) + "'");
}

Value construct_bool(std::string_view text)
{
  std::string s(text);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (s == "yes" || s == "true" || s == "on") {
    return Value{true};
  }
  if (s == "no" || s == "false" || s == "off") {
    return Value{false};
  }
  refuse("invalid boolean", text);
}

int to_int(std::string_view digits)
{
  int v = 0;
  for (char c : digits) {
    v = v * 10 + (c - '0');
  }
  return v;
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

// Python's date and datetime refuse what a calendar does not hold; so do we.
Value construct_timestamp(std::string_view text)
{
  const auto p = split_timestamp(text);
  if (!p) {
    refuse("invalid timestamp", text);
  }
  const int year = to_int(p->year);
  const int month = to_int(p->month);
  const int day = to_int(p->day);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) {
    refuse("date out of range:", text);
  }
  if (!p->has_time) {
    return Value{Date{year, month, day}};
  }
  DateTime dt{year, month, day, to_int(p->hour), to_int(p->minute), to_int(p->second), 0, {}};
  if (dt.hour > 23 || dt.minute > 59 || dt.second > 59) {
    refuse("time out of range:", text);
  }
  // The fraction is cut (not rounded) to microseconds.
  std::string fraction(p->fraction.substr(0, 6));
  if (!fraction.empty()) {
    fraction.append(6 - fraction.size(), '0');
    dt.microsecond = to_int(fraction);
  }
  if (p->tz_sign != 0) {
    const int minutes = to_int(p->tz_hour) * 60 + to_int(p->tz_minute);
    if (minutes >= 24 * 60) {
      refuse("UTC offset out of range:", text);
    }
    dt.utc_offset_minutes = p->tz_sign == '-' ? -minutes : minutes;
  } else if (p->utc) {
    dt.utc_offset_minutes = 0;
  }
  return Value{dt};
}

} // namespace

ScalarTag resolve_plain_tag(std::string_view text)
{
  // SafeLoader only tries the resolvers registered for the first character; the
  // patterns themselves already encode that restriction.
  if (match_bool(text)) {
    return ScalarTag::boolean;
  }
  if (match_null(text)) {
    return ScalarTag::null;
  }
  if (match_float(text)) {
    return ScalarTag::floating;
  }
  if (match_int(text)) {
    return ScalarTag::integer;
  }
  if (match_timestamp(text)) {
    return ScalarTag::timestamp;
  }
  if (text == "<<") {
    return ScalarTag::merge;
  }
  if (text == "=") {
    return ScalarTag::value;
  }
  return ScalarTag::string;
}

Value construct_scalar(ScalarTag tag, std::string_view text)
{
  switch (tag) {
  case ScalarTag::null:
    return {};
  case ScalarTag::boolean:
    return construct_bool(text);
  case ScalarTag::integer:
    return construct_int(text);
  case ScalarTag::floating:
    return construct_float(text);
  case ScalarTag::timestamp:
    return construct_timestamp(text);
  case ScalarTag::merge:
  case ScalarTag::value:
  case ScalarTag::string:
    break;
  }
  return Value{std::string(text)};
}

} // namespace kolvex::core::yaml
