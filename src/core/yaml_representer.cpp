#include "core/yaml_representer.hpp"

#include "core/pyrepr.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "core/yaml_resolver.hpp"

#include <cmath>
#include <cstdio>

namespace kolvex::core::yaml {

// UTF-8 to code points; a byte that starts no valid sequence becomes U+FFFD, as
// Python's "replace" error handler would have made it before dumping.
std::u32string decode_utf8(std::string_view s)
{
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const text::CodePoint cp = text::decode_utf8(s, i);
    out += cp.value;
    i += cp.length;
  }
  return out;
}

ScalarText represent_key(std::string_view text)
{
  return ScalarText{decode_utf8(text), resolve_plain_tag(text) == ScalarTag::string, true};
}

namespace {

std::string two_digits(int v)
{
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string date_text(int year, int month, int day)
{
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
  return buf;
}

// represent_float: repr() with `.0` inserted before a bare exponent, and YAML's
// spellings of the specials.
std::string float_text(double v)
{
  if (std::isnan(v)) {
    return ".nan";
  }
  if (std::isinf(v)) {
    return v > 0 ? ".inf" : "-.inf";
  }
  std::string text = float_repr(v);
  if (text.find('.') == std::string::npos) {
    const auto e = text.find('e');
    if (e != std::string::npos) {
      text.insert(e, ".0");
    }
  }
  return text;
}

// datetime.isoformat(' '): the fraction only when non-zero, the offset as +HH:MM.
std::string datetime_text(const DateTime& dt)
{
  std::string text = date_text(dt.year, dt.month, dt.day) + ' ' + two_digits(dt.hour) + ':' +
                     two_digits(dt.minute) + ':' + two_digits(dt.second);
  if (dt.microsecond != 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, ".%06d", dt.microsecond);
    text += buf;
  }
  if (dt.utc_offset_minutes) {
    const int offset = *dt.utc_offset_minutes;
    const int magnitude = offset < 0 ? -offset : offset;
    text += offset < 0 ? '-' : '+';
    text += two_digits(magnitude / 60) + ':' + two_digits(magnitude % 60);
  }
  return text;
}

// A non-string scalar: its text, which must read back as its own type (and, for
// dates and times, which the calendar does not police in a Value, as `original`).
ScalarText typed_scalar(const std::string& text, ScalarTag tag, const Value* original = nullptr)
{
  bool reads_back = resolve_plain_tag(text) == tag;
  if (reads_back && original != nullptr) {
    try {
      reads_back = construct_scalar(tag, text) == *original;
    } catch (const YamlError&) {
      reads_back = false;
    }
  }
  if (!reads_back) {
    throw YamlError("cannot write '" + text +
                    "' as YAML: it would not read back as the same value");
  }
  return ScalarText{decode_utf8(text), true, false};
}

} // namespace

ScalarText represent_scalar(const Value& v)
{
  switch (v.kind()) {
  case Value::Kind::null:
    return typed_scalar("null", ScalarTag::null);
  case Value::Kind::boolean:
    return typed_scalar(v.as_bool() ? "true" : "false", ScalarTag::boolean);
  case Value::Kind::integer:
    return typed_scalar(std::to_string(v.as_int()), ScalarTag::integer);
  case Value::Kind::big_integer: {
    const std::string& digits = v.as_bigint().digits;
    const std::size_t start = digits.starts_with('-') ? 1 : 0;
    if (digits.size() == start ||
        digits.find_first_not_of("0123456789", start) != std::string::npos) {
      throw YamlError("cannot write BigInt '" + digits + "': not decimal digits");
    }
    return typed_scalar(digits, ScalarTag::integer);
  }
  case Value::Kind::floating:
    return typed_scalar(float_text(v.as_float()), ScalarTag::floating);
  case Value::Kind::date: {
    const Date& d = v.as_date();
    return typed_scalar(date_text(d.year, d.month, d.day), ScalarTag::timestamp, &v);
  }
  case Value::Kind::datetime:
    return typed_scalar(datetime_text(v.as_datetime()), ScalarTag::timestamp, &v);
  case Value::Kind::string:
  case Value::Kind::list:
  case Value::Kind::map:
    break;
  }
  const std::string& s = v.as_string();
  return represent_key(s);
}

} // namespace kolvex::core::yaml
