#include "core/yaml.hpp"

#include "core/text.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

using kolvex::core::BigInt;
using kolvex::core::Date;
using kolvex::core::DateTime;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::core::yaml::dump;
using kolvex::core::yaml::load;
using kolvex::core::yaml::load_all;
using kolvex::core::yaml::resolve_plain_scalar;
using kolvex::core::yaml::YamlError;

namespace {

std::string read_file(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Plain JSON into a Value (objects become maps), enough for the golden corpus
// that gen_yaml_golden.py writes: ASCII text, integers, no floats.
class JsonReader {
public:
  explicit JsonReader(std::string_view s) : m_s(s) {}

  Value read()
  {
    skip_ws();
    if (m_i >= m_s.size()) {
      throw std::runtime_error("unexpected end of JSON");
    }
    const char c = m_s[m_i];
    if (c == '{') {
      ++m_i;
      Map map;
      while (!take('}')) {
        take(',');
        skip_ws();
        std::string key = string();
        skip_ws();
        expect(':');
        map.set(key, read());
        skip_ws();
      }
      return map;
    }
    if (c == '[') {
      ++m_i;
      List list;
      while (!take(']')) {
        take(',');
        list.push_back(read());
        skip_ws();
      }
      return list;
    }
    if (c == '"') {
      return string();
    }
    for (auto [word, value] :
         {std::pair{"null", Value()}, {"true", Value(true)}, {"false", Value(false)}}) {
      if (m_s.substr(m_i).starts_with(word)) {
        m_i += std::string_view(word).size();
        return value;
      }
    }
    long long number = 0;
    const auto [end, ec] = std::from_chars(m_s.data() + m_i, m_s.data() + m_s.size(), number);
    if (ec != std::errc()) {
      throw std::runtime_error("bad JSON number");
    }
    m_i = static_cast<std::size_t>(end - m_s.data());
    return Value(number);
  }

private:
  void skip_ws()
  {
    while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\n')) {
      ++m_i;
    }
  }
  bool take(char c)
  {
    skip_ws();
    if (m_i < m_s.size() && m_s[m_i] == c) {
      ++m_i;
      return true;
    }
    return false;
  }
  void expect(char c)
  {
    if (!take(c)) {
      throw std::runtime_error(std::string("expected ") + c);
    }
  }
  unsigned hex4()
  {
    const unsigned v = std::stoul(std::string(m_s.substr(m_i, 4)), nullptr, 16);
    m_i += 4;
    return v;
  }
  std::string string()
  {
    expect('"');
    std::string out;
    while (m_s.at(m_i) != '"') {
      char c = m_s[m_i++];
      if (c != '\\') {
        out += c;
        continue;
      }
      c = m_s.at(m_i++);
      switch (c) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        unsigned cp = hex4();
        if (cp >= 0xD800 && cp < 0xDC00) { // a surrogate pair: "\uD83D\uDE00"
          m_i += 2;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4() - 0xDC00);
        }
        kolvex::core::text::append_utf8(out, static_cast<char32_t>(cp));
        break;
      }
      default:
        out += c;
        break; // \" \\ \/
      }
    }
    ++m_i;
    return out;
  }

  std::string_view m_s;
  std::size_t m_i = 0;
};

// The typed encoding of gen_yaml_golden.py back into the Value it stands for.
Value typed(const Value& j)
{
  if (j.is_list()) {
    List out;
    for (const Value& item : j.as_list()) {
      out.push_back(typed(item));
    }
    return out;
  }
  if (!j.is_map()) {
    return j;
  }
  const auto& [tag, body] = *j.as_map().begin();
  if (tag == "$int") {
    return BigInt{body.as_string()};
  }
  if (tag == "$float") {
    const std::string& repr = body.as_string();
    if (repr == "nan") {
      return std::numeric_limits<double>::quiet_NaN();
    }
    if (repr == "inf" || repr == "-inf") {
      return (repr[0] == '-' ? -1.0 : 1.0) * std::numeric_limits<double>::infinity();
    }
    return std::strtod(repr.c_str(), nullptr); // stod throws on denormals like 5e-324
  }
  const auto field = [&](std::size_t i) { return static_cast<int>(body.as_list().at(i).as_int()); };
  if (tag == "$date") {
    return Date{field(0), field(1), field(2)};
  }
  if (tag == "$datetime") {
    DateTime dt{field(0), field(1), field(2), field(3), field(4), field(5), field(6), {}};
    if (!body.as_list().at(7).is_null()) {
      dt.utc_offset_minutes = field(7);
    }
    return dt;
  }
  Map out; // "$map"
  for (const Value& pair : body.as_list()) {
    out.set(pair.as_list().at(0).as_string(), typed(pair.as_list().at(1)));
  }
  return out;
}

