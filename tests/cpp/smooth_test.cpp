// The rotation kernels against values of the exact functions and their
// derivatives, computed with mpmath at 50 digits and rounded to the digits
// shown: s = 0 and subnormal s, both sides of each switch between series and
// closed form, zeros of sin, and large arguments of both signs.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "symbolic/smooth.h"

namespace quoril::symbolic {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();

struct Reference {
  double x, value, d1, d2;
};

// Ulps of the reference that separate `actual` from it.
double ulps(double actual, double expected) {
  if (actual == expected) return 0.0;
  const double unit = std::nextafter(std::fabs(expected),
                                     std::numeric_limits<double>::infinity()) -
                      std::fabs(expected);
  return std::fabs(actual - expected) / unit;
}

using Kernel = double (*)(double);

void expect_table(const Reference* begin, const Reference* end,
                  const Kernel (&kernels)[3], const double (&tolerance)[3]) {
  for (const Reference* row = begin; row != end; ++row) {
    SCOPED_TRACE(::testing::Message() << "x = " << row->x);
    const double expected[3] = {row->value, row->d1, row->d2};
    for (int d = 0; d < 3; ++d) {
      SCOPED_TRACE(::testing::Message() << "derivative " << d);
      const double actual = kernels[d](row->x);
      EXPECT_LE(ulps(actual, expected[d]), tolerance[d])
          << actual << " vs " << expected[d];
    }
  }
}

// x, sin(√x)/√x, and its first and second derivatives in x.
const Reference kSinc[] = {
    {0.0, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {kDenormMin, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {-kDenormMin, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {1e-300, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {-1e-300, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {1e-20, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {-1e-20, 1.0, -1.6666666666666666667e-1, 1.6666666666666666667e-2},
    {1e-08, 9.9999999833333333417e-1, -1.6666666650000000006e-1,
     1.6666666654761904765e-2},
    {-1e-08, 1.0000000016666666675, -1.6666666683333333339e-1,
     1.6666666678571428575e-2},
    {0.1, 9.8341646852929108472e-1, -1.6500594137054111538e-1,
     1.6547949234889018026e-2},
    {-0.1, 1.0167501986885222876, -1.6833929674974909895e-1,
     1.6786045475069233914e-2},
    {1.0, 8.4147098480789650665e-1, -1.5058433946987839463e-1,
     1.5508763002843465276e-2},
    {-1.0, 1.1752011936438014569, -1.839397205857211608e-1,
     1.7890717532368623024e-2},
    {4.0, 4.546487134128408477e-1, -1.0884944374499790434e-1,
     1.2402996816071661145e-2},
    {4.000000000000001, 4.5464871341284075102e-1, -1.0884944374499789332e-1,
     1.2402996816071660303e-2},
    {-25.0, 1.4840642115557751795e1, -1.187386128184601853,
     7.7163253464501406776e-2},
    {-25.000000000000004, 1.4840642115557756014e1, -1.1873861281846021271,
     7.7163253464501421546e-2},
    {kPi * kPi, 3.1740357840726520857e-17, -5.0660591821168890546e-2,
     7.6994866910132518098e-3},
    {10.0, -6.5407069689386402128e-3, -4.9662268295519363368e-2,
     7.6128579185513705105e-3},
    {100.0, -5.440211108893698134e-2, -3.9233470899375773546e-3,
     1.9485548407140611367e-4},
    {10000.0, -5.0636564110975879366e-3, 4.3369126434939076102e-5,
     1.20086041312198837e-7},
    {1000000000000.0, -3.4999350217129295212e-7, 4.6837623876332347912e-13,
     8.7497672978465093044e-20},
    {-10.0, 3.7286437556433521725, -4.0523461575885754363e-1,
     3.2430901527255172768e-2},
    {-100.0, 1.1013232874703393377e3, -4.955954816316491901e1,
     2.0099149962283745592},
    {-10000.0, 1.3440585709080677242e41, -6.6530899259949352348e38,
     3.260350078380245282e36},
};

// x, atan(√x)/√x, and its first and second derivatives in x (at 1e300 they
// are below the smallest subnormal).
const Reference kAtanc[] = {
    {0.0, 1.0, -3.3333333333333333333e-1, 4.0e-1},
    {kDenormMin, 1.0, -3.3333333333333333333e-1, 4.0e-1},
    {-kDenormMin, 1.0, -3.3333333333333333333e-1, 4.0e-1},
    {1e-300, 1.0, -3.3333333333333333333e-1, 4.0e-1},
    {-1e-300, 1.0, -3.3333333333333333333e-1, 4.0e-1},
    {1e-20, 1.0, -3.3333333333333333333e-1, 3.9999999999999999999e-1},
    {-1e-20, 1.0, -3.3333333333333333334e-1, 4.0000000000000000001e-1},
    {1e-08, 9.9999999666666668667e-1, -3.3333332933333337619e-1,
     3.999999914285715619e-1},
    {-1e-08, 1.0000000033333333533, -3.3333333733333337619e-1,
     4.0000000857142870476e-1},
    {0.0625, 9.7991465250745661669e-1, -3.0990545535377058057e-1,
     3.5122573817907524845e-1},
    {0.06250000000000001, 9.7991465250745661239e-1, -3.0990545535377057569e-1,
     3.512257381790752386e-1},
    {-0.0625, 1.0216512475319813664, -3.6012335307748240205e-1,
     4.5926174836264457314e-1},
    {-0.06250000000000001, 1.0216512475319813714, -3.6012335307748240842e-1,
     4.5926174836264458768e-1},
    {0.1, 9.6853408234038924773e-1, -2.9721586624740079055e-1,
     3.2600658875233419586e-1},
    {-0.1, 1.0354882949140619146, -3.7811408098524599571e-1,
     5.0112829139414961882e-1},
    {1.0, 7.8539816339744830962e-1, -1.4269908169872415481e-1,
     8.9048622548086232212e-2},
    {kPi * kPi, 4.0190673804770635162e-1, -1.5700075560431029448e-2,
     1.9573372008937648644e-3},
    {10.0, 3.9987600505576613678e-1, -1.5448345707333761385e-2,
     1.9040287156041964391e-3},
    {100.0, 1.4711276743037345919e-1, -6.8605888665681779098e-4,
     9.8007352751488064196e-6},
    {10000.0, 1.560796660108231381e-2, -7.7539883000412069001e-7,
     1.1580992448562010325e-10},
    {1e+300, 1.570796326794896578e-150, 0.0, 0.0},
    {-0.5, 1.2464504802804610268, -7.5354951971953897321e-1,
     1.7393514408413830804},
    {-0.5000000000000001, 1.2464504802804611104, -7.5354951971953916632e-1,
     1.7393514408413838912},
    {-0.9, 1.9168108714139515902, -4.4906606269922502393,
     4.8071121177235161976e1},
    {-0.999999, 7.6009060099815659858, -4.9999669952931672065e5,
     4.9999974997594503183e11},
};

TEST(SmoothKernels, SincSqrtMatchesReferenceValues) {
  expect_table(std::begin(kSinc), std::end(kSinc),
               {&sinc_sqrt, &sinc_sqrt_d1, &sinc_sqrt_d2}, {3.0, 3.0, 3.0});
}

// The derivatives multiply errors of the angle and of atanc itself up to the
// third and fourth power; they still never cancel.
TEST(SmoothKernels, AtancSqrtMatchesReferenceValues) {
  expect_table(std::begin(kAtanc), std::end(kAtanc),
               {&atanc_sqrt, &atanc_sqrt_d1, &atanc_sqrt_d2}, {2.0, 5.0, 10.0});
}

// Every binade of both signs: sinc_sqrt and its derivatives are finite or an
// overflow to an infinity, never NaN (no ∞ - ∞ or ∞/∞ on the way).
TEST(SmoothKernels, SincSqrtIsNeverNaN) {
  for (int e = -1074; e <= 1023; e += 1) {
    for (double sign : {1.0, -1.0}) {
      const double s = sign * std::ldexp(1.5, e);
      SCOPED_TRACE(::testing::Message() << "s = " << s);
      EXPECT_FALSE(std::isnan(sinc_sqrt(s)));
      EXPECT_FALSE(std::isnan(sinc_sqrt_d1(s)));
      EXPECT_FALSE(std::isnan(sinc_sqrt_d2(s)));
      if (s > -7e5) {
        EXPECT_TRUE(std::isfinite(sinc_sqrt(s)));
      }
    }
  }
}

// Over its whole domain u > -1, atanc_sqrt and its derivatives are finite:
// every binade above 0, every one below it down to -1/2, and every power of
// two short of -1 down to the last double above it.
TEST(SmoothKernels, AtancSqrtIsFiniteOnItsDomain) {
  std::vector<double> points;
  for (int e = -1074; e <= 1023; ++e) points.push_back(std::ldexp(1.5, e));
  for (int e = -1074; e <= -2; ++e) points.push_back(-std::ldexp(1.5, e));
  for (int e = -53; e <= -1; ++e) points.push_back(-1.0 + std::ldexp(1.0, e));
  for (double u : points) {
    SCOPED_TRACE(::testing::Message() << "u = " << u);
    EXPECT_TRUE(std::isfinite(atanc_sqrt(u)));
    EXPECT_TRUE(std::isfinite(atanc_sqrt_d1(u)));
    EXPECT_TRUE(std::isfinite(atanc_sqrt_d2(u)));
  }
  EXPECT_TRUE(std::isinf(atanc_sqrt(-1.0)));
}

}  // namespace
}  // namespace quoril::symbolic
