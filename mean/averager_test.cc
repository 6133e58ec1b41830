#include "averager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

TEST(MeanTest, HalvesTheSum) {
  EXPECT_EQ(mean(1.0, 2.0), 1.5);
  EXPECT_EQ(mean(-3.0, 3.0), 0.0);
  EXPECT_EQ(mean(0.1, 0.2), (0.1 + 0.2) / 2.0) << "the sum is halved, not each argument";
}

TEST(MeanTest, MeanOfAValueWithItselfIsThatValue) {
  for (double x : {0.0, -0.0, 1.0, -2.5, std::numeric_limits<double>::denorm_min(),
                   std::numeric_limits<double>::min(), 1e300, -1e300, kMax / 2, kMax, -kMax}) {
    EXPECT_EQ(mean(x, x), x) << x;
  }
  for (double x = 1e-300; x < kMax / 8; x *= 7.3) ASSERT_EQ(mean(x, x), x) << x;
}

TEST(MeanTest, SumsBeyondTheLargestDoubleStayFinite) {
  EXPECT_EQ(mean(kMax, kMax / 2), kMax * 0.75);
  EXPECT_EQ(mean(-kMax, -kMax), -kMax);
  EXPECT_EQ(mean(kMax, -kMax), 0.0);
}

TEST(MeanTest, InfinitiesAndNaNs) {
  EXPECT_TRUE(std::isnan(mean(std::nan(""), 1.0)));
  EXPECT_TRUE(std::isnan(mean(1.0, std::nan(""))));
  EXPECT_TRUE(std::isnan(mean(kInf, -kInf)));
  EXPECT_EQ(mean(kInf, 1.0), kInf);
  EXPECT_EQ(mean(-kInf, kMax), -kInf);
}

}  // namespace
