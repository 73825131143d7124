#include "core/text.hpp"

#include <gtest/gtest.h>

namespace text = kolvex::core::text;

TEST(Text, TrimRemovesAsciiWhitespaceOnly)
{
  EXPECT_EQ(text::trim(" \t\n\r\v\fon\f\v\r\n\t "), "on");
  EXPECT_EQ(text::trim("   "), "");
  EXPECT_EQ(text::trim(""), "");
  EXPECT_EQ(text::trim("a b"), "a b");
  EXPECT_EQ(text::trim("\xC2\xA0x"), "\xC2\xA0x"); // NBSP is not ASCII white space
}

TEST(Text, LowerTouchesAsciiLettersOnly)
{
  EXPECT_EQ(text::lower("TRUE On 42"), "true on 42");
  EXPECT_EQ(text::lower("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89"); // É stays
}

TEST(Text, SplitKeepsEveryPieceLikePython)
{
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(text::split("", ','), Pieces{""});
  EXPECT_EQ(text::split("a,,b", ','), (Pieces{"a", "", "b"}));
  EXPECT_EQ(text::split(",a,", ','), (Pieces{"", "a", ""}));
  EXPECT_EQ(text::join(text::split("x/y/z", '/'), "/"), "x/y/z");
  EXPECT_EQ(text::join({}, ", "), "");
  EXPECT_EQ(text::join({"one"}, ", "), "one");
  EXPECT_TRUE(text::starts_with("kolvex.log", "kolvex."));
  EXPECT_FALSE(text::starts_with("kol", "kolvex"));
}

TEST(PythonStrip, RemovesUnicodeWhitespaceAsStrStripDoes)
{
  using kolvex::core::text::python_strip;
  EXPECT_EQ(python_strip("  \t{\"a\": 1}\r\n"), "{\"a\": 1}");
  // No-break space, NEL, U+2028 and U+3000 are whitespace to Python.
  EXPECT_EQ(python_strip("\xc2\xa0x\xc2\x85"), "x");
  EXPECT_EQ(python_strip("\xe2\x80\xa8x y\xe3\x80\x80"), "x y");
  // U+200B (zero width space) is not.
  EXPECT_EQ(python_strip("\xe2\x80\x8bx"), "\xe2\x80\x8bx");
  EXPECT_EQ(python_strip(" \x1c\x1f "), "");
  EXPECT_EQ(python_strip(""), "");
}
