#include "core/json.hpp"

#include "core/pyrepr.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace kolvex::core::json {

namespace {

// ---------------------------------------------------------------------------------
// UTF-8

// One decoded UTF-8 sequence. An ill-formed one has `valid` false and `length` set to
// its maximal subpart (the bytes that started a sequence correctly), which is what
// Python's errors="replace" turns into a single U+FFFD.
struct Utf8Step {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

// Decodes the sequence at `p` (p < end, *p >= 0x80 is the interesting case): rejects
// overlong forms, encoded surrogates and code points above U+10FFFF.
Utf8Step decode_utf8(const unsigned char* p, const unsigned char* end)
{
  const unsigned lead = p[0];
  if (lead < 0x80) {
    return {lead, 1, true};
  }
  std::size_t need = 0;
  char32_t cp = 0;
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    lo = lead == 0xE0 ? 0xA0 : 0x80;
    hi = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    lo = lead == 0xF0 ? 0x90 : 0x80;
    hi = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {0xFFFD, 1, false};
  }
  for (std::size_t i = 1; i <= need; ++i) {
    if (p + i >= end || p[i] < lo || p[i] > hi) {
      return {0xFFFD, i, false};
    }
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  return {cp, need + 1, true};
}

bool is_high_surrogate(char32_t u)
{
  return u >= 0xD800 && u <= 0xDBFF;
}

bool is_low_surrogate(char32_t u)
{
  return u >= 0xDC00 && u <= 0xDFFF;
}

// ---------------------------------------------------------------------------------
// The hand-written parser

bool is_digit(char c)
{
  return c >= '0' && c <= '9';
}

bool is_space(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Bytes a string may hold as they are: printable ASCII but the quote and backslash.
// Control characters must be escaped (Python's strict mode) and bytes from 0x80 on
// are checked as UTF-8.
constexpr std::array<bool, 256> k_plain_in_string = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) {
    table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  }
  return table;
}();

// What each one-letter escape stands for; 0 for letters that are no escape.
constexpr std::array<char, 256> k_unescape = [] {
  constexpr std::string_view letters = "\"\\/bfnrt";
  constexpr std::string_view plain = "\"\\/\b\f\n\r\t";
  std::array<char, 256> table{};
  for (std::size_t i = 0; i < letters.size(); ++i) {
    table[static_cast<unsigned char>(letters[i])] = plain[i];
  }
  return table;
}();

// A recursive-descent parser that follows the grammar and the error wording of
// Python's json scanner, so that what it accepts, and where it points on failure,
// matches what the ecosystem's Python tools see. Recursion is bounded by
// k_max_depth.
//
// It is used instead of simdjson, not behind it: building the Values costs more than
// reading the text, and one pass straight into Values measured faster than
// simdjson's DOM plus a conversion (by a quarter on log lines, by a half on a 1 MB
// document), while Python's extensions (NaN, big integers, lone surrogates) and its
// error positions need this parser anyway. The fuzz target checks it against simdjson
// on everything simdjson accepts.
class Parser {
public:
  explicit Parser(std::string_view text)
      : m_text(text), m_p(text.data()), m_end(text.data() + text.size())
  {
  }

  Value parse_document()
  {
    if (m_text.starts_with("\xEF\xBB\xBF")) {
      fail(m_p, "Unexpected UTF-8 BOM (decode using utf-8-sig)");
    }
    skip_space();
    Value value = parse_value(0);
    skip_space();
    if (m_p != m_end) {
      fail(m_p, "Extra data");
    }
    return value;
  }

private:
  [[noreturn]] void fail(const char* at, std::string_view message) const
  {
    // Python counts positions in characters; continuation bytes do not count.
    const auto offset = static_cast<std::size_t>(at - m_text.data());
    std::size_t line = 1;
    std::size_t chars = 0;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
      const auto c = static_cast<unsigned char>(m_text[i]);
      if ((c & 0xC0) == 0x80) {
        continue;
      }
      ++chars;
      if (c == '\n') {
        ++line;
        line_start = chars;
      }
    }
    throw JsonError(std::string(message) + ": line " + std::to_string(line) + " column " +
                    std::to_string(chars - line_start + 1) + " (char " + std::to_string(chars) +
                    ")");
  }

