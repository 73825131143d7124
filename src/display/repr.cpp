#include "display/repr.hpp"

#include "core/pyrepr.hpp"
#include "core/text.hpp"

#include <array>
#include <cstdint>
#include <cstdio>

namespace kolvex::display::repr {

namespace {

using core::Value;

// Decodes one UTF-8 sequence at `pos`, advancing it.  A byte that starts no sequence
// comes back as itself with `valid` false (Python's surrogateescape keeps each such
// byte apart); encoded surrogates are decoded, as Python shows them as \udXXX.
char32_t next_code_point(std::string_view s, std::size_t& pos, bool& valid)
{
  const core::text::CodePoint cp = core::text::decode_utf8(s, pos, core::text::Surrogates::accept);
  valid = cp.valid;
  if (!valid) {
    return static_cast<unsigned char>(s[pos++]);
  }
  pos += cp.length;
  return cp.value;
}

// Python's str.isprintable() for the code points messages meet: the control,
// format, separator, surrogate and private-use ranges.  Unassigned code points are
// taken as printable (that would need Unicode's tables).
bool is_printable(char32_t cp)
{
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) {
    return false;
  }
  struct Range {
    char32_t first;
    char32_t last;
  };
  static constexpr std::array<Range, 17> k_not_printable{{
      {0x0600, 0x0605},
      {0x061C, 0x061C},
      {0x06DD, 0x06DD},
      {0x070F, 0x070F},
      {0x1680, 0x1680},
      {0x180E, 0x180E},
      {0x2000, 0x200F},
      {0x2028, 0x202F},
      {0x205F, 0x2064},
      {0x2066, 0x206F},
      {0x3000, 0x3000},
      {0xD800, 0xF8FF},
      {0xFEFF, 0xFEFF},
      {0xFFF9, 0xFFFB},
      {0xFFFE, 0xFFFF},
      {0xE0001, 0xE007F},
      {0xF0000, 0x10FFFF},
  }};
  for (const auto& range : k_not_printable) {
    if (cp >= range.first && cp <= range.last) {
      return false;
    }
  }
  return true;
}

void append_hex_escape(std::string& out, char32_t cp)
{
  char buf[16];
  if (cp <= 0xFF) {
    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
  } else if (cp <= 0xFFFF) {
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
  } else {
    std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
  }
  out += buf;
}

std::string date_repr(const core::Date& d)
{
  return "datetime.date(" + std::to_string(d.year) + ", " + std::to_string(d.month) + ", " +
         std::to_string(d.day) + ")";
}

std::string timezone_repr(int offset_minutes)
{
  if (offset_minutes == 0) {
    return "datetime.timezone.utc";
  }
  // timedelta normalises negative offsets to days=-1 plus positive seconds.
  const int seconds = offset_minutes * 60;
  if (seconds > 0) {
    return "datetime.timezone(datetime.timedelta(seconds=" + std::to_string(seconds) + "))";
  }
  return "datetime.timezone(datetime.timedelta(days=-1, seconds=" +
         std::to_string(86400 + seconds) + "))";
}

std::string datetime_repr(const core::DateTime& dt)
{
  std::string out = "datetime.datetime(" + std::to_string(dt.year) + ", " +
                    std::to_string(dt.month) + ", " + std::to_string(dt.day) + ", " +
                    std::to_string(dt.hour) + ", " + std::to_string(dt.minute);
  if (dt.second != 0 || dt.microsecond != 0) {
    out += ", " + std::to_string(dt.second);
  }
  if (dt.microsecond != 0) {
    out += ", " + std::to_string(dt.microsecond);
  }
  if (dt.utc_offset_minutes) {
    out += ", tzinfo=" + timezone_repr(*dt.utc_offset_minutes);
  }
  return out + ")";
}

} // namespace

std::string python_repr(std::string_view text)
{
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';

  std::string out(1, quote);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    bool valid = true;
    const char32_t cp = next_code_point(text, pos, valid);
    if (!valid) {
      // A stray byte: Python would hold it as a lone surrogate (surrogateescape).
      append_hex_escape(out, 0xDC00 + cp);
      continue;
    }
    if (cp == static_cast<char32_t>(quote) || cp == U'\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == U'\t') {
      out += "\\t";
    } else if (cp == U'\n') {
      out += "\\n";
    } else if (cp == U'\r') {
      out += "\\r";
    } else if (!is_printable(cp)) {
      append_hex_escape(out, cp);
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  out += quote;
  return out;
}

std::string python_repr(const Value& value)
{
  switch (value.kind()) {
  case Value::Kind::null:
    return "None";
  case Value::Kind::boolean:
    return value.as_bool() ? "True" : "False";
  case Value::Kind::integer:
    return std::to_string(value.as_int());
  case Value::Kind::big_integer:
    return value.as_bigint().digits;
  case Value::Kind::floating:
    return core::float_repr(value.as_float());
  case Value::Kind::string:
    return python_repr(std::string_view(value.as_string()));
  case Value::Kind::date:
    return date_repr(value.as_date());
  case Value::Kind::datetime:
    return datetime_repr(value.as_datetime());
  case Value::Kind::list: {
    std::string out = "[";
    bool first = true;
    for (const auto& item : value.as_list()) {
      out += first ? "" : ", ";
      first = false;
      out += python_repr(item);
    }
    return out + "]";
  }
  case Value::Kind::map: {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, item] : value.as_map()) {
      out += first ? "" : ", ";
      first = false;
      out += python_repr(std::string_view(key)) + ": " + python_repr(item);
    }
    return out + "}";
  }
  }
  return "None";
}

} // namespace kolvex::display::repr
