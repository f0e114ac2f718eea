// The D-optimal array (kind 6): two-level runs chosen by coordinate exchange so that the
// determinant of the information matrix of a first-order model is large. Runs and factors
// are modest (a few hundred runs, some tens of factors); a pass costs O(n k^2), and a change
// of an entry an O(k^2) update of the inverse.
#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "base/messages.h"
#include "base/random.h"
#include "definitions/method_settings.h"
#include "doe/d_optimal_internal.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"

namespace karvo::doe {

namespace doptimal {

namespace {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

// A candidate replaces an entry only when it raises the determinant by more than this
// fraction: keeping the current value has a delta of exactly 1, which rounding could push a
// hair above 1 and so count as a change.
constexpr double kDeltaTolerance = 1e-9;
// An information matrix counts as regular when its smallest LDLT pivot is above this
// fraction of the largest.
constexpr double kRegularPivotRatio = 1e-12;
// Ridge added to a singular information matrix, as a fraction of its mean diagonal entry;
// grown tenfold until the matrix is regular.
constexpr double kFirstRidge = 1e-10;

// X^T X with X = [1, entries].
Matrix information(const std::vector<double>& entries, int runs, int factors) {
  Matrix x(runs, factors + 1);
  for (int r = 0; r < runs; ++r) {
    x(r, 0) = 1.0;
    for (int j = 0; j < factors; ++j)
      x(r, j + 1) = entries[static_cast<std::size_t>(r) * static_cast<std::size_t>(factors) +
                            static_cast<std::size_t>(j)];
  }
  return x.transpose() * x;
}

bool regular(const Eigen::LDLT<Matrix>& ldlt) {
  if (ldlt.info() != Eigen::Success || !ldlt.isPositive()) return false;
  const Vector d = ldlt.vectorD();
  return d.minCoeff() > kRegularPivotRatio * d.maxCoeff();
}

// The inverse of `information`. With few runs, or runs whose entries coincide, X^T X can be
// singular at the start; the exchange then works on X^T X + ridge I with the smallest ridge
// (1e-10 of the mean diagonal entry, grown tenfold) that makes it regular, so that the
// deltas stay finite and still favour the entries that make the runs independent. Every
// pass starts from a freshly factored X^T X, so the ridge is dropped as soon as the runs
// span the model.
Matrix regularisedInverse(Matrix information) {
  const Eigen::Index size = information.rows();
  Eigen::LDLT<Matrix> ldlt(information);
  if (!regular(ldlt)) {
    const double scale = std::max(information.trace() / static_cast<double>(size), 1.0);
    for (double ridge = kFirstRidge * scale;; ridge *= 10.0) {
      ldlt.compute(information + ridge * Matrix::Identity(size, size));
      if (regular(ldlt)) break;
    }
  }
  return ldlt.solve(Matrix::Identity(size, size));
}

}  // namespace

double modelDeterminant(const std::vector<double>& entries, int runs, int factors) {
  const Matrix m = information(entries, runs, factors);
  const Eigen::LDLT<Matrix> ldlt(m);
  if (!regular(ldlt)) return 0.0;
  return ldlt.vectorD().prod();
}

ExchangeReport exchange(std::vector<double>& entries, int runs, int factors, int maxPasses) {
  ExchangeReport report;
  report.determinants.push_back(modelDeterminant(entries, runs, factors));
  const int p = factors + 1;
  const std::size_t width = static_cast<std::size_t>(factors);
  static constexpr double kCandidates[3] = {-1.0, 0.0, 1.0};
  Vector x(p), v(p), a(p);

  for (int pass = 0; pass < maxPasses; ++pass) {
    Matrix inverse = regularisedInverse(information(entries, runs, factors));
    int changed = 0;
    for (int r = 0; r < runs; ++r) {
      double* row = entries.data() + static_cast<std::size_t>(r) * width;
      x(0) = 1.0;
      for (int j = 0; j < factors; ++j) x(j + 1) = row[j];
      v.noalias() = inverse * x;  // (X^T X)^-1 x_old
      double dOld = x.dot(v);     // prediction variance of the run
      for (int j = 0; j < factors; ++j) {
        const int c = j + 1;
        const double old = x(c);
        double bestDelta = 1.0 + kDeltaTolerance;
        double bestValue = old;
        for (double candidate : kCandidates) {
          if (candidate == old) continue;
          // x_new = x_old + step e_c: the variances follow from v and one diagonal entry.
          const double step = candidate - old;
          const double dNew = dOld + 2.0 * step * v(c) + step * step * inverse(c, c);
          const double dBoth = dOld + step * v(c);
          const double delta = (1.0 + dNew) * (1.0 - dOld) + dBoth * dBoth;
          if (delta > bestDelta) {
            bestDelta = delta;
            bestValue = candidate;
          }
        }
        if (bestValue == old) continue;

        // Exchange x_old for x_new: X^T X + x_new x_new^T - x_old x_old^T, inverted by the
        // rank-two Woodbury identity. Its 2 x 2 core has the determinant -delta (< -1), so
        // the update is well conditioned.
        const double step = bestValue - old;
        a = v + step * inverse.col(c);  // (X^T X)^-1 x_new
        const double dNew = dOld + 2.0 * step * v(c) + step * step * inverse(c, c);
        const double dBoth = dOld + step * v(c);
        const double coreDet = (1.0 + dNew) * (dOld - 1.0) - dBoth * dBoth;
        const double s = 1.0 / coreDet;
        inverse.noalias() -= (s * (dOld - 1.0)) * (a * a.transpose());
        inverse.noalias() += (s * dBoth) * (a * v.transpose() + v * a.transpose());
        inverse.noalias() -= (s * (1.0 + dNew)) * (v * v.transpose());

        x(c) = bestValue;
        row[j] = bestValue;
        v.noalias() = inverse * x;
        dOld = x.dot(v);
        ++changed;
      }
    }
    ++report.passes;
    report.changes += changed;
    report.determinants.push_back(modelDeterminant(entries, runs, factors));
    if (changed == 0) break;
  }
  return report;
}

}  // namespace doptimal

bool buildDOptimal(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  const int n = request.runs;
  if (k < 2) {
    error = formatText("At least TWO factors need to be defined for using the D-Optimal DOE in "
                       "agent # %d.",
                       request.agentNumber);
    return false;
  }
  if (n <= k) {
    error = "The number of runs must be greater than the number of factors for the D-Optimal "
            "DOE sampling.";
    return false;
  }
  if (k < 23 && n > (1 << k)) {
    writeMessage("outptr", "warning",
                 formatText("The requested number of runs (%d) is greater than the max. possible "
                            "runs (%d) for the selected factors for the D-Optimal DOE sampling.",
                            n, 1 << k));
  }
  writeMessage("outptr", "note",
               "Please note that D-optimal is design to spread out the designs when a 2-level "
               "full factorial is not feasible. If the number of designs requested is close to "
               "the number of evaluations needed by a full factorial, D-optimal may not perform "
               "the number of evaluations requested but instead evaluate a ");

  try {
    const std::size_t cells = static_cast<std::size_t>(n) * static_cast<std::size_t>(k);
    std::vector<double> entries(cells);
    for (double& entry : entries) entry = 2.0 * static_cast<double>(nextUniform()) - 1.0;
    doptimal::exchange(entries, n, k);

    doeShapeFactors(array, kDoeDOptimal, k, n, 2);
    array.cells.resize(cells);
    // -1 and 0 (and entries the exchange left inside the range) give level 0, +1 level 1.
    for (std::size_t i = 0; i < cells; ++i)
      array.cells[i] = static_cast<std::int32_t>(std::trunc((entries[i] + 1.0) / 2.0));
  } catch (const std::bad_alloc&) {
    error = "\n\t**** ERROR ****\n\t Error allocating DOE structure\n\nCannot continue.";
    return false;
  }
  return true;
}

}  // namespace karvo::doe