  void skip_space()
  {
    while (m_p != m_end && is_space(*m_p)) {
      ++m_p;
    }
  }

  bool consume(std::string_view word)
  {
    if (static_cast<std::size_t>(m_end - m_p) >= word.size() &&
        std::memcmp(m_p, word.data(), word.size()) == 0) {
      m_p += word.size();
      return true;
    }
    return false;
  }

  // `depth` counts the containers around the value.
  Value parse_value(int depth)
  {
    if (m_p == m_end) {
      fail(m_p, "Expecting value");
    }
    switch (*m_p) {
    case '"': {
      std::string scratch;
      const std::string_view text = parse_string(scratch);
      // Decoded text lives in `scratch` and can be moved rather than copied.
      return text.data() == scratch.data() ? Value(std::move(scratch)) : Value(text);
    }
    case '{':
      return parse_object(depth + 1);
    case '[':
      return parse_array(depth + 1);
    case 'n':
      if (consume("null")) {
        return Value();
      }
      break;
    case 't':
      if (consume("true")) {
        return Value(true);
      }
      break;
    case 'f':
      if (consume("false")) {
        return Value(false);
      }
      break;
    case 'N':
      if (consume("NaN")) {
        return Value(std::numeric_limits<double>::quiet_NaN());
      }
      break;
    case 'I':
      if (consume("Infinity")) {
        return Value(std::numeric_limits<double>::infinity());
      }
      break;
    case '-':
      if (consume("-Infinity")) {
        return Value(-std::numeric_limits<double>::infinity());
      }
      return parse_number();
    default:
      if (is_digit(*m_p)) {
        return parse_number();
      }
      break;
    }
    fail(m_p, "Expecting value");
  }

  void check_depth(int depth) const
  {
    if (depth > k_max_depth) {
      fail(m_p, "Nesting deeper than " + std::to_string(k_max_depth) + " levels");
    }
  }

  Value parse_array(int depth)
  {
    check_depth(depth);
    ++m_p;
    List list;
    skip_space();
    if (m_p != m_end && *m_p == ']') {
      ++m_p;
      return list;
    }
    for (;;) {
      list.push_back(parse_value(depth));
      skip_space();
      if (m_p != m_end && *m_p == ']') {
        ++m_p;
        return list;
      }
      if (m_p == m_end || *m_p != ',') {
        fail(m_p, "Expecting ',' delimiter");
      }
      ++m_p;
      skip_space();
    }
  }

  Value parse_object(int depth)
  {
    check_depth(depth);
    ++m_p;
    Map map;
    skip_space();
    if (m_p != m_end && *m_p == '}') {
      ++m_p;
      return map;
    }
    std::string scratch;
    for (;;) {
      if (m_p == m_end || *m_p != '"') {
        fail(m_p, "Expecting property name enclosed in double quotes");
      }
      scratch.clear();
      const std::string_view key = parse_string(scratch);
      skip_space();
      if (m_p == m_end || *m_p != ':') {
        fail(m_p, "Expecting ':' delimiter");
      }
      ++m_p;
      skip_space();
      // Python's dict: a repeated key keeps its first position and takes the last value.
      map.set(key, parse_value(depth));
      skip_space();
      if (m_p != m_end && *m_p == '}') {
        ++m_p;
        return map;
      }
      if (m_p == m_end || *m_p != ',') {
        fail(m_p, "Expecting ',' delimiter");
      }
      ++m_p;
      skip_space();
    }
  }

  // The four hex digits after "\u" at `u` (the 'u'), or nullopt. Like Python, it
  // wants one more character after them: the string is unterminated otherwise.
  std::optional<char32_t> hex4(const char* u) const
  {
    if (m_end - u <= 5) {
      return std::nullopt;
    }
    char32_t unit = 0;
    for (int i = 1; i <= 4; ++i) {
      const int digit = text::hex_digit(u[i]);
      if (digit < 0) {
        return std::nullopt;
      }
      unit = unit * 16 + static_cast<char32_t>(digit);
    }
    return unit;
  }

