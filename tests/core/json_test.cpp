#include "core/json.hpp"

#include "support/simdjson_reading.hpp"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using kolvex::core::BigInt;
using kolvex::core::Date;
using kolvex::core::DateTime;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::simdjson_reading;
namespace json = kolvex::core::json;

namespace {

std::string read_file(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_lines(const std::string& text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Equality as the text shows it: the same kinds, maps in the same order, NaN equal
// to NaN and -0.0 different from 0.0 (Value's own == follows Python instead).
bool identical(const Value& a, const Value& b)
{
  if (a.kind() != b.kind()) {
    return false;
  }
  switch (a.kind()) {
  case Value::Kind::floating: {
    const double x = a.as_float();
    const double y = b.as_float();
    return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
  }
  case Value::Kind::list: {
    const List& l = a.as_list();
    const List& r = b.as_list();
    if (l.size() != r.size()) {
      return false;
    }
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (!identical(l[i], r[i])) {
        return false;
      }
    }
    return true;
  }
  case Value::Kind::map: {
    const Map& l = a.as_map();
    const Map& r = b.as_map();
    if (l.size() != r.size()) {
      return false;
    }
    for (auto li = l.begin(), ri = r.begin(); li != l.end(); ++li, ++ri) {
      if (li->first != ri->first || !identical(li->second, ri->second)) {
        return false;
      }
    }
    return true;
  }
  default:
    return a == b;
  }
}

int to_int(const Value& v)
{
  return static_cast<int>(v.as_int());
}

// Rebuilds a corpus value from its tagged form (see gen_json_golden.py).
Value untag(const Value& tagged)
{
  if (tagged.is_list()) {
    List list;
    for (const Value& item : tagged.as_list()) {
      list.push_back(untag(item));
    }
    return list;
  }
  if (!tagged.is_map()) {
    return tagged;
  }
  const Map& map = tagged.as_map();
  if (map.size() == 1 && map.begin()->first.starts_with("$")) {
    const std::string& tag = map.begin()->first;
    const Value& body = map.begin()->second;
    if (tag == "$int") {
      const std::string& digits = body.as_string();
      long long n = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
      if (ec == std::errc() && end == digits.data() + digits.size()) {
        return Value(n);
      }
      return Value(BigInt{digits});
    }
    if (tag == "$float") {
      const std::string& repr = body.as_string();
      if (repr == "nan") {
        return Value(std::numeric_limits<double>::quiet_NaN());
      }
      if (repr == "inf" || repr == "-inf") {
        const double inf = std::numeric_limits<double>::infinity();
        return Value(repr == "inf" ? inf : -inf);
      }
      double d = 0;
      std::from_chars(repr.data(), repr.data() + repr.size(), d);
      return Value(d);
    }
    if (tag == "$date") {
      const std::string& s = body.as_string();
      return Value(
          Date{std::stoi(s.substr(0, 4)), std::stoi(s.substr(5, 2)), std::stoi(s.substr(8, 2))});
    }
    if (tag == "$datetime") {
      const List& f = body.as_list();
      DateTime d{to_int(f[0]),
                 to_int(f[1]),
                 to_int(f[2]),
                 to_int(f[3]),
                 to_int(f[4]),
                 to_int(f[5]),
                 to_int(f[6]),
                 std::nullopt};
      if (!f[7].is_null()) {
        d.utc_offset_minutes = to_int(f[7]);
      }
      return Value(d);
    }
    throw std::runtime_error("unknown tag " + tag);
  }
  Map out;
  for (const auto& [key, item] : map) {
    out.set(key, untag(item));
  }
  return out;
}

// What reading back the dump of `v` gives: dates and date-times become their text.
Value dates_as_text(const Value& v)
{
  if (v.is_date() || v.is_datetime()) {
    const std::string quoted = json::dump(v);
    return Value(quoted.substr(1, quoted.size() - 2));
  }
  if (v.is_list()) {
    List list;
    for (const Value& item : v.as_list()) {
      list.push_back(dates_as_text(item));
    }
    return list;
  }
  if (v.is_map()) {
    Map map;
    for (const auto& [key, item] : v.as_map()) {
      map.set(key, dates_as_text(item));
    }
    return map;
  }
  return v;
}

struct GoldenCase {
  std::string name;
  Value value;
};

std::vector<GoldenCase> load_corpus()
{
  std::vector<GoldenCase> cases;
  for (const std::string& line :
       split_lines(read_file(std::string(KOLVEX_GOLDEN_DIR) + "/json/corpus.jsonl"))) {
    const Value entry = json::parse(line);
    cases.push_back({entry.get_string("name").value(), untag(*entry.get("value"))});
  }
  return cases;
}

// The indented expectations: blocks that start with "=== <index> <name>".
std::vector<std::string> load_indented()
{
  std::vector<std::string> blocks;
  for (const std::string& line :
       split_lines(read_file(std::string(KOLVEX_GOLDEN_DIR) + "/json/indented.txt"))) {
    if (line.starts_with("=== ")) {
      blocks.emplace_back();
    } else if (!blocks.empty()) {
      blocks.back() += (blocks.back().empty() ? "" : "\n") + line;
    }
  }
  return blocks;
}

std::string error_of(std::string_view text)
{
  try {
    (void)json::parse(text);
  } catch (const json::JsonError& e) {
    return e.what();
  }
  return "(accepted)";
}

Value nested_lists(int depth)
{
  Value v = List{};
  for (int i = 1; i < depth; ++i) {
    v = List{std::move(v)};
  }
  return v;
}

} // namespace

TEST(JsonGolden, DumpAndIndentedDumpMatchPythonByteForByte)
{
  const auto cases = load_corpus();
  const auto dumps = split_lines(read_file(std::string(KOLVEX_GOLDEN_DIR) + "/json/dump.txt"));
  const auto indented = load_indented();
  ASSERT_GE(cases.size(), 60U);
  ASSERT_EQ(dumps.size(), cases.size());
  ASSERT_EQ(indented.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(json::dump(cases[i].value), dumps[i]);
    EXPECT_EQ(json::dump_indented(cases[i].value, 2), indented[i]);
  }
}

TEST(JsonGolden, EveryValueReadsBackFromBothForms)
{
  std::size_t checked_against_simdjson = 0;
  for (const auto& [name, value] : load_corpus()) {
    SCOPED_TRACE(name);
    const Value expected = dates_as_text(value);
    const std::string text = json::dump(value);
    EXPECT_TRUE(identical(json::parse(text), expected)) << text;
    EXPECT_TRUE(identical(json::parse(json::dump_indented(value, 2)), expected));
    if (const auto oracle = simdjson_reading(text)) {
      EXPECT_TRUE(identical(*oracle, expected)) << text;
      ++checked_against_simdjson;
    }
  }
  EXPECT_GE(checked_against_simdjson, 80U);
}

TEST(JsonDump, IndentZeroNegativeAndWide)
{
  const Value v = Map{{"a", List{1, Map{}}}, {"b", List{}}};
  EXPECT_EQ(json::dump_indented(v, 0), "{\n\"a\": [\n1,\n{}\n],\n\"b\": []\n}");
  EXPECT_EQ(json::dump_indented(v, -3), json::dump_indented(v, 0));
  EXPECT_EQ(json::dump_indented(List{1, List{2}}, 4), "[\n    1,\n    [\n        2\n    ]\n]");
  EXPECT_EQ(json::dump_indented(Value("\xc3\xa9"), 2), "\"\\u00e9\"");
}

TEST(JsonDump, IllFormedUtf8BecomesOneReplacementPerBadSequence)
{
  // Expectations from Python's bytes.decode("utf-8", "replace") then json.dumps.
  EXPECT_EQ(json::dump(Value("a\xff"
                             "b")),
            R"("a\ufffdb")");
  EXPECT_EQ(json::dump(Value("\xe2\x82")), R"("\ufffd")");
  EXPECT_EQ(json::dump(Value("\xed\xa0\x80")), R"("\ufffd\ufffd\ufffd")");
  EXPECT_EQ(json::dump(Value("\xc0\x80")), R"("\ufffd\ufffd")");
  EXPECT_EQ(json::dump(Value("\xf4\x90\x80\x80")), R"("\ufffd\ufffd\ufffd\ufffd")");
  EXPECT_EQ(json::dump(Value("\xf0\x9f\x98x")), R"("\ufffdx")");
  EXPECT_EQ(json::dump(Value(std::string("\x80\x80", 2))), R"("\ufffd\ufffd")");
  EXPECT_EQ(json::dump(Map{{"k\xff", 1}}), R"({"k\ufffd": 1})");
}

TEST(JsonDump, RefusesNestingItCouldNotReadBack)
{
  EXPECT_NO_THROW((void)json::dump(nested_lists(json::k_max_depth)));
  EXPECT_THROW((void)json::dump(nested_lists(json::k_max_depth + 1)), json::JsonError);
  EXPECT_THROW((void)json::dump_indented(nested_lists(json::k_max_depth + 1), 2), json::JsonError);
}

TEST(JsonParse, ErrorsSayWhatAndWhereAsPythonDoes)
{
  // Each expectation is Python's json.loads message for the same text.
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "Expecting value: line 1 column 1 (char 0)"},
      {"  ", "Expecting value: line 1 column 3 (char 2)"},
      {"[1,]", "Expecting value: line 1 column 4 (char 3)"},
      {"{\"a\":1,}", "Expecting property name enclosed in double quotes: line 1 column 8 (char 7)"},
      {"{'a': 1}", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
      {"[01]", "Expecting ',' delimiter: line 1 column 3 (char 2)"},
      {"01", "Extra data: line 1 column 2 (char 1)"},
      {"[1.]", "Expecting ',' delimiter: line 1 column 3 (char 2)"},
      {"[.5]", "Expecting value: line 1 column 2 (char 1)"},
      {"[+1]", "Expecting value: line 1 column 2 (char 1)"},
      {"[1e]", "Expecting ',' delimiter: line 1 column 3 (char 2)"},
      {"[-]", "Expecting value: line 1 column 2 (char 1)"},
      {"nan", "Expecting value: line 1 column 1 (char 0)"},
      {"[1 2]", "Expecting ',' delimiter: line 1 column 4 (char 3)"},
      {"{\"a\": [1, 2}", "Expecting ',' delimiter: line 1 column 12 (char 11)"},
      {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
      {"[1]x", "Extra data: line 1 column 4 (char 3)"},
      {"1 x", "Extra data: line 1 column 3 (char 2)"},
      {"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)"},
      {"[\"a\x01\"]", "Invalid control character at: line 1 column 4 (char 3)"},
      {"\"a\nb\"", "Invalid control character at: line 1 column 3 (char 2)"},
      {"\"\\q\"", "Invalid \\escape: line 1 column 2 (char 1)"},
      {"\"\\u12G4\"", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      {"\"\\u1234", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      {"\"\\ud800\\u12\"", "Invalid \\uXXXX escape: line 1 column 9 (char 8)"},
      {"\n\n  [1,\n   2,,]", "Expecting value: line 4 column 6 (char 13)"},
      // Columns count characters, not bytes.
      {"{\"caf\xc3\xa9\": 1, \"x\" 2}", "Expecting ':' delimiter: line 1 column 17 (char 16)"},
      {"[\"\xe6\x97\xa5\xe6\x9c\xac\", nul]", "Expecting value: line 1 column 8 (char 7)"},
      {"\xef\xbb\xbf{}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(error_of(text), message) << "input: " << text;
  }
}

TEST(JsonParse, RejectsInvalidUtf8AndOtherNonJson)
{
  for (std::string_view text : {"\"a\xff\"",
                                "\"\xc0\x80\"",
                                "\"\xed\xa0\x80\"",
                                "\"\xe2\x82\"",
                                "\"\xf4\x90\x80\x80\"",
                                "tru",
                                "True",
                                "None",
                                "Infinit",
                                "-NaN",
                                "0x1F",
                                "[1,2",
                                "{\"a\":1",
                                "/* c */ 1",
                                "\x80"}) {
    EXPECT_THROW((void)json::parse(text), json::JsonError) << text;
  }
  EXPECT_EQ(error_of("\"ab\xff\""), "Invalid UTF-8 byte at: line 1 column 4 (char 3)");
  EXPECT_EQ(error_of(std::string_view("[1]\0", 4)), "Extra data: line 1 column 4 (char 3)");
}

TEST(JsonParse, NonFiniteAndOutOfRangeNumbersReadAsPythonReadsThem)
{
  const Value v = json::parse("[NaN, Infinity, -Infinity, 1e400, -1e400, 1e-400, -1e-400, "
                              "1.7976931348623159e308, 0.00001e-320, 4.9e-324, 0.1]");
  const List& l = v.as_list();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(l[0].as_float()));
  EXPECT_EQ(l[1].as_float(), inf);
  EXPECT_EQ(l[2].as_float(), -inf);
  EXPECT_EQ(l[3].as_float(), inf);
  EXPECT_EQ(l[4].as_float(), -inf);
  EXPECT_EQ(l[5].as_float(), 0.0);
  EXPECT_FALSE(std::signbit(l[5].as_float()));
  EXPECT_TRUE(std::signbit(l[6].as_float()));
  EXPECT_EQ(l[7].as_float(), inf);
  EXPECT_EQ(l[8].as_float(), 0.0);
  EXPECT_EQ(l[9].as_float(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(l[10].as_float(), 0.1);
  EXPECT_EQ(json::dump(v),
            "[NaN, Infinity, -Infinity, Infinity, -Infinity, 0.0, -0.0, Infinity, 0.0, 5e-324, "
            "0.1]");
  // Correct rounding at the edges, as simdjson (and Python) read them.
  const char* edges = "[1e-400, -1e-400, 4.9e-324, 2.2250738585072011e-308, 0.1e1, "
                      "9007199254740993, 9007199254740993.0, 1.00000000000000011102230246251565e0]";
  EXPECT_TRUE(identical(json::parse(edges), simdjson_reading(edges).value()));
}

TEST(JsonParse, IntegersBeyond64BitsKeepTheirDigits)
{
  const char* text = "[9223372036854775807, -9223372036854775808, 9223372036854775808, "
                     "18446744073709551616, -9223372036854775809, "
                     "123456789012345678901234567890, -0, 1e2, 1E+2]";
  {
    const Value v = json::parse(text);
    const List& l = v.as_list();
    EXPECT_EQ(l[0].as_int(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(l[1].as_int(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(l[2].as_bigint().digits, "9223372036854775808");
    EXPECT_EQ(l[3].as_bigint().digits, "18446744073709551616");
    EXPECT_EQ(l[4].as_bigint().digits, "-9223372036854775809");
    EXPECT_EQ(l[5].as_bigint().digits, "123456789012345678901234567890");
    EXPECT_EQ(l[6].as_int(), 0);
    EXPECT_EQ(l[7].as_float(), 100.0);
    EXPECT_EQ(l[8].as_float(), 100.0);
    EXPECT_EQ(json::dump(v),
              "[9223372036854775807, -9223372036854775808, 9223372036854775808, "
              "18446744073709551616, -9223372036854775809, 123456789012345678901234567890, "
              "0, 100.0, 100.0]");
  }
}

TEST(JsonParse, RepeatedKeyKeepsFirstPositionAndLastValue)
{
  // The second document holds NaN, which sends it down the hand-written parser.
  for (const char* text : {R"({"a": 1, "b": 2, "a": 3})", R"({"a": 1, "b": NaN, "a": 3})"}) {
    const Value v = json::parse(text);
    ASSERT_EQ(v.as_map().size(), 2U);
    EXPECT_EQ(v.as_map().begin()->first, "a");
    EXPECT_EQ(v.get("a")->as_int(), 3);
  }
}

TEST(JsonParse, NestingBeyondTheLimitIsAnErrorNotACrash)
{
  const auto deep = [](int depth, const char* open, const char* close, const char* inner) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
      text += open;
    }
    text += inner;
    for (int i = 0; i < depth; ++i) {
      text += close;
    }
    return text;
  };
  const int limit = json::k_max_depth;
  EXPECT_TRUE(identical(json::parse(deep(limit, "[", "]", "")), nested_lists(limit)));
  EXPECT_EQ(json::dump(json::parse(deep(limit, "[", "]", "NaN"))).size(), 2U * limit + 3);
  EXPECT_NO_THROW((void)json::parse(deep(limit, "{\"k\":", "}", "1")));
  EXPECT_EQ(error_of(deep(limit + 1, "[", "]", "")),
            "Nesting deeper than 1000 levels: line 1 column 1001 (char 1000)");
  EXPECT_THROW((void)json::parse(deep(limit + 1, "[", "]", "NaN")), json::JsonError);
  EXPECT_THROW((void)json::parse(deep(limit + 1, "{\"k\":", "}", "1")), json::JsonError);
  EXPECT_THROW((void)json::parse(std::string(1'000'000, '[')), json::JsonError);
}

TEST(JsonParse, EscapesSurrogatePairsAndLoneSurrogates)
{
  const Value v = json::parse(R"(["\u00e9\/\b\f\n\r\t\"\\", "\ud83d\ude00", "\ud800", "\udc00x",)"
                              R"( "\ud800\ud800\udc00", "\ud800\u0041", "a\u0000b"])");
  const List& l = v.as_list();
  EXPECT_EQ(l[0].as_string(), "\xc3\xa9/\b\f\n\r\t\"\\");
  EXPECT_EQ(l[1].as_string(), "\xf0\x9f\x98\x80");
  // Lone surrogates become U+FFFD: a Value holds well-formed UTF-8 only.
  EXPECT_EQ(l[2].as_string(), "\xef\xbf\xbd");
  EXPECT_EQ(l[3].as_string(), "\xef\xbf\xbdx");
  EXPECT_EQ(l[4].as_string(), "\xef\xbf\xbd\xf0\x90\x80\x80");
  EXPECT_EQ(l[5].as_string(),
            "\xef\xbf\xbd"
            "A");
  EXPECT_EQ(l[6].as_string(), std::string("a\0b", 3));
  EXPECT_EQ(json::dump(v),
            R"(["\u00e9/\b\f\n\r\t\"\\", "\ud83d\ude00", "\ufffd", "\ufffdx", )"
            R"("\ufffd\ud800\udc00", "\ufffdA", "a\u0000b"])");
  // Raw UTF-8 is kept as it is and written escaped.
  EXPECT_EQ(json::parse("\"caf\xc3\xa9 \xf0\x9f\x9a\x80\"").as_string(),
            "caf\xc3\xa9 \xf0\x9f\x9a\x80");
}

TEST(JsonParse, AgreesWithSimdjsonOnOrdinaryDocuments)
{
  for (const char* text :
       {R"({"commit": "abc", "n": -12, "f": 1.5e3, "ok": true, "none": null, "l": [[], {}]})",
        "  [1, \"two\", 3.25, false]  \n",
        "\"\\u00e9\\ud83d\\ude00\"",
        "0",
        "-0",
        "-0.0",
        "12345678901234567890",
        R"({"": {"": [""]}, "a": 1, "a": 2})",
        "[1E5, 2e-3, 1.5E+2]"}) {
    EXPECT_TRUE(identical(json::parse(text), simdjson_reading(text).value())) << text;
  }
}
