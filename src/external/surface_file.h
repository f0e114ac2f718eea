// Model files of response surfaces, of every kind: the framing of the kernel models' files
// (their own text lines, then the names of the variables in order) and reading any model
// file back into a model that predicts a response. Used by responses evaluated from a model
// file (a few reads per run, then one prediction per design) and by the surfaces fitted
// after a study.
//
// Kernel model file (Kriging, radial basis):
//   <the lines of the model's writeData, one per line>
//   List of variables in order
//   <name> <name> ... (each name followed by a blank)
// A polynomial model file is laid out by writePolynomialModel (external/polynomial_model.h)
// and names its variables in its range block.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "external/kriging.h"
#include "external/polynomial_model.h"
#include "external/radial_basis.h"

namespace karvo::support {

// Model kinds by file type, as modelFileType answers them.
inline constexpr int kSurfacePolynomial = 0;
inline constexpr int kSurfaceKriging = 2;
inline constexpr int kSurfaceRadialBasis = 3;

// The header of the variable list of a kernel model file.
inline constexpr const char* kVariableListHeader = "List of variables in order";

// The text of a kernel model file: `lines` (a model's writeData), then the variable list.
std::string kernelModelFileText(const std::vector<std::string>& lines,
                                const std::vector<std::string>& variableNames);

// A response surface read back from its model file.
struct SurfaceFile {
  int type = -1;                        // kSurfacePolynomial, kSurfaceKriging, kSurfaceRadialBasis
  std::vector<std::string> variables;   // the model's inputs, in order
  PolynomialModel polynomial;           // type 0
  std::unique_ptr<KrigingFit> kriging;  // type 2
  std::unique_ptr<RadialBasisFunctionFit> radialBasis;  // type 3

  // The model's value at x (one value per variable, in order); NaN when x has another length.
  double evaluate(const std::vector<double>& x) const;
};

// Reads the model file `path` of any kind. False with `error` set (the messages of the
// polynomial reader, of the kernel models' readData, or of this framing) when the file
// cannot be read, is of no known kind, or is not whole.
bool readSurfaceFile(const std::string& path, SurfaceFile& model, std::string& error);

}  // namespace karvo::support
