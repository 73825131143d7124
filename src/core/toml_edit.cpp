#include "core/toml_edit.hpp"

#include "core/fs.hpp"
#include "core/text.hpp"

#include <re2/re2.h>

#include <map>
#include <optional>

namespace kolvex::core::toml_edit {

namespace {

// How deep arrays and inline tables may nest before the file is refused.
constexpr int k_max_depth = 256;

bool is_bare_key_char(char c)
{
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Bytes TOML allows in a comment or a string: no control character but the tab.
bool is_forbidden_control(unsigned char c)
{
  return (c < 0x20 && c != '\t') || c == 0x7F;
}

bool is_hex(char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The scalars TOML 1.0 writes without quotes.
bool valid_scalar(std::string_view token)
{
  static const RE2 integer(R"([+-]?(0|[1-9](_?[0-9])*)|0x[0-9A-Fa-f](_?[0-9A-Fa-f])*|)"
                           R"(0o[0-7](_?[0-7])*|0b[01](_?[01])*)");
  static const RE2 floating(
      R"([+-]?(0|[1-9](_?[0-9])*)((\.[0-9](_?[0-9])*)([eE][+-]?[0-9](_?[0-9])*)?|)"
      R"([eE][+-]?[0-9](_?[0-9])*)|[+-]?(inf|nan))");
  static const RE2 date_time(
      R"(((\d{4})-(\d{2})-(\d{2}))?([Tt ]?)((\d{2}):(\d{2}):(\d{2})(\.\d+)?)?)"
      R"(([Zz]|[+-](\d{2}):(\d{2}))?)");
  if (token == "true" || token == "false") {
    return true;
  }
  const re2::StringPiece piece(token.data(), token.size());
  if (RE2::FullMatch(piece, integer) || RE2::FullMatch(piece, floating)) {
    return true;
  }
  std::string date;
  std::string year;
  std::string month;
  std::string day;
  std::string separator;
  std::string time;
  std::string hour;
  std::string minute;
  std::string second;
  std::string fraction;
  std::string offset;
  std::string offset_hour;
  std::string offset_minute;
  if (!RE2::FullMatch(piece,
                      date_time,
                      &date,
                      &year,
                      &month,
                      &day,
                      &separator,
                      &time,
                      &hour,
                      &minute,
                      &second,
                      &fraction,
                      &offset,
                      &offset_hour,
                      &offset_minute)) {
    return false;
  }
  // A date, a time, or both joined by one separator; an offset only after both.
  if ((date.empty() && time.empty()) || (!date.empty() && !time.empty() && separator.empty()) ||
      ((date.empty() || time.empty()) && !separator.empty()) ||
      (!offset.empty() && (date.empty() || time.empty()))) {
    return false;
  }
  if (!date.empty()) {
    const int y = std::stoi(year);
    const int m = std::stoi(month);
    const int d = std::stoi(day);
    constexpr int k_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m < 1 || m > 12 || d < 1 || d > k_days[m - 1] + (m == 2 && leap ? 1 : 0)) {
      return false;
    }
  }
  if (!time.empty() && (std::stoi(hour) > 23 || std::stoi(minute) > 59 || std::stoi(second) > 59)) {
    return false;
  }
  return offset_hour.empty() || (std::stoi(offset_hour) <= 23 && std::stoi(offset_minute) <= 59);
}

// What a path of the document has been defined as, so that a second definition is
// caught as TOML readers catch it.
enum class Def { implicit_table, header_table, dotted_table, value, array_of_tables };

struct Definition {
  Def kind = Def::implicit_table;
  int count = 0; // elements of an array of tables
};

using Path = std::vector<std::string>;

class Scanner {
public:
  explicit Scanner(std::string_view text) : m_text(text) {}

  std::vector<Statement> statements()
  {
    if (!fs::is_valid_utf8(m_text)) {
      fail("the file is not UTF-8");
    }
    std::vector<Statement> out;
    while (true) {
      skip_blanks();
      if (at_end()) {
        break;
      }
      if (peek() == '#' || peek() == '\n' || peek() == '\r') {
        end_of_line();
        continue;
      }
      Statement statement;
      statement.begin = m_pos;
      if (peek() == '[') {
        header(statement);
      } else {
        key_value(statement);
      }
      end_of_line();
      statement.line_end = m_pos;
      out.push_back(std::move(statement));
    }
    return out;
  }

private:
  [[noreturn]] void fail(std::string_view what) const
  {
    std::size_t line = 1;
    for (std::size_t i = 0; i < m_pos && i < m_text.size(); ++i) {
      line += m_text[i] == '\n' ? 1 : 0;
    }
    throw NotEditableError(std::string(what) + " on line " + std::to_string(line));
  }

  [[nodiscard]] bool at_end() const { return m_pos >= m_text.size(); }
  [[nodiscard]] char peek(std::size_t ahead = 0) const
  {
    return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : '\0';
  }
  [[nodiscard]] bool looking_at(std::string_view s) const
  {
    return m_text.substr(m_pos).starts_with(s);
  }

  void skip_blanks()
  {
    while (peek() == ' ' || peek() == '\t') {
      ++m_pos;
    }
  }

  // Consumes a line break; false when there is none here.
  bool newline()
  {
    if (peek() == '\n') {
      ++m_pos;
      return true;
    }
    if (looking_at("\r\n")) {
      m_pos += 2;
      return true;
    }
    return false;
  }

  void comment()
  {
    if (peek() != '#') {
      return;
    }
    while (!at_end() && peek() != '\n' && !looking_at("\r\n")) {
      if (is_forbidden_control(static_cast<unsigned char>(peek()))) {
        fail("a control character in a comment");
      }
      ++m_pos;
    }
  }

  // Blanks, a comment, then the line's end or the file's.
  void end_of_line()
  {
    skip_blanks();
    comment();
    if (!at_end() && !newline()) {
      fail("more after a statement");
    }
  }

  // Blanks, comments and line breaks, as arrays allow between items.
  void skip_array_space()
  {
    while (true) {
      skip_blanks();
      comment();
      if (!newline()) {
        return;
      }
    }
  }

  // ---- Keys --------------------------------------------------------------------

  std::string simple_key()
  {
    if (peek() == '"') {
      if (looking_at("\"\"\"")) {
        fail("a multi-line string as a key");
      }
      return basic_string();
    }
    if (peek() == '\'') {
      if (looking_at("'''")) {
        fail("a multi-line string as a key");
      }
      return literal_string();
    }
    const std::size_t begin = m_pos;
    while (is_bare_key_char(peek())) {
      ++m_pos;
    }
    if (m_pos == begin) {
      fail("expected a key");
    }
    return std::string(m_text.substr(begin, m_pos - begin));
  }

  Path dotted_key()
  {
    Path key{simple_key()};
    while (true) {
      skip_blanks();
      if (peek() != '.') {
        return key;
      }
      ++m_pos;
      skip_blanks();
      key.push_back(simple_key());
    }
  }

  // ---- Strings -----------------------------------------------------------------

  // One escape after its backslash, appended to `out`.
  void escape(std::string& out)
  {
    const char e = peek();
    ++m_pos;
    switch (e) {
    case 'b':
      out += '\b';
      return;
    case 't':
      out += '\t';
      return;
    case 'n':
      out += '\n';
      return;
    case 'f':
      out += '\f';
      return;
    case 'r':
      out += '\r';
      return;
    case '"':
      out += '"';
      return;
    case '\\':
      out += '\\';
      return;
    case 'u':
    case 'U': {
      const std::size_t digits = e == 'u' ? 4 : 8;
      char32_t cp = 0;
      for (std::size_t i = 0; i < digits; ++i) {
        const char h = peek();
        if (!is_hex(h)) {
          fail("a bad \\u escape");
        }
        cp = cp * 16 + static_cast<char32_t>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
        ++m_pos;
      }
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        fail("an escape that is no Unicode scalar value");
      }
      text::append_utf8(out, cp);
      return;
    }
    default:
      fail("a bad escape");
    }
  }

  std::string basic_string()
  {
    ++m_pos;
    std::string out;
    while (true) {
      if (at_end() || peek() == '\n' || peek() == '\r') {
        fail("an unterminated string");
      }
      const char c = peek();
      if (c == '"') {
        ++m_pos;
        return out;
      }
      if (is_forbidden_control(static_cast<unsigned char>(c))) {
        fail("a control character in a string");
      }
      ++m_pos;
      if (c == '\\') {
        escape(out);
      } else {
        out += c;
      }
    }
  }

  std::string literal_string()
  {
    ++m_pos;
    const std::size_t begin = m_pos;
    while (peek() != '\'') {
      if (at_end() || peek() == '\n' || peek() == '\r' ||
          is_forbidden_control(static_cast<unsigned char>(peek()))) {
        fail("an unterminated or bad literal string");
      }
      ++m_pos;
    }
    ++m_pos;
    return std::string(m_text.substr(begin, m_pos - 1 - begin));
  }

  // A multi-line string opened by three `quote`s; `basic` for """ (escapes).
  void multi_line_string(char quote, bool basic)
  {
    m_pos += 3;
    std::string scratch;
    while (true) {
      if (at_end()) {
        fail("an unterminated multi-line string");
      }
      if (peek() == quote && peek(1) == quote && peek(2) == quote) {
        std::size_t run = 3;
        while (peek(run) == quote) {
          ++run;
        }
        if (run > 5) {
          fail("too many quotes closing a multi-line string");
        }
        m_pos += run;
        return;
      }
      if (newline()) {
        continue;
      }
      const char c = peek();
      if (is_forbidden_control(static_cast<unsigned char>(c))) {
        fail("a control character in a string");
      }
      ++m_pos;
      if (basic && c == '\\') {
        // A backslash at a line's end (blanks allowed) joins the lines.
        const std::size_t save = m_pos;
        skip_blanks();
        if (newline()) {
          while (true) {
            skip_blanks();
            if (!newline()) {
              break;
            }
          }
        } else {
          m_pos = save;
          escape(scratch);
        }
      }
    }
  }

  // ---- Values ------------------------------------------------------------------

  Statement::Value value(int depth,
                         std::vector<Path>* inline_keys = nullptr,
                         std::vector<std::pair<std::size_t, std::size_t>>* inline_spans = nullptr)
  {
    if (depth > k_max_depth) {
      fail("nesting too deep");
    }
    if (looking_at("\"\"\"")) {
      multi_line_string('"', true);
      return Statement::Value::string;
    }
    if (looking_at("'''")) {
      multi_line_string('\'', false);
      return Statement::Value::string;
    }
    switch (peek()) {
    case '"':
      (void)basic_string();
      return Statement::Value::string;
    case '\'':
      (void)literal_string();
      return Statement::Value::string;
    case '[':
      array(depth + 1);
      return Statement::Value::array;
    case '{':
      inline_table(depth + 1, inline_keys, inline_spans);
      return Statement::Value::inline_table;
    default:
      scalar();
      return Statement::Value::other;
    }
  }

  void scalar()
  {
    const std::size_t begin = m_pos;
    const auto token_char = [](char c) {
      return is_bare_key_char(c) || c == '+' || c == '.' || c == ':';
    };
    while (token_char(peek())) {
      ++m_pos;
    }
    // A date and a time may be joined by one space.
    if (peek() == ' ' && m_pos - begin == 10 && peek(1) >= '0' && peek(1) <= '9' &&
        peek(3) == ':') {
      ++m_pos;
      while (token_char(peek())) {
        ++m_pos;
      }
    }
    if (m_pos == begin || !valid_scalar(m_text.substr(begin, m_pos - begin))) {
      fail("expected a value");
    }
  }

  void array(int depth)
  {
    ++m_pos;
    while (true) {
      skip_array_space();
      if (peek() == ']') {
        ++m_pos;
        return;
      }
      (void)value(depth);
      skip_array_space();
      if (peek() == ',') {
        ++m_pos;
        continue;
      }
      if (peek() != ']') {
        fail("expected ',' or ']' in an array");
      }
    }
  }

  // `{ key = value, ... }` on one line, its keys checked against one another;
  // the dotted keys found are added to `keys` when given.
  void inline_table(int depth,
                    std::vector<Path>* keys,
                    std::vector<std::pair<std::size_t, std::size_t>>* spans = nullptr)
  {
    ++m_pos;
    std::map<Path, Def> defined;
    skip_blanks();
    if (peek() == '}') {
      ++m_pos;
      return;
    }
    while (true) {
      skip_blanks();
      const std::size_t key_begin = m_pos;
      const Path key = dotted_key();
      skip_blanks();
      if (peek() != '=') {
        fail("expected '=' in an inline table");
      }
      ++m_pos;
      skip_blanks();
      for (std::size_t i = 1; i < key.size(); ++i) {
        const auto [at, added] = defined.try_emplace(
            Path(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(i)), Def::dotted_table);
        if (!added && at->second != Def::dotted_table) {
          fail("a key defined twice in an inline table");
        }
      }
      if (!defined.try_emplace(key, Def::value).second) {
        fail("a key defined twice in an inline table");
      }
      if (keys != nullptr) {
        keys->push_back(key);
      }
      (void)value(depth);
      if (spans != nullptr) {
        spans->emplace_back(key_begin, m_pos);
      }
      skip_blanks();
      if (peek() == ',') {
        ++m_pos;
        continue;
      }
      if (peek() != '}') {
        fail("expected ',' or '}' in an inline table");
      }
      ++m_pos;
      return;
    }
  }

  // ---- Statements and definitions ----------------------------------------------

  // The definition key of `names` below `base`, with the element of each array of
  // tables on the way that later statements refer to (the last one).
  std::string resolved(std::string base, const Path& names, std::size_t count)
  {
    for (std::size_t i = 0; i < count; ++i) {
      base += '\x1F';
      base += names[i];
      if (const auto it = m_defs.find(base);
          it != m_defs.end() && it->second.kind == Def::array_of_tables) {
        base += '\x1E' + std::to_string(it->second.count);
      }
    }
    return base;
  }

  void header(Statement& statement)
  {
    const bool array_header = looking_at("[[");
    m_pos += array_header ? 2 : 1;
    skip_blanks();
    const Path names = dotted_key();
    skip_blanks();
    if (!looking_at(array_header ? "]]" : "]")) {
      fail("a malformed table header");
    }
    m_pos += array_header ? 2 : 1;
    statement.kind = array_header ? Statement::Kind::array_table : Statement::Kind::table;
    statement.table = names;
    for (std::size_t i = 1; i < names.size(); ++i) {
      const std::string k = resolved("", names, i);
      auto [at, added] = m_defs.try_emplace(k, Definition{Def::implicit_table});
      if (!added && at->second.kind == Def::value) {
        fail("a table inside a value");
      }
    }
    const std::string k = resolved("", names, names.size() - 1) + '\x1F' + names.back();
    auto [at, added] = m_defs.try_emplace(
        k, Definition{array_header ? Def::array_of_tables : Def::header_table, 1});
    if (!added) {
      if (array_header && at->second.kind == Def::array_of_tables) {
        ++at->second.count;
      } else if (!array_header && at->second.kind == Def::implicit_table) {
        at->second.kind = Def::header_table;
      } else {
        fail("a table defined twice");
      }
    }
    m_table = names;
    m_table_key = array_header ? k + '\x1E' + std::to_string(at->second.count) : k;
  }

  void key_value(Statement& statement)
  {
    statement.kind = Statement::Kind::key_value;
    statement.table = m_table;
    statement.key = dotted_key();
    skip_blanks();
    if (peek() != '=') {
      fail("expected '='");
    }
    ++m_pos;
    skip_blanks();
    const Path& key = statement.key;
    for (std::size_t i = 1; i < key.size(); ++i) {
      const std::string k = resolved(m_table_key, key, i);
      auto [at, added] = m_defs.try_emplace(k, Definition{Def::dotted_table});
      if (!added && at->second.kind != Def::dotted_table) {
        fail("a key extends a table defined elsewhere");
      }
    }
    if (!m_defs.try_emplace(resolved(m_table_key, key, key.size()), Definition{Def::value})
             .second) {
      fail("a key defined twice");
    }
    statement.value_begin = m_pos;
    statement.value = value(0, &statement.inline_keys, &statement.inline_spans);
    statement.value_end = m_pos;
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
  Path m_table;
  std::string m_table_key;
  std::map<std::string, Definition> m_defs;
};

} // namespace

std::vector<Statement> scan(std::string_view text)
{
  return Scanner(text).statements();
}

std::string key_text(std::string_view name)
{
  bool bare = !name.empty();
  for (const char c : name) {
    bare = bare && is_bare_key_char(c);
  }
  if (bare) {
    return std::string(name);
  }
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (is_forbidden_control(static_cast<unsigned char>(c))) {
      constexpr char k_hex[] = "0123456789ABCDEF";
      out += "\\u00";
      out += k_hex[(c >> 4) & 0xF];
      out += k_hex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

} // namespace kolvex::core::toml_edit
