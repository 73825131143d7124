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

// Whether encoded surrogates (U+D800..U+DFFF) count as well-formed: Python's own
// UTF-8 refuses them, but a string that came from a JSON "\ud800" escape holds one.
enum class Surrogates { reject, accept };

// Decodes one sequence at `pos` (< bytes.size()); see Utf8Step.  Overlongs, code
// points above U+10FFFF and (unless `surrogates` accepts them) surrogates are
// ill-formed.  The one UTF-8 walker: every other reader steps with it.
[[nodiscard]] Utf8Step
utf8_step(std::string_view bytes, std::size_t pos, Surrogates surrogates = Surrogates::reject);

// One decoded sequence: the step, and the code point it encodes (U+FFFD when it is
// ill-formed).
struct CodePoint {
  char32_t value = 0xFFFD;
  std::size_t length = 1;
  bool valid = false;
};

// The code point at `pos` (< bytes.size()), stepped as utf8_step does.
[[nodiscard]] CodePoint
decode_utf8(std::string_view bytes, std::size_t pos, Surrogates surrogates = Surrogates::reject);

// Whether `text` is non-empty and all lower-case hexadecimal digits.
[[nodiscard]] bool is_lower_hex(std::string_view text);

// Whether `text` has the shape of a full git object name: 40 (SHA-1) or 64 (SHA-256)
// lower-case hexadecimal digits.
[[nodiscard]] bool is_object_name(std::string_view text);

// `s` without the leading and trailing characters Python's str.isspace() accepts
// (ASCII blanks, NEL, no-break space, U+2000..U+200A, U+2028, U+2029, ...), as
// str.strip() removes them; `s` must be valid UTF-8.
[[nodiscard]] std::string_view python_strip(std::string_view s);

// Appends code point `cp` (at most U+10FFFF) to `out` as UTF-8.
void append_utf8(std::string& out, char32_t cp);

} // namespace kolvex::core::text
