#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::text {

// `s` without leading and trailing ASCII white space (space, \t, \n, \r, \v, \f), as
// Python's str.strip() treats ASCII text.  The view points into `s`.
[[nodiscard]] std::string_view trim(std::string_view s);

// `s` with ASCII letters lower-cased; every other byte (UTF-8 included) kept as is.
[[nodiscard]] std::string lower(std::string_view s);

// The value of the hexadecimal digit `c` (either case), -1 when it is none.
[[nodiscard]] int hex_digit(char c);

// True when `s` begins with `prefix`.
[[nodiscard]] bool starts_with(std::string_view s, std::string_view prefix);

// `parts` joined with `sep` between neighbours ("" for no parts).
[[nodiscard]] std::string join(const std::vector<std::string>& parts, std::string_view sep);

// Python's str.split(sep) for one character: every `sep` cuts, so "" gives one empty
// piece and "a,,b" gives "a", "", "b".
[[nodiscard]] std::vector<std::string> split(std::string_view s, char sep);

// One step of UTF-8 decoding at `pos` of `bytes`.  `length` is the length of the
// well-formed sequence there (1-4) when `valid`, otherwise the length of its maximal
// subpart: the bytes that one U+FFFD stands for under the Unicode "maximal subpart"
// practice, which is also what Python's errors="replace" does.
struct Utf8Step {
  std::size_t length = 1;
  bool valid = false;
};

// Decodes one sequence at `pos` (< bytes.size()); see Utf8Step.  Overlongs,
// surrogates and code points above U+10FFFF are ill-formed.
[[nodiscard]] Utf8Step utf8_step(std::string_view bytes, std::size_t pos);

// `s` without the leading and trailing characters Python's str.isspace() accepts
// (ASCII blanks, NEL, no-break space, U+2000..U+200A, U+2028, U+2029, ...), as
// str.strip() removes them; `s` must be valid UTF-8.
[[nodiscard]] std::string_view python_strip(std::string_view s);

// Appends code point `cp` (at most U+10FFFF) to `out` as UTF-8.
void append_utf8(std::string& out, char32_t cp);

} // namespace kolvex::core::text
