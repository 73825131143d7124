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

TEST(Utf8Decode, CodePointsAndTheOneStepForIllFormedInput)
{
  using kolvex::core::text::decode_utf8;
  using kolvex::core::text::Surrogates;
  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  EXPECT_EQ(decode_utf8(text, 0).value, U'a');
  EXPECT_EQ(decode_utf8(text, 1).value, U'\u00e9');
  EXPECT_EQ(decode_utf8(text, 3).value, U'\u20ac');
  const auto emoji = decode_utf8(text, 6);
  EXPECT_EQ(emoji.value, U'\U0001F600');
  EXPECT_EQ(emoji.length, 4U);
  // A truncated sequence is one U+FFFD over its maximal subpart.
  const auto cut = decode_utf8("\xe2\x82", 0);
  EXPECT_FALSE(cut.valid);
  EXPECT_EQ(cut.value, U'\ufffd');
  EXPECT_EQ(cut.length, 2U);
  // An encoded surrogate only where asked for.
  EXPECT_FALSE(decode_utf8("\xed\xa0\x80", 0).valid);
  const auto surrogate = decode_utf8("\xed\xa0\x80", 0, Surrogates::accept);
  EXPECT_TRUE(surrogate.valid);
  EXPECT_EQ(surrogate.value, char32_t{0xD800});
}

TEST(ObjectName, FullLowerCaseHexOfGitsTwoLengths)
{
  using kolvex::core::text::is_object_name;
  EXPECT_TRUE(is_object_name(std::string(40, 'a')));
  EXPECT_TRUE(is_object_name(std::string(64, '0')));
  EXPECT_FALSE(is_object_name(std::string(39, 'a')));
  EXPECT_FALSE(is_object_name(std::string(40, 'A')));
  EXPECT_FALSE(is_object_name(std::string(40, 'g')));
  EXPECT_FALSE(is_object_name(""));
}
