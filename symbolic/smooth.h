#ifndef QUORIL_SYMBOLIC_SMOOTH_H_
#define QUORIL_SYMBOLIC_SMOOTH_H_

// Two functions of a squared length, with their first and second
// derivatives, for rotations that stay finite and smooth at no rotation:
//
//   sinc_sqrt(s)  = sin(√s)/√s, and sinh(√-s)/√-s for s < 0 (entire);
//   atanc_sqrt(u) = atan(√u)/√u, and atanh(√-u)/√-u for -1 < u < 0.
//
// Rotating by an axis-angle vector w takes sin θ/θ = sinc_sqrt(s) and
// (1 - cos θ)/θ² = sinc_sqrt(s/4)²/2 with s = w·w; a quaternion from it takes
// sin(θ/2)/θ = sinc_sqrt(s/4)/2 and cos(θ/2) = 1 - (s/8)·sinc_sqrt(s/16)²;
// the angle back from a quaternion takes atanc_sqrt of tan²(θ/4). Composing
// sqrt with sin or atan gives the same values away from 0, but its
// derivatives at s = 0 are 0·∞.
//
// Each function is a Taylor polynomial in s near 0, including s = 0 itself
// and subnormal s, and a closed form beyond, switching where both agree with
// the exact function to about an ulp. The closed forms never subtract nearly
// equal terms: the derivatives of atanc_sqrt go through
// S(y) = (√y - sin√y)/y^(3/2), itself a polynomial over the range they use.

#include <array>
#include <cmath>
#include <cstddef>