  // Decodes the escape at m_p (the backslash) onto `out`.
  void parse_escape(const char* quote, std::string& out)
  {
    const char* backslash = m_p;
    if (m_end - backslash < 2) {
      fail(quote, "Unterminated string starting at");
    }
    const char kind = backslash[1];
    if (kind != 'u') {
      const char plain = k_unescape[static_cast<unsigned char>(kind)];
      if (plain == 0) {
        fail(backslash, "Invalid \\escape");
      }
      out += plain;
      m_p += 2;
      return;
    }
    const char* u = backslash + 1;
    const auto unit = hex4(u);
    if (!unit) {
      fail(u, "Invalid \\uXXXX escape");
    }
    m_p = u + 5;
    char32_t cp = *unit;
    if (is_high_surrogate(cp) && m_end - m_p >= 2 && m_p[0] == '\\' && m_p[1] == 'u') {
      const auto low = hex4(m_p + 1);
      if (low && is_low_surrogate(*low)) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
        m_p += 6;
      }
    }
    // Python keeps a lone surrogate in its str; we cannot in UTF-8, and a
    // replacement character keeps every string of a Value well-formed.
    if (is_high_surrogate(cp) || is_low_surrogate(cp)) {
      cp = 0xFFFD;
    }
    text::append_utf8(out, cp);
  }

  // Parses the string whose opening quote is at m_p. Returns a view of the input
  // when it holds no escape; otherwise decodes into `scratch` (left empty by the
  // caller) and returns a view of it.
  std::string_view parse_string(std::string& scratch)
  {
    const char* quote = m_p;
    const char* run = ++m_p;
    bool decoded = false;
    for (;;) {
      while (m_p != m_end && k_plain_in_string[static_cast<unsigned char>(*m_p)]) {
        ++m_p;
      }
      if (m_p == m_end) {
        fail(quote, "Unterminated string starting at");
      }
      const auto c = static_cast<unsigned char>(*m_p);
      if (c == '"') {
        if (!decoded) {
          std::string_view text(run, static_cast<std::size_t>(m_p - run));
          ++m_p;
          return text;
        }
        scratch.append(run, m_p);
        ++m_p;
        return scratch;
      }
      if (c == '\\') {
        scratch.append(run, m_p);
        decoded = true;
        parse_escape(quote, scratch);
        run = m_p;
      } else if (c >= 0x80) {
        const Utf8Step step = decode_utf8(reinterpret_cast<const unsigned char*>(m_p),
                                          reinterpret_cast<const unsigned char*>(m_end));
        if (!step.valid) {
          fail(m_p, "Invalid UTF-8 byte at");
        }
        m_p += step.length;
      } else {
        fail(m_p, "Invalid control character at");
      }
    }
  }

  // Python's number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, taking
  // the longest prefix that matches ("1." is the integer 1 followed by extra data).
  Value parse_number()
  {
    const char* start = m_p;
    const char* p = m_p;
    if (*p == '-') {
      ++p;
    }
    if (p == m_end || !is_digit(*p)) {
      fail(start, "Expecting value");
    }
    if (*p == '0') {
      ++p;
    } else {
      while (p != m_end && is_digit(*p)) {
        ++p;
      }
    }
    bool is_float = false;
    if (m_end - p >= 2 && *p == '.' && is_digit(p[1])) {
      p += 2;
      while (p != m_end && is_digit(*p)) {
        ++p;
      }
      is_float = true;
    }
    if (p != m_end && (*p == 'e' || *p == 'E')) {
      const char* q = p + 1;
      if (q != m_end && (*q == '+' || *q == '-')) {
        ++q;
      }
      if (q != m_end && is_digit(*q)) {
        while (q != m_end && is_digit(*q)) {
          ++q;
        }
        p = q;
        is_float = true;
      }
    }
    m_p = p;
    return is_float ? Value(to_double(start, p)) : to_integer(start, p);
  }

  static Value to_integer(const char* start, const char* end)
  {
    std::int64_t value = 0;
    const auto [stop, ec] = std::from_chars(start, end, value);
    if (ec == std::errc() && stop == end) {
      return Value(static_cast<long long>(value));
    }
    return Value(BigInt{std::string(start, end)});
  }

  // Python's float(): correctly rounded, overflow to +-inf, underflow to +-0.0.
  static double to_double(const char* start, const char* end)
  {
    double value = 0;
    const auto [stop, ec] = std::from_chars(start, end, value);
    if (ec != std::errc::result_out_of_range) {
      return value;
    }
    // Out of range is either above ~1.8e308 or below ~2.5e-324, so the sign of the
    // decimal exponent of the first significant digit tells which.
    const bool negative = *start == '-';
    const char* p = negative ? start + 1 : start;
    // The value is 0.d1d2... x 10^(point + exponent), d1 its first significant digit.
    long long point = 0;
    bool found = false;
    bool after_point = false;
    for (; p != end && *p != 'e' && *p != 'E'; ++p) {
      if (*p == '.') {
        after_point = true;
        continue;
      }
      if (!found) {
        if (*p == '0') {
          point -= after_point ? 1 : 0;
          continue;
        }
        found = true;
      }
      point += after_point ? 0 : 1;
    }
    long long exponent = 0;
    if (p != end) {
      ++p;
      const bool exp_negative = *p == '-';
      if (*p == '-' || *p == '+') {
        ++p;
      }
      for (; p != end; ++p) {
        exponent = std::min(exponent * 10 + (*p - '0'), 1'000'000'000LL);
      }
      if (exp_negative) {
        exponent = -exponent;
      }
    }
    const double magnitude = point + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }

  std::string_view m_text;
  const char* m_p;
  const char* m_end;
};

