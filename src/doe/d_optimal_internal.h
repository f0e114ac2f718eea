// The coordinate exchange of the D-optimal builder, reachable by its tests: it runs on a
// given start matrix and reports the determinant of the information matrix after each pass.
#pragma once

#include <vector>

namespace karvo::doe::doptimal {

inline constexpr int kMaxPasses = 10;  // passes over all runs at most

// What an exchange did.
struct ExchangeReport {
  std::vector<double> determinants;  // det(X^T X) of the start, then after each pass
  int passes = 0;                    // passes made, 1 .. maxPasses
  int changes = 0;                   // entries replaced over all passes
};

// det(X^T X) of the model matrix X: one row per run, an intercept column of 1 and the
// entries of the run's factors (entries: runs x factors, row-major). 0 when singular.
double modelDeterminant(const std::vector<double>& entries, int runs, int factors);

// Coordinate exchange on `entries` (runs x factors, row-major, each in [-1, 1]), in place:
// for every run and, within it, every factor, the candidates -1, 0 and +1 are compared by
// Fedorov's delta under the current (X^T X)^-1 and the best replaces the entry when its delta
// exceeds 1. Passes over all runs repeat while one changed something, at most maxPasses.
// runs > factors >= 1. O(runs factors^2) per pass.
ExchangeReport exchange(std::vector<double>& entries, int runs, int factors,
                        int maxPasses = kMaxPasses);

}  // namespace karvo::doe::doptimal