// Stricter than Value's ==: map order counts, NaN equals NaN, -0.0 differs from 0.0.
::testing::AssertionResult same(const Value& a, const Value& b, const std::string& path = "$")
{
  if (a.kind() != b.kind()) {
    return ::testing::AssertionFailure()
           << path << ": " << a.type_name() << " vs " << b.type_name();
  }
  if (a.is_float()) {
    const double x = a.as_float();
    const double y = b.as_float();
    if ((std::isnan(x) && std::isnan(y)) || (x == y && std::signbit(x) == std::signbit(y))) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << path << ": " << x << " vs " << y;
  }
  if (a.is_list()) {
    if (a.as_list().size() != b.as_list().size()) {
      return ::testing::AssertionFailure() << path << ": list sizes differ";
    }
    for (std::size_t i = 0; i < a.as_list().size(); ++i) {
      auto r = same(a.as_list()[i], b.as_list()[i], path + "[" + std::to_string(i) + "]");
      if (!r) {
        return r;
      }
    }
    return ::testing::AssertionSuccess();
  }
  if (a.is_map()) {
    if (a.as_map().size() != b.as_map().size()) {
      return ::testing::AssertionFailure() << path << ": map sizes differ";
    }
    auto it = b.as_map().begin();
    for (const auto& [key, value] : a.as_map()) {
      if (key != it->first) {
        return ::testing::AssertionFailure()
               << path << ": key '" << key << "' vs '" << it->first << "'";
      }
      auto r = same(value, it->second, path + "." + key);
      if (!r) {
        return r;
      }
      ++it;
    }
    return ::testing::AssertionSuccess();
  }
  if (a == b) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << path << ": values differ";
}

std::vector<Value> read_corpus(const std::string& name)
{
  std::vector<Value> records;
  std::istringstream lines(read_file(std::string(KOLVEX_GOLDEN_DIR) + "/yaml/" + name));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) {
      records.push_back(JsonReader(line).read());
    }
  }
  return records;
}

std::string error_of(std::string_view text)
{
  try {
    (void)load(text);
  } catch (const YamlError& e) {
    return e.what();
  }
  return "(no error)";
}

} // namespace

TEST(YamlGolden, DumpMatchesPyYamlByteForByteAndReadsBack)
{
  const auto corpus = read_corpus("dump_corpus.jsonl");
  ASSERT_GE(corpus.size(), 60u);
  for (const Value& record : corpus) {
    const std::string name = *record.get_string("name");
    const Value value = typed(*record.get("value"));
    const std::string expected =
        read_file(std::string(KOLVEX_GOLDEN_DIR) + "/yaml/dump/" + name + ".yaml");
    const std::string written = dump(value);
    EXPECT_EQ(written, expected) << "case " << name;
    EXPECT_TRUE(same(load(written), value)) << "round trip of case " << name;
  }
}

TEST(YamlGolden, LoadAgreesWithSafeLoad)
{
  const auto corpus = read_corpus("load_corpus.jsonl");
  ASSERT_GE(corpus.size(), 60u);
  for (const Value& record : corpus) {
    const std::string name = *record.get_string("name");
    const std::string text = *record.get_string("yaml");
    if (record.get("error") != nullptr) {
      EXPECT_THROW((void)load(text), YamlError) << "case " << name;
      continue;
    }
    try {
      EXPECT_TRUE(same(load(text), typed(*record.get("value")))) << "case " << name;
    } catch (const YamlError& e) {
      ADD_FAILURE() << "case " << name << ": " << e.what();
    }
  }
}

