#include "core/pyrepr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace kolvex::core {

std::string float_repr(double value)
{
  if (std::isnan(value)) {
    return "nan";
  }
  if (std::isinf(value)) {
    return value < 0 ? "-inf" : "inf";
  }
  // Shortest round-trip digits in scientific form: "d.ddde+XX".
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const auto e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') {
      digits += c;
    }
  }
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  const int ndigits = static_cast<int>(digits.size());

  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (ndigits > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) {
      out += '0';
    }
    out += std::to_string(magnitude);
    return out;
  }
  const int decpt = exponent + 1; // digits before the decimal point
  if (decpt <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-decpt), '0');
    out += digits;
  } else if (decpt >= ndigits) {
    out += digits;
    out.append(static_cast<std::size_t>(decpt - ndigits), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(decpt));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(decpt));
  }
  return out;
}

} // namespace kolvex::core