namespace quoril::symbolic {

namespace smooth_detail {

// Coefficients c[k] of x^k, lowest first.
template <std::size_t N>
using Series = std::array<double, N>;

// The coefficients of the series' derivative.
template <std::size_t N>
constexpr Series<N - 1> derivative(const Series<N>& c) {
  Series<N - 1> d{};
  for (std::size_t k = 0; k + 1 < N; ++k) {
    d[k] = static_cast<double>(k + 1) * c[k + 1];
  }
  return d;
}

template <std::size_t N>
constexpr double horner(const Series<N>& c, double x) {
  double r = c[N - 1];
  for (std::size_t k = N - 1; k-- > 0;) r = r * x + c[k];
  return r;
}

// (-1)^k/(2k+1)!, the series of sin(√s)/√s. Twenty-four terms keep the last
// one below 1e-17 of the sum at both ends of its range, second derivative
// included.
inline constexpr std::size_t kSincTerms = 24;
constexpr Series<kSincTerms + 1> sinc_coefficients() {
  Series<kSincTerms + 1> c{};
  double term = 1.0;
  for (std::size_t k = 0; k <= kSincTerms; ++k) {
    c[k] = term;
    term = -term / static_cast<double>((2 * k + 2) * (2 * k + 3));
  }
  return c;
}
inline constexpr Series<kSincTerms + 1> kSincAll = sinc_coefficients();

constexpr Series<kSincTerms> first_terms(const Series<kSincTerms + 1>& c) {
  Series<kSincTerms> r{};
  for (std::size_t k = 0; k < kSincTerms; ++k) r[k] = c[k];
  return r;
}
// (√y - sin√y)/y^(3/2) = (1 - sinc_sqrt(y))/y = Σ (-1)^k y^k/(2k+3)!.
constexpr Series<kSincTerms> remainder_coefficients(
    const Series<kSincTerms + 1>& c) {
  Series<kSincTerms> r{};
  for (std::size_t k = 0; k < kSincTerms; ++k) r[k] = -c[k + 1];
  return r;
}

inline constexpr Series<kSincTerms> kSinc = first_terms(kSincAll);
inline constexpr Series<kSincTerms - 1> kSincD1 = derivative(kSinc);
inline constexpr Series<kSincTerms - 2> kSincD2 = derivative(kSincD1);
inline constexpr Series<kSincTerms> kRemainder =
    remainder_coefficients(kSincAll);
inline constexpr Series<kSincTerms - 1> kRemainderD1 = derivative(kRemainder);

// The polynomial's range. On the positive side the series alternates and
// loses a bit by s = 4 (θ = 2), where the trigonometric forms have stopped
// cancelling; on the negative side its terms share one sign, and the
// hyperbolic forms' second derivative cancels up to about s = -25.
inline constexpr double kSincHigh = 4.0;
inline constexpr double kSincLow = -25.0;

// (-1)^k/(2k+1), the series of atan(√u)/√u, which converges for |u| < 1;
// at |u| <= 1/16 twenty terms reach the last bit of the second derivative.
inline constexpr std::size_t kAtancTerms = 20;
inline constexpr double kAtancLimit = 1.0 / 16.0;
constexpr Series<kAtancTerms> atanc_coefficients() {
  Series<kAtancTerms> c{};
  for (std::size_t k = 0; k < kAtancTerms; ++k) {
    c[k] = (k % 2 == 0 ? 1.0 : -1.0) / static_cast<double>(2 * k + 1);
  }
  return c;
}
inline constexpr Series<kAtancTerms> kAtanc = atanc_coefficients();
inline constexpr Series<kAtancTerms - 1> kAtancD1 = derivative(kAtanc);
inline constexpr Series<kAtancTerms - 2> kAtancD2 = derivative(kAtancD1);

// S(y) = (x - sin x)/x³ with x = √y, and its derivative, for y <= π²: the
// polynomial down to y = -25, then (sinh x - x)/x³ with x = √-y, whose terms
// no longer cancel. Written with tanh so that an overflowing cosh gives an
// infinity rather than ∞ - ∞.
inline double remainder(double y) {
  if (y >= kSincLow) return horner(kRemainder, y);
  const double x = std::sqrt(-y);
  return (std::sinh(x) - x) / (x * x * x);
}
inline double remainder_d1(double y) {
  if (y >= kSincLow) return horner(kRemainderD1, y);
  const double x = std::sqrt(-y);
  const double x2 = x * x;
  return (std::cosh(x) * (3.0 * std::tanh(x) - x) - 2.0 * x) /
         (2.0 * x * x2 * x2);
}

// The angle behind atanc_sqrt: atan(√u) for u > 0 and atanh(√-u) for u < 0.
// Near u = -1 atanh's argument is within an ulp or so of 1 and loses what
// 1 + u keeps exactly, so it is written as log1p(√-u) - log1p(u)/2.
inline double atanc_angle(double u, double root) {
  if (u > 0.0) return std::atan(root);
  if (u >= -0.5) return std::atanh(root);
  return std::log1p(root) - 0.5 * std::log1p(u);
}

}  // namespace smooth_detail

namespace smooth_detail {

// sin√s and cos√s for s > 0, and sinh√-s and cosh√-s for s < 0, at the
// exact root rather than the rounded one: t + e with e = (s - t²)/(2t)
// from one fused multiply-add. The rounding of t alone would cost about
// t·2^-53 absolutely, a thousand ulps of sin√s by s = 1e4.
struct Circular {
  double root, sin, cos;
};
inline Circular circular(double s) {
  const double t = std::sqrt(s);
  const double e = std::fma(-t, t, s) / (2.0 * t);
  const double sn = std::sin(t);
  const double cs = std::cos(t);
  return {t, sn + cs * e, cs - sn * e};
}
// cosh and tanh rather than sinh and cosh, so that an overflowing cosh
// gives an infinity and never ∞/∞.
struct Hyperbolic {
  double root, cosh, tanh;
};
inline Hyperbolic hyperbolic(double s) {
  const double f = std::sqrt(-s);
  const double e = std::fma(-f, f, -s) / (2.0 * f);
  const double th = std::tanh(f);
  return {f, std::cosh(f) * (1.0 + th * e), th + (1.0 - th * th) * e};
}

}  // namespace smooth_detail

// sin(√s)/√s, continued to s < 0 as sinh(√-s)/√-s: 1 at s = 0, finite for
// every finite s at which it does not overflow (s above about -5e5).
inline double sinc_sqrt(double s) {
  using namespace smooth_detail;
  if (s > kSincHigh) {
    const Circular c = circular(s);
    return c.sin / c.root;
  }
  if (s < kSincLow) {
    const Hyperbolic h = hyperbolic(s);
    return h.cosh * h.tanh / h.root;
  }
  return horner(kSinc, s);
}

// d/ds sinc_sqrt(s) = (cos√s - sinc_sqrt(s))/(2s); -1/6 at s = 0.
inline double sinc_sqrt_d1(double s) {
  using namespace smooth_detail;
  if (s > kSincHigh) {
    const Circular c = circular(s);
    return (c.cos - c.sin / c.root) / s / 2.0;
  }
  if (s < kSincLow) {
    const Hyperbolic h = hyperbolic(s);
    return h.cosh * (1.0 - h.tanh / h.root) / s / 2.0;
  }
  return horner(kSincD1, s);
}

// d²/ds² sinc_sqrt(s) = ((3 - s)·sinc_sqrt(s) - 3 cos√s)/(4s²); 1/60 at
// s = 0. Divided by s twice rather than by s², which would overflow first,
// and the scale factors last, so an infinite cosh never meets an infinite s.
inline double sinc_sqrt_d2(double s) {
  using namespace smooth_detail;
  if (s > kSincHigh) {
    const Circular c = circular(s);
    return ((3.0 - s) * (c.sin / c.root) - 3.0 * c.cos) / s / s / 4.0;
  }
  if (s < kSincLow) {
    const Hyperbolic h = hyperbolic(s);
    return h.cosh * ((3.0 - s) * h.tanh / h.root - 3.0) / s / s / 4.0;
  }
  return horner(kSincD2, s);
}

// atan(√u)/√u, continued to -1 < u < 0 as atanh(√-u)/√-u: 1 at u = 0,
// π/(2√u) and less for large u. At u = -1 it is infinite and below it NaN,
// as log is outside its domain.
inline double atanc_sqrt(double u) {
  using namespace smooth_detail;
  if (std::fabs(u) <= kAtancLimit) return horner(kAtanc, u);
  const double root = std::sqrt(std::fabs(u));
  return atanc_angle(u, root) / root;
}

// d/du atanc_sqrt(u) = (1/(1+u) - atanc_sqrt(u))/(2u); -1/3 at u = 0.
// With a = atan√u, that difference is -(2a - sin 2a)/(4u^(3/2)), which is
// -2·atanc_sqrt(u)³·S(4a²) without the cancellation.
inline double atanc_sqrt_d1(double u) {
  using namespace smooth_detail;
  if (std::fabs(u) <= kAtancLimit) return horner(kAtancD1, u);
  const double root = std::sqrt(std::fabs(u));
  const double a = atanc_angle(u, root);
  const double g = a / root;
  const double y = u > 0.0 ? 4.0 * a * a : -4.0 * a * a;
  return -2.0 * (g * g * g) * remainder(y);
}

// d²/du² atanc_sqrt(u) = (-1/(1+u)² - 3·d1)/(2u); 2/5 at u = 0. Through S
// it is 4g⁴(3g·S² - 2S'/(1+u)), a sum of two positive terms (S' < 0).
inline double atanc_sqrt_d2(double u) {
  using namespace smooth_detail;
  if (std::fabs(u) <= kAtancLimit) return horner(kAtancD2, u);
  const double root = std::sqrt(std::fabs(u));
  const double a = atanc_angle(u, root);
  const double g = a / root;
  const double y = u > 0.0 ? 4.0 * a * a : -4.0 * a * a;
  const double s = remainder(y);
  const double g2 = g * g;
  return 4.0 * (g2 * g2) *
         (3.0 * g * s * s - 2.0 * remainder_d1(y) / (1.0 + u));
}

}  // namespace quoril::symbolic

#endif  // QUORIL_SYMBOLIC_SMOOTH_H_
