// Hammersley point sets as sampling designs: run i of n has the first coordinate i / n and
// in variable j >= 1 the radical inverse of i in the j-th prime base (2, 3, 5, ...).
#pragma once

#include "external/sampling_design.h"

namespace karvo::support {

struct HammersleyDesign : SamplingDesign {
  // Builds the n x k level matrix of the Hammersley set of `samples` points (n) in
  // `variables` dimensions (k), every variable with `levels` levels (1 .. 2^31-1; the
  // solver passes n).
  //
  // Each column holds the ranks 0 .. n-1 of its coordinates (the radical inverses of
  // different i < n differ, so the ranks are a permutation), mapped to `levels` levels as
  // described in sampling_design.h. Column 0 is therefore i itself. Where n is a power of
  // the column's base the rank equals floor(n * coordinate), the plain rounding of the
  // point; otherwise the ranking keeps the points' order and makes the column a
  // permutation, which rounding would not. A base b >= n has the radical inverse i / b for
  // every run, so that column repeats column 0: with few runs and many variables the high
  // columns coincide, a property of the Hammersley set itself.
  //
  // The set is fixed by n and k: nothing is drawn from the Random stream. Invalid
  // arguments (or too little memory) give `error`, an empty matrix and stop kRefused;
  // otherwise stop is kNotOptimized.
  HammersleyDesign(int samples, int variables, int levels);
};

}  // namespace karvo::support