// ---------------------------------------------------------------------------------
// The writer

constexpr char k_hex[] = "0123456789abcdef";

// Bytes json.dumps writes as they are under ensure_ascii: printable ASCII but the
// quote and backslash (DEL is escaped too).
constexpr std::array<bool, 256> k_plain_out = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x7F; ++c) {
    table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  }
  return table;
}();

// The one-letter escapes json.dumps uses; other control characters get \u00XX.
constexpr std::array<char, 128> k_escape_letter = [] {
  constexpr std::string_view plain = "\"\\\n\r\t\b\f";
  constexpr std::string_view letters = "\"\\nrtbf";
  std::array<char, 128> table{};
  for (std::size_t i = 0; i < plain.size(); ++i) {
    table[static_cast<unsigned char>(plain[i])] = letters[i];
  }
  return table;
}();

void append_u_escape(std::string& out, unsigned unit)
{
  const char text[6] = {'\\',
                        'u',
                        k_hex[(unit >> 12) & 0xF],
                        k_hex[(unit >> 8) & 0xF],
                        k_hex[(unit >> 4) & 0xF],
                        k_hex[unit & 0xF]};
  out.append(text, sizeof text);
}

void write_string(std::string& out, std::string_view text)
{
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    const auto* run = p;
    while (p != end && k_plain_out[*p]) {
      ++p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end) {
      break;
    }
    const unsigned c = *p;
    if (c >= 0x80) {
      const Utf8Step step = decode_utf8(p, end);
      p += step.length;
      if (step.code_point >= 0x10000) {
        const char32_t v = step.code_point - 0x10000;
        append_u_escape(out, 0xD800 + static_cast<unsigned>(v >> 10));
        append_u_escape(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
      } else {
        append_u_escape(out, static_cast<unsigned>(step.code_point));
      }
      continue;
    }
    ++p;
    if (const char letter = k_escape_letter[c]; letter != 0) {
      out += '\\';
      out += letter;
    } else {
      append_u_escape(out, c);
    }
  }
  out += '"';
}

// Appends `value` zero-padded to `width` digits (wider values as they are), as
// Python's %02d / %04d / %06d do.
void append_padded(std::string& out, long long value, int width)
{
  const std::string digits = std::to_string(value < 0 ? -value : value);
  if (value < 0) {
    out += '-';
    --width;
  }
  if (static_cast<int>(digits.size()) < width) {
    out.append(static_cast<std::size_t>(width) - digits.size(), '0');
  }
  out += digits;
}

std::string date_text(const Date& date)
{
  std::string text;
  append_padded(text, date.year, 4);
  text += '-';
  append_padded(text, date.month, 2);
  text += '-';
  append_padded(text, date.day, 2);
  return text;
}

