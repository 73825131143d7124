#include "core/json_edit.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"

#include <algorithm>

namespace kolvex::core::json_edit {

namespace {

bool is_space(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c)
{
  return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class Scanner {
public:
  explicit Scanner(std::string_view text) : m_text(text) {}

  Node document()
  {
    if (m_text.starts_with("\xEF\xBB\xBF")) {
      fail("a byte-order mark (not JSON)");
    }
    skip_space();
    Node node = value(0);
    skip_space();
    if (m_pos != m_text.size()) {
      fail("text after the JSON value");
    }
    return node;
  }

private:
  [[noreturn]] void fail(std::string_view what) const
  {
    throw NotEditableError(std::string(what) + " at byte " + std::to_string(m_pos));
  }

  [[nodiscard]] bool at_end() const { return m_pos >= m_text.size(); }
  [[nodiscard]] char peek() const { return at_end() ? '\0' : m_text[m_pos]; }

  void skip_space()
  {
    while (!at_end() && is_space(m_text[m_pos])) {
      ++m_pos;
    }
    if (m_text.substr(m_pos).starts_with("//") || m_text.substr(m_pos).starts_with("/*")) {
      fail("a comment (not JSON)");
    }
  }

  void expect(char c, std::string_view what)
  {
    if (peek() != c) {
      fail(what);
    }
    ++m_pos;
  }

  Node value(int depth)
  {
    if (depth > k_max_depth) {
      fail("nesting too deep");
    }
    Node node;
    node.begin = m_pos;
    switch (peek()) {
    case '{':
      node.kind = Node::Kind::object;
      object(node, depth + 1);
      break;
    case '[':
      node.kind = Node::Kind::array;
      array(node, depth + 1);
      break;
    case '"':
      node.kind = Node::Kind::string;
      (void)string();
      break;
    default:
      if (peek() == '-' || is_digit(peek())) {
        node.kind = Node::Kind::number;
        number();
      } else {
        node.kind = Node::Kind::literal;
        literal();
      }
    }
    node.end = m_pos;
    return node;
  }

  void object(Node& node, int depth)
  {
    ++m_pos;
    skip_space();
    if (peek() == '}') {
      ++m_pos;
      return;
    }
    while (true) {
      skip_space();
      if (peek() != '"') {
        fail(peek() == '}' ? "a trailing comma (not JSON)" : "expected a key");
      }
      std::string key = string();
      skip_space();
      expect(':', "expected ':'");
      skip_space();
      node.members.push_back(Member{std::move(key), value(depth)});
      skip_space();
      if (peek() == ',') {
        ++m_pos;
        continue;
      }
      expect('}', "expected ',' or '}'");
      return;
    }
  }

  void array(Node& node, int depth)
  {
    ++m_pos;
    skip_space();
    if (peek() == ']') {
      ++m_pos;
      return;
    }
    while (true) {
      skip_space();
      if (peek() == ']') {
        fail("a trailing comma (not JSON)");
      }
      node.items.push_back(value(depth));
      skip_space();
      if (peek() == ',') {
        ++m_pos;
        continue;
      }
      expect(']', "expected ',' or ']'");
      return;
    }
  }

  // The string at the cursor, decoded by the JSON reader once its syntax is known
  // to be strict.
  std::string string()
  {
    const std::size_t begin = m_pos;
    ++m_pos;
    while (true) {
      if (at_end()) {
        fail("an unterminated string");
      }
      const auto c = static_cast<unsigned char>(m_text[m_pos]);
      if (c == '"') {
        ++m_pos;
        break;
      }
      if (c < 0x20) {
        fail("a control character in a string");
      }
      if (c == '\\') {
        ++m_pos;
        const char e = peek();
        if (e == 'u') {
          for (int i = 1; i <= 4; ++i) {
            if (m_pos + static_cast<std::size_t>(i) >= m_text.size() ||
                !is_hex(m_text[m_pos + static_cast<std::size_t>(i)])) {
              fail("a bad \\u escape");
            }
          }
          m_pos += 4;
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos || e == '\0') {
          fail("a bad escape");
        }
      }
      ++m_pos;
    }
    const std::string_view raw = m_text.substr(begin, m_pos - begin);
    if (!fs::is_valid_utf8(raw)) {
      fail("a string that is not UTF-8");
    }
    return json::parse(raw).as_string();
  }

  void digits()
  {
    if (!is_digit(peek())) {
      fail("a malformed number");
    }
    while (is_digit(peek())) {
      ++m_pos;
    }
  }

  void number()
  {
    if (peek() == '-') {
      ++m_pos;
    }
    if (peek() == '0') {
      ++m_pos;
      if (is_digit(peek())) {
        fail("a number with a leading zero");
      }
    } else {
      digits();
    }
    if (peek() == '.') {
      ++m_pos;
      digits();
    }
    if (peek() == 'e' || peek() == 'E') {
      ++m_pos;
      if (peek() == '+' || peek() == '-') {
        ++m_pos;
      }
      digits();
    }
  }

  void literal()
  {
    for (const std::string_view word : {"true", "false", "null"}) {
      if (m_text.substr(m_pos).starts_with(word)) {
        m_pos += word.size();
        return;
      }
    }
    fail(at_end() ? "expected a value"
                  : "expected a value (NaN, Infinity and bare words are not JSON)");
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
};

// How the file lays itself out: its line end and one level of indentation.
struct Layout {
  std::string eol;
  std::string unit;
};

Layout layout_of(std::string_view text)
{
  Layout layout{text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n", "  "};
  // The first indented line is one level in, in every layout a person or a
  // formatter writes.
  for (std::size_t nl = text.find('\n'); nl != std::string_view::npos;
       nl = text.find('\n', nl + 1)) {
    const std::size_t start = nl + 1;
    const std::size_t content = text.find_first_not_of(" \t", start);
    if (content == std::string_view::npos) {
      break;
    }
    if (content > start && text[content] != '\r' && text[content] != '\n') {
      layout.unit = std::string(text.substr(start, content - start));
      break;
    }
  }
  return layout;
}

// The blanks that begin the line `pos` is on.
std::string indent_at(std::string_view text, std::size_t pos)
{
  const std::size_t nl = text.rfind('\n', pos == 0 ? 0 : pos - 1);
  const std::size_t start = nl == std::string_view::npos || pos == 0 ? 0 : nl + 1;
  std::size_t end = start;
  while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) {
    ++end;
  }
  return std::string(text.substr(start, end - start));
}

// Whether the byte at `pos` is the first on its line but for blanks.
bool begins_line(std::string_view text, std::size_t pos)
{
  while (pos > 0 && (text[pos - 1] == ' ' || text[pos - 1] == '\t')) {
    --pos;
  }
  return pos == 0 || text[pos - 1] == '\n';
}

// `value` as JSON, one item a line below `base` in the file's layout, or on one
// line when `layout` is null.
std::string render(const Value& value, const Layout* layout, std::string_view base)
{
  if (layout == nullptr) {
    return json::dump(value);
  }
  // One space a level, then each level's space replaced by the file's unit; the
  // strings we write hold no line break, so every line's leading spaces are its
  // depth.
  const std::string plain = json::dump_indented(value, 1);
  std::string out;
  std::size_t start = 0;
  while (start <= plain.size()) {
    std::size_t end = plain.find('\n', start);
    end = end == std::string::npos ? plain.size() : end;
    const std::string_view line = std::string_view(plain).substr(start, end - start);
    if (start > 0) {
      out += layout->eol;
      out += base;
      const std::size_t depth = std::min(line.find_first_not_of(' '), line.size());
      for (std::size_t i = 0; i < depth; ++i) {
        out += layout->unit;
      }
      out += line.substr(depth);
    } else {
      out += line;
    }
    start = end + 1;
  }
  return out;
}

// Adds `entry` (a rendered member or item, given its indentation) after the last
// child of `container`, whose children end at `last_end` (npos when it has none)
// and begin with `first_begin`.
template <typename Render>
std::string add_child(std::string_view text,
                      const Node& container,
                      std::size_t first_begin,
                      std::size_t last_end,
                      const Render& entry)
{
  const Layout layout = layout_of(text);
  std::string out;
  if (last_end != std::string_view::npos) {
    if (begins_line(text, first_begin)) {
      const std::string indent = indent_at(text, first_begin);
      out = std::string(text.substr(0, last_end)) + "," + layout.eol + indent +
            entry(&layout, indent) + std::string(text.substr(last_end));
    } else {
      out = std::string(text.substr(0, last_end)) + ", " + entry(nullptr, "") +
            std::string(text.substr(last_end));
    }
    return out;
  }
  const std::size_t inner = container.begin + 1;
  const std::string_view between = text.substr(inner, container.end - 1 - inner);
  const bool multiline =
      between.find('\n') != std::string_view::npos || text.find('\n') != std::string_view::npos;
  if (!multiline) {
    return std::string(text.substr(0, inner)) + entry(nullptr, "") +
           std::string(text.substr(inner));
  }
  const std::string outer = indent_at(text, container.begin);
  const std::string indent = outer + layout.unit;
  out = std::string(text.substr(0, inner)) + layout.eol + indent + entry(&layout, indent);
  if (between.find('\n') == std::string_view::npos) {
    // "{}" opened up: its closing brace goes on a line of its own (after any
    // blanks that stood before it).
    out += layout.eol + outer + std::string(text.substr(inner));
  } else {
    out += std::string(text.substr(inner));
  }
  return out;
}

// Where the child after `previous_end` begins: past the blanks, the comma and the
// blanks that separate two children in strict JSON.
std::size_t next_child(std::string_view text, std::size_t previous_end)
{
  std::size_t at = text.find_first_not_of(" \t\r\n", previous_end);
  if (at != std::string_view::npos && text[at] == ',') {
    at = text.find_first_not_of(" \t\r\n", at + 1);
  }
  return at;
}

// Takes out child `index` of `container` (its children begin at `begins` and end
// at `ends`), undoing add_child: the separator before it (or after it, for the
// first of several), and for the only child the line break and indentation that
// opened up an empty container.
std::string remove_child(std::string_view text,
                         const Node& container,
                         const std::vector<std::size_t>& begins,
                         const std::vector<std::size_t>& ends,
                         std::size_t index)
{
  const auto cut = [&](std::size_t from, std::size_t to) {
    return std::string(text.substr(0, from)) + std::string(text.substr(to));
  };
  if (index >= begins.size()) {
    throw std::out_of_range("no such child");
  }
  if (begins.size() > 1) {
    return index > 0 ? cut(ends[index - 1], ends[index]) : cut(begins[0], begins[1]);
  }
  const std::size_t inner = container.begin + 1;
  if (begins[0] == inner) {
    return cut(inner, ends[0]);
  }
  const Layout layout = layout_of(text);
  const std::string closing = layout.eol + indent_at(text, container.begin);
  const std::string_view after = text.substr(ends[0], container.end - 1 - ends[0]);
  if (after.starts_with(closing) &&
      after.substr(closing.size()).find('\n') == std::string_view::npos) {
    return cut(inner, ends[0] + closing.size());
  }
  return cut(inner, ends[0]);
}

} // namespace

const Node* Node::member(std::string_view key) const
{
  const Node* found = nullptr;
  for (const auto& [name, node] : members) {
    if (name == key) {
      found = &node;
    }
  }
  return found;
}

Node scan(std::string_view text)
{
  return Scanner(text).document();
}

std::string
add_member(std::string_view text, const Node& object, std::string_view key, const Value& value)
{
  const std::string name = json::dump(Value(std::string(key)));
  const auto entry = [&](const Layout* layout, std::string_view indent) {
    return name + ": " + render(value, layout, indent);
  };
  if (object.members.empty()) {
    return add_child(text, object, 0, std::string_view::npos, entry);
  }
  // Nothing but blanks comes between the brace and the first key (a comment is
  // refused by the scan).
  const std::size_t first_key = text.find_first_not_of(" \t\r\n", object.begin + 1);
  return add_child(text, object, first_key, object.members.back().second.end, entry);
}

std::string add_item(std::string_view text, const Node& array, const Value& value)
{
  const auto entry = [&](const Layout* layout, std::string_view indent) {
    return render(value, layout, indent);
  };
  if (array.items.empty()) {
    return add_child(text, array, 0, std::string_view::npos, entry);
  }
  return add_child(text, array, array.items.front().begin, array.items.back().end, entry);
}

std::string replace_value(std::string_view text, const Node& node, const Value& value)
{
  const Layout layout = layout_of(text);
  const bool multiline = text.find('\n') != std::string_view::npos;
  return std::string(text.substr(0, node.begin)) +
         render(value, multiline ? &layout : nullptr, indent_at(text, node.begin)) +
         std::string(text.substr(node.end));
}

std::string remove_member(std::string_view text, const Node& object, std::size_t index)
{
  std::vector<std::size_t> begins;
  std::vector<std::size_t> ends;
  std::size_t at = object.begin + 1;
  for (const auto& [key, value] : object.members) {
    begins.push_back(begins.empty() ? text.find_first_not_of(" \t\r\n", at) : next_child(text, at));
    ends.push_back(value.end);
    at = value.end;
  }
  return remove_child(text, object, begins, ends, index);
}

std::string remove_item(std::string_view text, const Node& array, std::size_t index)
{
  std::vector<std::size_t> begins;
  std::vector<std::size_t> ends;
  for (const Node& item : array.items) {
    begins.push_back(item.begin);
    ends.push_back(item.end);
  }
  return remove_child(text, array, begins, ends, index);
}

} // namespace kolvex::core::json_edit
