#include "symbolic/fit_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <tuple>
#include <vector>

#include "symbolic/checks.h"

namespace quoril::symbolic {

namespace {

// Labels are padded by code points, as Python counts a string's length.
std::size_t code_points(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(),
      [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void append_padded(std::string& out, const std::string& text,
                   std::size_t width) {
  out += text;
  const std::size_t length = code_points(text);
  if (length < width) out.append(width - length, ' ');
}

void append_right(std::string& out, const std::string& text,
                  std::size_t width) {
  const std::size_t length = code_points(text);
  if (length < width) out.append(width - length, ' ');
  out += text;
}

// As printf's %.*g: to_chars, without the cost of a format string, which
// for a report of a few lanes would cost more than the covariance.
std::string general(double x, int precision) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, x,
                                 std::chars_format::general, precision)
                       .ptr;
  return std::string(buffer, end);
}

// As printf's %+.*f.
std::string signed_fixed(double x, int precision) {
  char buffer[32];
  buffer[0] = '+';
  const auto end = std::to_chars(buffer + 1, buffer + sizeof buffer, x,
                                 std::chars_format::fixed, precision)
                       .ptr;
  const char* start = buffer[1] == '-' ? buffer + 1 : buffer;
  return std::string(start, static_cast<const char*>(end));
}

void trim_spaces(std::string& out) {
  while (!out.empty() && out.back() == ' ') out.pop_back();
}

struct Pair {
  double size;
  double r;
  std::size_t i;
  std::size_t j;
};

}  // namespace

std::string fit_report(const FitSummary& summary, const FitLanes& lanes) {
  const std::size_t n = lanes.labels.size();
  if (n == 0 || lanes.value.size() != n || lanes.standard_error.size() != n ||
      lanes.free.size() != n || lanes.at_bound.size() != n ||
      lanes.correlation.size() != n * n) {
    detail::throw_invalid_argument(
        "fit report lanes do not agree in size or are empty");
  }
  std::size_t width = 9;
  for (const std::string& label : lanes.labels) {
    width = std::max(width, code_points(label));
  }

  std::string out;
  out.reserve(160 + n * (width + 60));
  out += "least squares (";
  out += summary.method;
  out += "): ";
  out += summary.converged ? "converged" : "NOT converged";
  out += ", " + std::to_string(summary.evaluations) +
         " function evaluations\nresidual lanes " +
         std::to_string(summary.residual_lanes) + ", free Parameter lanes " +
         std::to_string(summary.residual_lanes - summary.dof) + ", dof " +
         std::to_string(summary.dof) + "\nchisqr " +
         general(summary.chisqr, 6) + ", redchi " + general(summary.redchi, 6);
  out += summary.absolute_sigma ? " (sigma absolute, covariance not scaled)\n\n"
                                : " (covariance scaled by redchi)\n\n";
  append_padded(out, "Parameter", width);
  out += "           value    std error   relative";

  for (std::size_t k = 0; k < n; ++k) {
    const double value = lanes.value[k];
    const double error = lanes.standard_error[k];
    std::string shown, relative, mark;
    if (!lanes.free[k]) {
      shown = "0";
      mark = "fixed by bounds";
    } else if (!std::isfinite(error)) {
      shown = "inf";
      mark = "not determined";
    } else {
      shown = general(error, 5);
      if (value != 0.0) {
        relative = general(100.0 * error / std::abs(value), 3) + "%";
      }
    }
    if (lanes.at_bound[k]) {
      mark = mark.empty() ? "at a bound" : mark + ", at a bound";
    }
    out += '\n';
    append_padded(out, lanes.labels[k], width);
    out += "  ";
    append_right(out, general(value, 8), 14);
    out += "  ";
    append_right(out, shown, 11);
    out += "  ";
    append_right(out, relative, 9);
    out += "  ";
    out += mark;
    trim_spaces(out);
  }

  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double r = lanes.correlation[i * n + j];
      // NaN, for a lane not determined, is never above the threshold.
      if (std::abs(r) > kReportCorrelation)
        pairs.push_back({std::abs(r), r, i, j});
    }
  }
  if (!pairs.empty()) {
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
      return std::tuple(-a.size, a.r, a.i, a.j) <
             std::tuple(-b.size, b.r, b.i, b.j);
    });
    out += "\n\ncorrelations above " + general(kReportCorrelation, 6) +
           " in size:";
    for (const Pair& p : pairs) {
      out += '\n';
      append_padded(out, lanes.labels[p.i] + ", " + lanes.labels[p.j],
                    2 * width + 2);
      out += "  " + signed_fixed(p.r, 4);
    }
  }
  return out;
}

}  // namespace quoril::symbolic
