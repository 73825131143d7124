#pragma once

// Edits of a JSON file that belongs to someone else (a harness's settings, a
// tool-server list) which change only the bytes of the edit.  Parsing into a Value
// and writing it back would re-indent the file, reorder or drop a duplicated key,
// turn "1.50" into 1.5 and "é" into an escape; here the text is scanned for where
// each value lies, and the new text is spliced in, written in the file's own
// indentation and line ends.
//
// Only strict JSON is edited (RFC 8259: no comments, no trailing commas, no NaN, no
// byte-order mark): a file that relies on a reader's leniency is one whose reader
// we do not know, so it is refused rather than guessed at.

#include "core/value.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolvex::core::json_edit {

// A text that is not strict JSON; what() says what and where (byte offset).
class NotEditableError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Where one value lies in the text: [begin, end) in bytes, and what it holds.
struct Member;

struct Node {
  enum class Kind { object, array, string, number, literal };
  Kind kind = Kind::literal;
  std::size_t begin = 0;
  std::size_t end = 0;
  // An object's members in the order written, keys decoded (repeats kept).
  // (A struct of its own, not a std::pair: a pair needs Node complete, which it is
  // not yet here, and clang says so.)
  std::vector<Member> members;
  // An array's items.
  std::vector<Node> items;

  // The member `key` as a JSON reader sees it (the last of repeated keys), or null.
  [[nodiscard]] const Node* member(std::string_view key) const;
};

// One member of an object: its key, decoded, and its value.
struct Member {
  std::string first;
  Node second;
};

// The nesting a scan accepts; deeper is refused rather than a blown stack.
inline constexpr int k_max_depth = 512;

// The value `text` holds, with every value's place.  Throws NotEditableError for
// anything but one strict JSON value with blanks around it.
[[nodiscard]] Node scan(std::string_view text);

// `text` with `key`: `value` added as the last member of `object` (a node of `text`),
// laid out as the object's other members are (one a line in the file's indentation
// and line end, or all on one line).
[[nodiscard]] std::string
add_member(std::string_view text, const Node& object, std::string_view key, const Value& value);

// `text` with `value` added as the last item of `array` (a node of `text`), laid
// out as add_member lays out a member.
[[nodiscard]] std::string add_item(std::string_view text, const Node& array, const Value& value);

// `text` with the value at `node` replaced by `value`, written at that place's
// indentation.
[[nodiscard]] std::string
replace_value(std::string_view text, const Node& node, const Value& value);

// `text` without the member at `index` (in written order) of `object`, or the item
// at `index` of `array`: the exact inverse of add_member and add_item, so that a
// member added and then removed gives the text back byte for byte (a container left
// empty closes up as "{}" or "[]" again).
[[nodiscard]] std::string
remove_member(std::string_view text, const Node& object, std::size_t index);
[[nodiscard]] std::string remove_item(std::string_view text, const Node& array, std::size_t index);

} // namespace kolvex::core::json_edit
