#include "core/text.hpp"

namespace kolvex::core::text {

namespace {

bool is_ascii_space(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

std::string_view trim(std::string_view s)
{
  while (!s.empty() && is_ascii_space(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && is_ascii_space(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

std::string lower(std::string_view s)
{
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

int hex_digit(char c)
{
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool starts_with(std::string_view s, std::string_view prefix)
{
  return s.substr(0, prefix.size()) == prefix;
}

std::string join(const std::vector<std::string>& parts, std::string_view sep)
{
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) {
      out += sep;
    }
    out += parts[i];
  }
  return out;
}

std::vector<std::string> split(std::string_view s, char sep)
{
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == sep) {
      out.emplace_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  out.emplace_back(s.substr(start));
  return out;
}

// The well-formed sequences (Unicode Table 3-7): the lead byte fixes the length and
// the range of the second byte; every later byte is 80..BF.  Narrowing the second
// byte's range is what excludes overlongs (E0, F0), surrogates (ED) and code points
// past U+10FFFF (F4).  A sequence that breaks off is replaced as one unit together
// with its valid prefix; the offending byte starts the next step.
Utf8Step utf8_step(std::string_view bytes, std::size_t pos)
{
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) {
    return {1, true};
  }
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) {
      low = 0xA0;
    } else if (lead == 0xED) {
      high = 0x9F;
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) {
      low = 0x90;
    } else if (lead == 0xF4) {
      high = 0x8F;
    }
  } else {
    return {1, false};
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (pos + k >= bytes.size()) {
      return {k, false};
    }
    const auto byte = static_cast<unsigned char>(bytes[pos + k]);
    if (byte < low || byte > high) {
      return {k, false};
    }
    low = 0x80;
    high = 0xBF;
  }
  return {length, true};
}

void append_utf8(std::string& out, char32_t cp)
{
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

// Python's str.strip() removes every character for which isspace() holds, not
// only ASCII blanks; a line indented with a no-break space still parses there.
// Returns the byte length of such a character starting at `s[i]`, or 0.
std::size_t space_at(std::string_view s, std::size_t i)
{
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const std::size_t left = s.size() - i;
  const unsigned char c = b(0);
  if ((c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20)) {
    return 1;
  }
  if (c == 0xc2 && left >= 2 && (b(1) == 0x85 || b(1) == 0xa0)) {
    return 2;
  }
  if (left < 3) {
    return 0;
  }
  if (c == 0xe1 && b(1) == 0x9a && b(2) == 0x80) { // U+1680
    return 3;
  }
  if (c == 0xe2 && b(1) == 0x80 // U+2000..200A, U+2028, U+2029, U+202F
      && ((b(2) >= 0x80 && b(2) <= 0x8a) || b(2) == 0xa8 || b(2) == 0xa9 || b(2) == 0xaf)) {
    return 3;
  }
  if (c == 0xe2 && b(1) == 0x81 && b(2) == 0x9f) { // U+205F
    return 3;
  }
  if (c == 0xe3 && b(1) == 0x80 && b(2) == 0x80) { // U+3000
    return 3;
  }
  return 0;
}

// The byte length of a whitespace character ending just before `s[n]`, or 0.  In
// valid UTF-8 a candidate sequence found by its lead byte is exactly one character.
std::size_t space_before(std::string_view s, std::size_t n)
{
  for (std::size_t len = 1; len <= 3 && len <= n; ++len) {
    if (space_at(s.substr(0, n), n - len) == len) {
      return len;
    }
  }
  return 0;
}

} // namespace

std::string_view python_strip(std::string_view s)
{
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t len = space_at(s, begin);
    if (len == 0) {
      break;
    }
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    const std::size_t len = space_before(s, end);
    if (len == 0) {
      break;
    }
    end -= len;
  }
  return s.substr(begin, end - begin);
}

} // namespace kolvex::core::text
