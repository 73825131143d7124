#include "core/pyrepr.hpp"

#include <gtest/gtest.h>

#include <limits>

using kolvex::core::float_repr;

TEST(FloatRepr, MatchesPythonAcrossNotationBoundaries)
{
  EXPECT_EQ(float_repr(1.0), "1.0");
  EXPECT_EQ(float_repr(-0.0), "-0.0");
  EXPECT_EQ(float_repr(0.0), "0.0");
  EXPECT_EQ(float_repr(0.1), "0.1");
  EXPECT_EQ(float_repr(0.0001), "0.0001");
  EXPECT_EQ(float_repr(0.00001), "1e-05");
  EXPECT_EQ(float_repr(1.5e-7), "1.5e-07");
  EXPECT_EQ(float_repr(123.0), "123.0");
  EXPECT_EQ(float_repr(1e15), "1000000000000000.0");
  EXPECT_EQ(float_repr(1e16), "1e+16");
  EXPECT_EQ(float_repr(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(float_repr(1e100), "1e+100");
  EXPECT_EQ(float_repr(-2.5), "-2.5");
  EXPECT_EQ(float_repr(3.141592653589793), "3.141592653589793");
  EXPECT_EQ(float_repr(5e-324), "5e-324");
  EXPECT_EQ(float_repr(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_repr(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(float_repr(std::numeric_limits<double>::quiet_NaN()), "nan");
}