TEST(YamlTyping, BooleansNullsAndStrings)
{
  for (const char* t : {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"}) {
    EXPECT_EQ(resolve_plain_scalar(t), Value(true)) << t;
  }
  for (const char* f : {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"}) {
    EXPECT_EQ(resolve_plain_scalar(f), Value(false)) << f;
  }
  for (const char* n : {"", "~", "null", "Null", "NULL"}) {
    EXPECT_TRUE(resolve_plain_scalar(n).is_null()) << n;
  }
  for (const char* s : {"yES",
                        "y",
                        "n",
                        "nULL",
                        "1e3",
                        "1.0e3",
                        "-.5e-3",
                        "0o17",
                        "09",
                        "0x",
                        "_1",
                        "1.2.3",
                        "2024-1-1",
                        "12:60",
                        "<<",
                        "="}) {
    EXPECT_EQ(resolve_plain_scalar(s), Value(s)) << s;
  }
}

TEST(YamlTyping, Integers)
{
  const std::pair<const char*, long long> cases[] = {
      {"0", 0},
      {"-0", 0},
      {"+12", 12},
      {"1_000", 1000},
      {"0x1F", 31},
      {"-0x1f", -31},
      {"0b1010", 10},
      {"-0b1_0", -2},
      {"017", 15},
      {"0_17", 15},
      {"00", 0},
      {"3:20", 200},
      {"-1:30:00", -5400},
      {"190:20:30", 685230},
      {"12_", 12},
      {"9223372036854775807", std::numeric_limits<long long>::max()},
      {"-9223372036854775808", std::numeric_limits<long long>::min()},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(resolve_plain_scalar(text), Value(value)) << text;
  }
  EXPECT_EQ(resolve_plain_scalar("9223372036854775808"), Value(BigInt{"9223372036854775808"}));
  EXPECT_EQ(resolve_plain_scalar("-9223372036854775809"), Value(BigInt{"-9223372036854775809"}));
  EXPECT_EQ(resolve_plain_scalar("0x10000000000000000"), Value(BigInt{"18446744073709551616"}));
  EXPECT_EQ(resolve_plain_scalar("-0b" + std::string(65, '1')),
            Value(BigInt{"-36893488147419103231"}));
  EXPECT_EQ(resolve_plain_scalar("01000000000000000000000"), Value(BigInt{"9223372036854775808"}));
  EXPECT_EQ(resolve_plain_scalar("5124095576030431:00:00"), Value(BigInt{"18446744073709551600"}));
  // Python refuses converting more than 4300 digits; so do we, at any base.
  EXPECT_TRUE(resolve_plain_scalar(std::string(4300, '7')).is_int());
  EXPECT_THROW((void)resolve_plain_scalar(std::string(4301, '7')), YamlError);
  EXPECT_THROW((void)resolve_plain_scalar("0x" + std::string(4301, 'f')), YamlError);
  EXPECT_THROW((void)resolve_plain_scalar("0b_"), YamlError);
}

TEST(YamlTyping, Floats)
{
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, double> cases[] = {
      {"1.0", 1.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"-0.0", -0.0},
      {"1.0e+3", 1e3},
      {"1.0E-3", 1e-3},
      {"1_000.5_0", 1000.5},
      {"+12.5", 12.5},
      {"1:20.5", 80.5},
      {"-1:00.5", -60.5},
      {".inf", inf},
      {"-.Inf", -inf},
      {"+.INF", inf},
      {"1.0e+400", inf},
      {"1.0e-400", 0.0},
      {"685.230_15e+03", 685230.15},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_TRUE(same(resolve_plain_scalar(text), Value(value))) << text;
  }
  for (const char* nan : {".nan", ".NaN", ".NAN"}) {
    EXPECT_TRUE(std::isnan(resolve_plain_scalar(nan).as_float())) << nan;
  }
}

TEST(YamlTyping, Timestamps)
{
  EXPECT_EQ(resolve_plain_scalar("2024-05-01"), Value(Date{2024, 5, 1}));
  EXPECT_EQ(resolve_plain_scalar("2024-02-29"), Value(Date{2024, 2, 29}));
  EXPECT_EQ(resolve_plain_scalar("2024-05-01 10:00:00"),
            Value(DateTime{2024, 5, 1, 10, 0, 0, 0, {}}));
  EXPECT_EQ(resolve_plain_scalar("2024-05-01T10:00:00Z"),
            Value(DateTime{2024, 5, 1, 10, 0, 0, 0, 0}));
  EXPECT_EQ(resolve_plain_scalar("2001-12-14t21:59:43.10-05:00"),
            Value(DateTime{2001, 12, 14, 21, 59, 43, 100000, -300}));
  EXPECT_EQ(resolve_plain_scalar("2001-12-14 21:59:43.1234567 +5"),
            Value(DateTime{2001, 12, 14, 21, 59, 43, 123456, 300}));
  EXPECT_EQ(resolve_plain_scalar("2024-1-2 3:04:05"), Value(DateTime{2024, 1, 2, 3, 4, 5, 0, {}}));
  for (const char* bad : {"2023-02-29",
                          "2024-13-01",
                          "2024-00-10",
                          "0000-01-01",
                          "2024-01-01 24:00:00",
                          "2024-01-01 10:60:00",
                          "2024-01-01 10:00:00+24"}) {
    EXPECT_THROW((void)resolve_plain_scalar(bad), YamlError) << bad;
  }
}

TEST(YamlLoad, QuotedAndTaggedScalars)
{
  const Value v = load("a: '123'\nb: \"yes\"\nc: !!str 2024-05-01\nd: !!int '0x10'\n"
                       "e: !!float 1\nf: !!bool Off\ng: !!null x\nh: |\n  1.5\n");
  EXPECT_TRUE(same(v,
                   Value(Map{{"a", "123"},
                             {"b", "yes"},
                             {"c", "2024-05-01"},
                             {"d", 16},
                             {"e", 1.0},
                             {"f", false},
                             {"g", Value()},
                             {"h", "1.5\n"}})));
  EXPECT_THROW((void)load("a: !!int 1.5"), YamlError);
}

TEST(YamlLoad, NonStringKeysKeepTheirTextAndCollide)
{
  const Value v = load("1: int\n2.50: float\nyes: bool\n~: tilde\n2024-05-01: date\n0x1F: hex\n");
  const Map expected{{"1", "int"},
                     {"2.50", "float"},
                     {"yes", "bool"},
                     {"~", "tilde"},
                     {"2024-05-01", "date"},
                     {"0x1F", "hex"}};
  EXPECT_TRUE(same(v, Value(expected)));
  // `1` and '1' are distinct keys in Python but the same text here: last wins.
  EXPECT_TRUE(same(load("1: a\n'1': b\n"), Value(Map{{"1", "b"}})));
  // A key is still checked as a value would be.
  EXPECT_THROW((void)load("2023-02-29: x\n"), YamlError);
  EXPECT_THROW((void)load("{[a]: b}"), YamlError);
}

TEST(YamlLoad, MergeAndValueIndicatorsOutsideKeysAreStrings)
{
  EXPECT_TRUE(same(load("a: <<\nb: =\nc: [<<, =]\n"),
                   Value(Map{{"a", "<<"}, {"b", "="}, {"c", List{"<<", "="}}})));
}

TEST(YamlLoad, AliasesShareAndMergeKeysOrderLikeSafeLoader)
{
  const Value v = load("base: &b {x: 1, y: [1, 2]}\n"
                       "copy: *b\n"
                       "over: {<<: *b, y: 3, z: 4}\n"
                       "two: {s: 0, <<: [{p: 1, q: 2}, {q: 3, r: 4}], p: 9}\n");
  EXPECT_TRUE(same(*v.get("copy"), *v.get("base")));
  EXPECT_TRUE(same(*v.get("over"), Value(Map{{"x", 1}, {"y", 3}, {"z", 4}})));
  // Merged pairs go first, the last listed mapping's first, so earlier mappings
  // and the mapping's own keys win while first insertion fixes the order.
  EXPECT_TRUE(same(*v.get("two"), Value(Map{{"q", 2}, {"r", 4}, {"p", 9}, {"s", 0}})));
}

TEST(YamlLoad, RecursiveStructuresAreRefused)
{
  EXPECT_NE(error_of("&a [*a]").find("recursive alias"), std::string::npos);
  EXPECT_NE(error_of("a: &a {b: *a}").find("recursive alias"), std::string::npos);
  EXPECT_NE(error_of("a: &a {<<: *a}").find("recursive merge"), std::string::npos);
}

TEST(YamlLoad, BillionLaughsIsRefused)
{
  std::string bomb =
      "a: &a [\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\"]\n";
  for (char c = 'b'; c <= 'i'; ++c) {
    const std::string prev(1, static_cast<char>(c - 1));
    bomb += std::string(1, c) + ": &" + c + " [";
    for (int i = 0; i < 9; ++i) {
      bomb += (i != 0 ? ",*" : "*") + prev;
    }
    bomb += "]\n";
  }
  EXPECT_NE(error_of(bomb).find("aliases expand the document"), std::string::npos);
  // The same shape with long strings is stopped by the byte budget.
  std::string wide = "a: &a \"" + std::string(100000, 'x') + "\"\nb: &b [";
  for (int i = 0; i < 1000; ++i) {
    wide += i != 0 ? ",*a" : "*a";
  }
  wide += "]\n";
  EXPECT_NE(error_of(wide).find("aliases expand the document"), std::string::npos);
  // Merge keys copy too: a chain of merged lists of mappings is bounded as well.
  std::string merges = "a0: &a0 {k0: 0, k1: 1, k2: 2, k3: 3, k4: 4, k5: 5, k6: 6, k7: 7}\n";
  for (int level = 1; level < 12; ++level) {
    // Appended, not "*a" + ...: GCC 12 at -O3 warns (-Wrestrict) on literal + std::string.
    std::string prev = "*a";
    prev += std::to_string(level - 1);
    merges += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " {<<: [";
    for (int i = 0; i < 10; ++i) {
      merges += (i != 0 ? "," : "") + prev;
    }
    merges += "]}\n";
  }
  EXPECT_NE(error_of(merges).find("aliases expand the document"), std::string::npos);
}

TEST(YamlLoad, ModerateAliasUseIsAccepted)
{
  std::string doc = "a: &a {k: [1, 2, 3]}\nb: [";
  for (int i = 0; i < 10000; ++i) {
    doc += i != 0 ? ",*a" : "*a";
  }
  doc += "]\n";
  EXPECT_EQ(load(doc).get("b")->as_list().size(), 10000u);
}

TEST(YamlLoad, TagsOutsideTheStandardOnesAreRefused)
{
  EXPECT_NE(error_of("!foo bar").find("tag '!foo'"), std::string::npos);
  EXPECT_NE(error_of("a: !!python/object:os.system {}").find("not allowed"), std::string::npos);
  EXPECT_NE(error_of("!!set {a, b}").find("not allowed on a mapping"), std::string::npos);
  EXPECT_NE(error_of("!!omap [{a: 1}]").find("not allowed on a sequence"), std::string::npos);
  EXPECT_NE(error_of("!!binary aGVsbG8=").find("!!binary"), std::string::npos);
}

TEST(YamlLoad, ErrorsCarryLineAndColumn)
{
  EXPECT_EQ(error_of("a:\n  b: 1\n c: 2\n"),
            "YAML error at line 3, column 2: did not find expected key "
            "(while parsing a block mapping at line 1, column 1)");
  EXPECT_EQ(error_of("key: [1, 2\nother: 3"),
            "YAML error at line 2, column 6: did not find expected ',' or ']' "
            "(while parsing a flow sequence at line 1, column 6)");
  EXPECT_EQ(error_of("ok: 1\nbad: \xff"),
            "YAML error at line 2, column 6: invalid leading UTF-8 octet (#FF)");
  // Refused on the first read, before any event: the parser must still be freed.
  EXPECT_EQ(error_of("\x0b"),
            "YAML error at line 1, column 1: control characters are not allowed (#B)");
  EXPECT_EQ(error_of("a: 1\nb: *missing\n"),
            "YAML error at line 2, column 4: found undefined alias 'missing'");
  EXPECT_EQ(error_of("list:\n- 2024-02-30\n"),
            "YAML error at line 2, column 3: date out of range: '2024-02-30'");
}

TEST(YamlLoad, NestingIsBounded)
{
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW((void)load(nested(1000)));
  EXPECT_NE(error_of(nested(1001)).find("nesting deeper than 1000"), std::string::npos);
  // Aliases cannot stack nesting past the bound either.
  EXPECT_NE(error_of("a: &a " + nested(600) + "\nb: " + std::string(600, '[') + "*a" +
                     std::string(600, ']'))
                .find("through aliases"),
            std::string::npos);
}

TEST(YamlLoad, StreamsAndEmptyDocuments)
{
  EXPECT_TRUE(load("").is_null());
  EXPECT_TRUE(load("# only a comment\n").is_null());
  EXPECT_TRUE(load("---\n...\n").is_null());
  EXPECT_TRUE(load_all("").empty());
  const auto docs = load_all("a\n---\nb: 1\n...\n--- [1, 2]\n---\n");
  ASSERT_EQ(docs.size(), 4u);
  EXPECT_EQ(docs[0], Value("a"));
  EXPECT_EQ(docs[1], Value(Map{{"b", 1}}));
  EXPECT_EQ(docs[2], Value(List{1, 2}));
  EXPECT_TRUE(docs[3].is_null());
  // Anchors do not carry over from one document to the next.
  EXPECT_THROW((void)load_all("a: &x 1\n---\nb: *x\n"), YamlError);
  EXPECT_NE(error_of("a\n---\nb\n").find("expected a single document"), std::string::npos);
}

TEST(YamlDump, RefusesWhatCannotReadBack)
{
  EXPECT_THROW((void)dump(Value(BigInt{"12x"})), YamlError);
  EXPECT_THROW((void)dump(Value(BigInt{""})), YamlError);
  EXPECT_THROW((void)dump(Value(Date{2023, 2, 29})), YamlError);
  EXPECT_THROW((void)dump(Value(DateTime{2024, 1, 1, 10, 0, 0, 1000000, {}})), YamlError);
  EXPECT_THROW((void)dump(Value(DateTime{2024, 1, 1, 10, 0, 0, 0, 24 * 60})), YamlError);
  EXPECT_EQ(dump(Value(BigInt{"-123456789012345678901234567890"})),
            "-123456789012345678901234567890\n...\n");
}

TEST(YamlDump, InvalidUtf8BecomesReplacementCharacters)
{
  EXPECT_EQ(dump(Value(Map{{"k",
                            "a\xff"
                            "b\xc3"}})),
            "k: \"a\\uFFFDb\\uFFFD\"\n");
  EXPECT_EQ(dump(Value("\xed\xa0\x80")), "\"\\uFFFD\\uFFFD\\uFFFD\"\n");
}

TEST(YamlDump, QuotesExactlyWhatWouldChangeType)
{
  // Spot checks of the rule the golden corpus covers in bulk: the decision comes
  // from the same resolver as loading.
  EXPECT_EQ(dump(Value(List{"yes", "yES", "1e3", "1.0e+3", "0o17", "017", "<<", "="})),
            "- 'yes'\n- yES\n- 1e3\n- '1.0e+3'\n- 0o17\n- '017'\n- '<<'\n- '='\n");
}
