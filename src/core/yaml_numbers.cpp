#include "core/yaml_numbers.hpp"

#include "core/text.hpp"
#include "core/yaml.hpp"

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::core::yaml {

namespace {

[[noreturn]] void refuse(const std::string& what, std::string_view text)
{
  throw YamlError(what + " '" + std::string(text) + "'");
}

// Unsigned arbitrary-precision integer in base 10^9 limbs, least significant
// first: just enough to turn long hexadecimal, octal, binary or sexagesimal
// literals into decimal digits.
class Magnitude {
public:
  void mul_add(std::uint32_t factor, std::uint32_t addend)
  {
    std::uint64_t carry = addend;
    for (auto& limb : m_limbs) {
      const std::uint64_t v = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(v % k_base);
      carry = v / k_base;
    }
    while (carry != 0) {
      m_limbs.push_back(static_cast<std::uint32_t>(carry % k_base));
      carry /= k_base;
    }
  }
  [[nodiscard]] std::string decimal() const
  {
    if (m_limbs.empty()) {
      return "0";
    }
    std::string out = std::to_string(m_limbs.back());
    for (std::size_t i = m_limbs.size() - 1; i-- > 0;) {
      const std::string part = std::to_string(m_limbs[i]);
      out.append(9 - part.size(), '0');
      out += part;
    }
    return out;
  }

private:
  static constexpr std::uint64_t k_base = 1'000'000'000;
  std::vector<std::uint32_t> m_limbs;
};

// Accumulates `digits` in `base` into `m`; false on an empty text or a digit out
// of range.
bool accumulate(Magnitude& m, std::string_view digits, std::uint32_t base)
{
  if (digits.empty()) {
    return false;
  }
  for (char c : digits) {
    const int d = text::hex_digit(c);
    if (d < 0 || d >= static_cast<int>(base)) {
      return false;
    }
    m.mul_add(base, static_cast<std::uint32_t>(d));
  }
  return true;
}

// An int64 when the value fits, otherwise a BigInt of its decimal digits.
Value integer_value(bool negative, const std::string& magnitude)
{
  static const std::string k_max = std::to_string(std::numeric_limits<std::int64_t>::max());
  if (magnitude == "0") {
    return Value{0};
  }
  if (magnitude.size() < k_max.size() || (magnitude.size() == k_max.size() && magnitude <= k_max)) {
    const auto v = static_cast<std::int64_t>(std::stoull(magnitude));
    return Value{static_cast<long long>(negative ? -v : v)};
  }
  if (negative && magnitude == "9223372036854775808") {
    return Value{static_cast<long long>(std::numeric_limits<std::int64_t>::min())};
  }
  return Value{BigInt{(negative ? "-" : "") + magnitude}};
}

std::string without_underscores(std::string_view text)
{
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '_') {
      out += c;
    }
  }
  return out;
}

} // namespace

Value construct_int(std::string_view text)
{
  std::string s = without_underscores(text);
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    s.erase(0, 1);
  }
  if (s.size() > k_max_integer_digits) {
    refuse("integer has too many digits:", text.substr(0, 40));
  }
  Magnitude m;
  bool ok = true;
  const std::string_view v = s;
  if (v.starts_with("0b")) {
    ok = accumulate(m, v.substr(2), 2);
  } else if (v.starts_with("0x")) {
    ok = accumulate(m, v.substr(2), 16);
  } else if (v.starts_with("0o")) {
    ok = accumulate(m, v.substr(2), 8);
  } else if (v.starts_with("0")) {
    ok = accumulate(m, v, 8);
  } else if (v.find(':') != std::string_view::npos) {
    // Sexagesimal: Horner's rule over the colon-separated parts.
    std::size_t start = 0;
    bool first = true;
    while (ok) {
      const std::size_t colon = v.find(':', start);
      const std::string_view part = v.substr(start, colon - start);
      if (first) {
        ok = accumulate(m, part, 10);
        first = false;
      } else {
        Magnitude small;
        ok = accumulate(small, part, 10) && part.size() <= 9;
        if (ok) {
          m.mul_add(60, static_cast<std::uint32_t>(std::stoul(std::string(part))));
        }
      }
      if (colon == std::string_view::npos) {
        break;
      }
      start = colon + 1;
    }
  } else {
    ok = accumulate(m, v, 10);
  }
  if (!ok) {
    refuse("invalid integer", text);
  }
  return integer_value(negative, m.decimal());
}

namespace {

locale_t c_locale()
{
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return locale;
}

// Python's float() on the decimal forms a float scalar can take once its
// underscores and sign are gone: digits with an optional point and exponent,
// or the words inf, infinity and nan.
std::optional<double> parse_decimal_float(const std::string& s)
{
  if (s == "inf" || s == "infinity") {
    return std::numeric_limits<double>::infinity();
  }
  if (s == "nan") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      ++i;
    }
    return i - from;
  };
  std::size_t mantissa = digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) {
    return std::nullopt;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      ++i;
    }
    if (digits() == 0) {
      return std::nullopt;
    }
  }
  if (i != s.size()) {
    return std::nullopt;
  }
  // strtod_l: correctly rounded, overflow to inf and underflow to 0 as Python,
  // and immune to the process locale's decimal point.
  return strtod_l(s.c_str(), nullptr, c_locale());
}

} // namespace

Value construct_float(std::string_view text)
{
  std::string s = without_underscores(text);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  double sign = 1.0;
  if (!s.empty() && s[0] == '-') {
    sign = -1.0;
  }
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    s.erase(0, 1);
  }
  if (s == ".inf") {
    return Value{sign * std::numeric_limits<double>::infinity()};
  }
  if (s == ".nan") {
    return Value{std::numeric_limits<double>::quiet_NaN()};
  }
  if (s.find(':') != std::string::npos) {
    // Sexagesimal, summed from the last part as SafeConstructor does so that the
    // rounding is the same.
    std::vector<double> parts;
    std::size_t start = 0;
    while (true) {
      const std::size_t colon = s.find(':', start);
      const auto part = parse_decimal_float(s.substr(start, colon - start));
      if (!part) {
        refuse("invalid float", text);
      }
      parts.push_back(*part);
      if (colon == std::string::npos) {
        break;
      }
      start = colon + 1;
    }
    double base = 1.0;
    double value = 0.0;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
      value += *it * base;
      base *= 60.0;
    }
    return Value{sign * value};
  }
  const auto value = parse_decimal_float(s);
  if (!value) {
    refuse("invalid float", text);
  }
  return Value{sign * *value};
}

} // namespace kolvex::core::yaml
