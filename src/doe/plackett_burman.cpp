// Plackett-Burman: n runs (12, 20, 24, 36, 40, 48 or 64). The 12- to 36-run arrays come from
// a cyclic generating row: column j is the row shifted down by j over the first n - 1 runs
// and the last run is all at level 0. The 40- and 48-run arrays are the 20- and 24-run ones
// doubled, the 64-run array is Sylvester's (see kDesigns). Only the first k columns, those
// carrying factors, are kept: n x k cells.
#include <string>
#include <vector>

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/factorial_internal.h"

namespace karvo::doe {

namespace {

struct PlackettBurmanDesign {
  int runs;            // n
  int minFactors;      // k range
  int maxFactors;
  const char* row;     // n - 1 signs: '+' level 1, '-' level 0
};

// The cyclic rows of 40, 48 and 64 runs that circulate ("++--++++-+-+----++--++--++++-+-+-
// ---++-", "++-+++---+--" four times less its last sign, "+-" 31 times and "+") repeat
// themselves within the row, so that some of their shifted columns coincide or correlate and
// the effects of those factors could not be told apart. Those sizes are built instead from a
// Hadamard matrix of their order (row = null): H_2m = [[H_m, H_m], [H_m, -H_m]] from the 20-
// and 24-run arrays (bordered by a column of +1 and closed by their all-low run), and
// Sylvester's matrix for 64 runs; the constant column is dropped. Every pair of the n - 1
// columns is then orthogonal, as for the cyclic sizes.
constexpr PlackettBurmanDesign kDesigns[] = {
    {12, 4, 11, "++-+++---+-"},
    {20, 5, 19, "++--++++-+-+----++-"},
    {24, 5, 23, "+++++-+-++--++--+-+----"},
    {36, 6, 35, "-+-+++---+++++-+++--+----+-+-++--+-"},
    {40, 6, 39, nullptr},
    {48, 6, 47, nullptr},
    {64, 6, 63, nullptr},
};

// Sign (+1 or -1) of run r, column c of the normalised Hadamard matrix of order `n` behind
// the array of n runs: column 0 is all +1, column j >= 1 is the array's column j - 1.
int hadamardSign(int n, int r, int c) {
  if (n == 64) return (__builtin_popcount(static_cast<unsigned>(r & c)) & 1) ? -1 : 1;
  if (n == 40 || n == 48) {
    const int m = n / 2;  // the cyclic array doubled
    const int sign = (r >= m && c >= m) ? -1 : 1;
    return sign * hadamardSign(m, r % m, c % m);
  }
  if (c == 0) return 1;
  const int cycle = n - 1;
  if (r == cycle) return -1;  // the all-low run
  const char* row = nullptr;
  for (const PlackettBurmanDesign& entry : kDesigns) {
    if (entry.runs == n) row = entry.row;
  }
  return row[(r - (c - 1) + cycle) % cycle] == '+' ? 1 : -1;
}

}  // namespace

bool buildPlackettBurman(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int n = request.runs;
  const int k = request.factors;
  const PlackettBurmanDesign* design = nullptr;
  for (const PlackettBurmanDesign& entry : kDesigns) {
    if (entry.runs == n) design = &entry;
  }
  if (!design) {
    error = "\n\t Invalid number of runs for Plackett-Burman design (" + std::to_string(n) +
            ").\n"
            "\n\t Only number of runs allowed are: 12, 20, 24, 36, 40, 48 and 64.\n";
    return false;
  }
  // Every range starts at 4 or more, so this also refuses fewer than two factors.
  if (k < design->minFactors || k > design->maxFactors) {
    error = "\n\t Invalid number of factors(" + std::to_string(k) + ") for " +
            std::to_string(n) + " run Plackett-Burman design.\n" +
            "\n\t Factors must be in range [" + std::to_string(design->minFactors) + ", " +
            std::to_string(design->maxFactors) + "].\n";
    return false;
  }
  if (!factorial::shapeArray(array, kDoePlackettBurman, k, n, 2)) {
    error = factorial::allocationMessage("\n\t Error allocating DOE structure\n");
    return false;
  }
  if (!design->row) {
    // The columns that separate the two halves come first, so that a few factors do not
    // sit on a replicate of a smaller array: for the doubled arrays the column of the
    // halves, then the folded-over columns, then the repeated ones; for Sylvester's matrix
    // the columns of one bit of the run number (a full factorial of six factors), then those
    // of two bits, and so on.
    std::vector<int> columns;
    if (n == 64) {
      for (int bits = 1; bits <= 6; ++bits) {
        for (int c = 1; c < n; ++c) {
          if (__builtin_popcount(static_cast<unsigned>(c)) == bits) columns.push_back(c);
        }
      }
    } else {
      for (int c = n / 2; c < n; ++c) columns.push_back(c);
      for (int c = 1; c < n / 2; ++c) columns.push_back(c);
    }
    for (int r = 0; r < n; ++r) {
      for (int j = 0; j < k; ++j) {
        array.level(r, j) = hadamardSign(n, r, columns[static_cast<std::size_t>(j)]) > 0 ? 1 : 0;
      }
    }
    return true;
  }
  const int cycle = n - 1;
  for (int r = 0; r < cycle; ++r) {
    for (int j = 0; j < k; ++j) {
      int source = (r - j + cycle) % cycle;
      array.level(r, j) = design->row[source] == '+' ? 1 : 0;
    }
  }
  // The last run stays at level 0 throughout (shapeArray cleared the cells).
  return true;
}

}  // namespace karvo::doe
