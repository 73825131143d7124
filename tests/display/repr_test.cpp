#include "display/repr.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string_view>

namespace {

using kolvex::core::BigInt;
using kolvex::core::Date;
using kolvex::core::DateTime;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::display::repr::python_list;
using kolvex::display::repr::python_repr;

TEST(PythonRepr, Scalars)
{
  EXPECT_EQ(python_repr(Value()), "None");
  EXPECT_EQ(python_repr(Value(true)), "True");
  EXPECT_EQ(python_repr(Value(false)), "False");
  EXPECT_EQ(python_repr(Value(-12)), "-12");
  EXPECT_EQ(python_repr(Value(BigInt{"123456789012345678901"})), "123456789012345678901");
  EXPECT_EQ(python_repr(Value(1.5)), "1.5");
  EXPECT_EQ(python_repr(Value(2.0)), "2.0");
  EXPECT_EQ(python_repr(Value(1e20)), "1e+20");
  EXPECT_EQ(python_repr(Value(Date{2024, 5, 1})), "datetime.date(2024, 5, 1)");
  EXPECT_EQ(python_repr(Value(DateTime{2024, 5, 1, 10, 0, 0, 0, 0})),
            "datetime.datetime(2024, 5, 1, 10, 0, tzinfo=datetime.timezone.utc)");
  EXPECT_EQ(python_repr(Value(DateTime{2024, 5, 1, 10, 0, 7, 0, -90})),
            "datetime.datetime(2024, 5, 1, 10, 0, 7, "
            "tzinfo=datetime.timezone(datetime.timedelta(days=-1, seconds=81000)))");
}

TEST(PythonRepr, TextsQuoteAndEscapeAsPythonDoes)
{
  EXPECT_EQ(python_repr(std::string_view("story")), "'story'");
  EXPECT_EQ(python_repr(std::string_view("")), "''");
  EXPECT_EQ(python_repr(std::string_view("it's")), "\"it's\"");
  EXPECT_EQ(python_repr(std::string_view("it's \"x\"")), "'it\\'s \"x\"'");
  EXPECT_EQ(python_repr(std::string_view("a\\b\tc\nd\re")), "'a\\\\b\\tc\\nd\\re'");
  EXPECT_EQ(python_repr(std::string_view("\x01\x7f")), "'\\x01\\x7f'");
  // Printable non-ASCII stays; invisible characters are escaped.
  EXPECT_EQ(python_repr(std::string_view("caf\xc3\xa9 \xe2\x80\x94")),
            "'caf\xc3\xa9 \xe2\x80\x94'");
  EXPECT_EQ(python_repr(std::string_view("\xc2\xa0\xe2\x80\x8b\xef\xbb\xbf")),
            "'\\xa0\\u200b\\ufeff'");
  EXPECT_EQ(python_repr(std::string_view("\xf3\xb0\x80\x80")), "'\\U000f0000'");
  // A stray byte shows as Python's surrogate escape would hold it.
  EXPECT_EQ(python_repr(std::string_view("a\xff")), "'a\\udcff'");
}

TEST(PythonRepr, Containers)
{
  EXPECT_EQ(python_repr(Value(List{})), "[]");
  EXPECT_EQ(python_repr(Value(Map{})), "{}");
  EXPECT_EQ(python_repr(Value(List{1, "a", Value(), List{true}})), "[1, 'a', None, [True]]");
  EXPECT_EQ(python_repr(Value(Map{{"type", "spec"}, {"n", 1.5}})), "{'type': 'spec', 'n': 1.5}");
  constexpr std::array<std::string_view, 2> choices{"spec", "ad-hoc"};
  EXPECT_EQ(python_list(choices), "['spec', 'ad-hoc']");
}

} // namespace