// Python's str(datetime): "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM]".
std::string datetime_text(const DateTime& dt)
{
  std::string text = date_text(Date{dt.year, dt.month, dt.day});
  text += ' ';
  append_padded(text, dt.hour, 2);
  text += ':';
  append_padded(text, dt.minute, 2);
  text += ':';
  append_padded(text, dt.second, 2);
  if (dt.microsecond != 0) {
    text += '.';
    append_padded(text, dt.microsecond, 6);
  }
  if (dt.utc_offset_minutes) {
    const long long offset = *dt.utc_offset_minutes;
    const long long magnitude = offset < 0 ? -offset : offset;
    text += offset < 0 ? '-' : '+';
    append_padded(text, magnitude / 60, 2);
    text += ':';
    append_padded(text, magnitude % 60, 2);
  }
  return text;
}

void write_float(std::string& out, double value)
{
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value < 0 ? "-Infinity" : "Infinity";
  } else {
    out += float_repr(value);
  }
}

// json.dumps's encoder: `indent` < 0 means the one-line form.
class Writer {
public:
  Writer(std::string& out, int indent) : m_out(out), m_indent(indent) {}

  void write(const Value& value, int depth)
  {
    switch (value.kind()) {
    case Value::Kind::null:
      m_out += "null";
      break;
    case Value::Kind::boolean:
      m_out += value.as_bool() ? "true" : "false";
      break;
    case Value::Kind::integer: {
      char buf[24];
      const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value.as_int());
      m_out.append(buf, end);
      break;
    }
    case Value::Kind::big_integer:
      m_out += value.as_bigint().digits;
      break;
    case Value::Kind::floating:
      write_float(m_out, value.as_float());
      break;
    case Value::Kind::string:
      write_string(m_out, value.as_string());
      break;
    case Value::Kind::date:
      write_string(m_out, date_text(value.as_date()));
      break;
    case Value::Kind::datetime:
      write_string(m_out, datetime_text(value.as_datetime()));
      break;
    case Value::Kind::list:
      write_list(value.as_list(), depth + 1);
      break;
    case Value::Kind::map:
      write_map(value.as_map(), depth + 1);
      break;
    }
  }

private:
  static void check_depth(int depth)
  {
    if (depth > k_max_depth) {
      throw JsonError("Nesting deeper than " + std::to_string(k_max_depth) +
                      " levels cannot be written");
    }
  }

  // Before the first item (`first`) or between items, at nesting `depth`.
  void separator(bool first, int depth)
  {
    if (m_indent < 0) {
      if (!first) {
        m_out += ", ";
      }
      return;
    }
    if (!first) {
      m_out += ',';
    }
    m_out += '\n';
    m_out.append(static_cast<std::size_t>(m_indent) * static_cast<std::size_t>(depth), ' ');
  }

  void close(char bracket, int depth)
  {
    if (m_indent >= 0) {
      m_out += '\n';
      m_out.append(static_cast<std::size_t>(m_indent) * static_cast<std::size_t>(depth - 1), ' ');
    }
    m_out += bracket;
  }

  void write_list(const List& list, int depth)
  {
    check_depth(depth);
    if (list.empty()) {
      m_out += "[]";
      return;
    }
    m_out += '[';
    bool first = true;
    for (const Value& item : list) {
      separator(first, depth);
      first = false;
      write(item, depth);
    }
    close(']', depth);
  }

  void write_map(const Map& map, int depth)
  {
    check_depth(depth);
    if (map.empty()) {
      m_out += "{}";
      return;
    }
    m_out += '{';
    bool first = true;
    for (const auto& [key, item] : map) {
      separator(first, depth);
      first = false;
      write_string(m_out, key);
      m_out += ": ";
      write(item, depth);
    }
    close('}', depth);
  }

  std::string& m_out;
  int m_indent;
};

} // namespace

Value parse(std::string_view text)
{
  return Parser(text).parse_document();
}

std::string dump(const Value& value)
{
  std::string out;
  Writer(out, -1).write(value, 0);
  return out;
}

std::string dump_indented(const Value& value, int indent)
{
  std::string out;
  Writer(out, indent < 0 ? 0 : indent).write(value, 0);
  return out;
}

} // namespace kolvex::core::json
