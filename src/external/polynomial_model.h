// Least-squares polynomial response surfaces: the ten term sets, the fit, prediction and
// gradient, the fit statistics of the error file, and the text of the polynomial model file
// (written and read back).
//
// Term sets (code, word, coefficients for n variables, Q = (n + 2)(n + 1) / 2):
//   0 "Linear"            n + 1    constant, linear
//   1 "Quadratic"         Q        constant, linear, squares and cross products
//   2 "SquareTermsOnly"   n + 1    constant, squares
//   3 "CubicTermsOnly"    n + 1    constant, cubes
//   4 "Bilinear"          Q - n    constant, linear, cross products
//   5 "LinAndSq"          2n + 1   constant, linear, squares
//   6 "LinAndCubic"       2n + 1   constant, linear, cubes
//   7 "LinWithSqAndCubic" 3n + 1   constant, linear, squares, cubes
//   8 "BilinearWithCubic" Q        constant, linear, cross products, cubes
//   9 "QuadWithCubic"     Q + n    constant, linear, squares and cross products, cubes
//
// Coefficient order (the order of coefficients() and of the model file): the constant, the
// linear terms z1 .. zn, the second-order terms, the cubes z1^3 .. zn^3. Second-order terms
// run row by row over the upper triangle: with squares and cross products z1z1, z1z2, ..,
// z1zn, z2z2, .., znzn; cross products alone z1z2, .., z1zn, z2z3, ..; squares alone z1^2
// .. zn^2. zi is variable i normalised with its recorded range: min -> -1, max -> +1,
// zi = 2 (xi - min) / (max - min) - 1 (values outside the range extrapolate). A variable
// whose min equals its max has zi = 0 for every value: its terms are constant columns, so a
// term set with linear terms is rank deficient and refused as singular.
//
// Workload: a fit solves one least-squares problem of m points x p coefficients by a
// column-pivoting QR of the design matrix (O(m p^2); p = 66 for a 10-variable quadratic);
// evaluate() costs O(p) and allocates nothing, so thousands of predictions per search
// generation are cheap.
//
// Messages go back to the caller as texts (the error argument); nothing here writes to the
// message file or stops the run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace karvo::support {

inline constexpr int kPolynomialTermSets = 10;  // term-set codes 0 .. 9
// Most variables of a model (keeps every coefficient count well inside an int).
inline constexpr int kMaxPolynomialVariables = 10000;

// The word of term set `termSet` ("Linear" .. "QuadWithCubic"); "" for a code outside 0 .. 9.
const char* polynomialTermSetWord(int termSet);

// The code of a term-set word (exact spelling, blanks around allowed); -1 for any other word.
int polynomialTermSetCode(std::string_view word);

// How many coefficients each part of a term set has for n variables.
struct PolynomialTermCounts {
  int linear = 0;       // 0 or n
  int secondOrder = 0;  // 0, n (squares), n(n-1)/2 (cross products) or n(n+1)/2 (both)
  int cubic = 0;        // 0 or n
  int total() const { return 1 + linear + secondOrder + cubic; }
};

// The counts of term set `termSet` (0 .. 9) for `variables` (0 .. kMaxPolynomialVariables)
// variables; all zero (total 1) for a code or a count outside those ranges.
PolynomialTermCounts polynomialTermCounts(int termSet, int variables);

// The coefficient count of term set `termSet` for `variables` variables (the minimum number of
// points of a fit); -1 for a code or a count outside the ranges above.
int polynomialCoefficientCount(int termSet, int variables);

// A variable of a model: its name (as written in the model file) and the range that
// normalises it.
struct PolynomialVariable {
  std::string name;  // written as "%s: min=..."; should hold no ':', '=' or ','
  double min = 0.0;  // maps to -1; finite, <= max
  double max = 0.0;  // maps to +1; finite; min == max maps every value to 0
};

// The variables named `names` with the range of the data (smallest and largest value of each
// column of `points`; 0 .. 0 for a column without points). Rows shorter than `names` are
// skipped.
std::vector<PolynomialVariable> polynomialVariablesFromData(
    const std::vector<std::string>& names, const std::vector<std::vector<double>>& points);

// A polynomial response surface: set up with the term set, the variables and the data,
// fitted by compute(), or read back from a model file (readPolynomialModel).
//
// The model is a plain value: copyable, no hidden state beyond the fields below.
class PolynomialModel {
 public:
  PolynomialModel() = default;
  // `points`: one row per design, one value per variable, in the variables' own units;
  // `responses`: one value per design.
  PolynomialModel(int termSet, std::vector<PolynomialVariable> variables,
                  std::vector<std::vector<double>> points, std::vector<double> responses);

  // Names the response in the fit messages ("... for response: %s.").
  std::string responseName;
  // When true the fit messages name the term set ("Could not fit a Bilinear response surface
  // ..."), as for a requested term set; when false they say "a response surface".
  bool nameTermSetInMessages = false;

  // Fits the coefficients by least squares. False, with `error` set and the model left
  // unfitted, for:
  //   - a term-set code outside 0 .. 9 (polynomialUnknownTermSetMessage);
  //   - no variables, a point whose length differs from the variable count, a response count
  //     that differs from the point count, a range with min > max or not finite, a point or
  //     response that is NaN or infinite (messages of this component, naming the value);
  //   - fewer points than coefficients (polynomialTooFewPointsMessage);
  //   - a design matrix of lower rank than the coefficient count, e.g. collinear or too few
  //     distinct points (polynomialSingularMessage).
  // Repeated points are accepted (replicates of a least-squares fit), and a constant response
  // gives the constant polynomial (R squared is then 1 by convention, see statistics).
  // A successful fit also makes the estimated range (hasEstimatedRange and the two bounds).
  bool compute(std::string& error);

  bool fitted() const { return fitted_; }
  int termSet() const { return termSet_; }
  int variableCount() const { return static_cast<int>(variables_.size()); }
  const std::vector<PolynomialVariable>& variables() const { return variables_; }
  const std::vector<std::vector<double>>& points() const { return points_; }
  const std::vector<double>& responses() const { return responses_; }
  // The coefficients in the order described at the top; empty until fitted.
  const std::vector<double>& coefficients() const { return coefficients_; }

  // The value of the surface at `x` (variables' own units). NaN when the model is not fitted
  // or `x` does not hold one value per variable.
  double evaluate(const std::vector<double>& x) const;
  // The gradient at `x` with respect to the variables in their own units (a variable whose
  // min equals its max has derivative 0). False (and `g` unchanged) when the model is not
  // fitted or `x` has the wrong length.
  bool gradient(const std::vector<double>& x, std::vector<double>& g) const;
  // The value at a point given in normalised coordinates z (one per variable).
  double evaluateNormalized(const double* z) const;

  // The estimated range of the response (see polynomialEstimateRange); filled by compute()
  // and by reading a model file that records one.
  bool hasEstimatedRange = false;
  double estimatedMin = 0.0;
  double estimatedMax = 0.0;

 private:
  friend bool readPolynomialModel(const std::vector<std::string>&, const std::string&, int,
                                  PolynomialModel&, std::string&);
  void normalize(const double* x, double* z) const;

  int termSet_ = 0;  // 0 .. 9
  std::vector<PolynomialVariable> variables_;
  std::vector<std::vector<double>> points_;  // the fitted data; empty for a model read back
  std::vector<double> responses_;
  std::vector<double> coefficients_;  // p values once fitted
  bool fitted_ = false;
};

// The estimated range of a fitted model: the model evaluated on the full grid of b^n points
// of the normalised cube (coordinates 2m/(b - 1) - 1, m = 0 .. b - 1), b = 2 for "Linear"
// with n <= 16 and b = 3 for every other term set with n <= 10 (at most 100000 points),
// giving [min - 0.2 |min|, max + 0.2 |max|] over the grid. False (no estimate) beyond those
// limits or for an unfitted model.
bool polynomialEstimateRange(const PolynomialModel& model, double& low, double& high);

// The statistics of a model over a data set (normally the data it was fitted to).
struct PolynomialFitStatistics {
  std::vector<double> actual;           // the responses
  std::vector<double> predicted;        // the model's values at the points
  std::vector<double> residual;         // actual - predicted
  std::vector<double> percentError;     // 100 residual / |actual|; 0 where actual is 0
  double maximumResidual = 0.0;         // largest |residual|
  double residualSumOfSquares = 0.0;    // sum of residual^2 (also the error sum of squares)
  double rmsError = 0.0;                // sqrt(residual sum of squares / m)
  double errorSumOfSquares = 0.0;       // = residualSumOfSquares
  double regressionSumOfSquares = 0.0;  // sum of (predicted - mean actual)^2
  double totalSumOfSquares = 0.0;       // sum of (actual - mean actual)^2
  double rSquared = 0.0;                // 1 - SSE / SST; 1 when SST is 0
  bool hasAdjustedRSquared = false;     // m > p
  double adjustedRSquared = 0.0;        // 1 - (SSE / (m - p)) / (SST / (m - 1)); 1 when SST is 0
  double gcv = 0.0;                     // m SSE / (m - p)^2; +infinity when m <= p
};

// The statistics of `model` at `points` with the actual values `responses` (p is the model's
// coefficient count). Rows that do not match the model give NaN predictions.
PolynomialFitStatistics polynomialFitStatistics(const PolynomialModel& model,
                                                const std::vector<std::vector<double>>& points,
                                                const std::vector<double>& responses);

// The text of the error file: the per-design table ("\n%9d,%16f, %16f,%12f,%14f", design
// numbers from `designNumbers`, or 1 .. m when that list is empty or of another length),
// then the residual, sum-of-squares, R squared and GCV lines.
std::string polynomialErrorFileText(const PolynomialFitStatistics& statistics,
                                    const std::vector<int>& designNumbers = {});

// The warning when the error file cannot be created (starts "\n\t**** WARNING ****").
std::string polynomialErrorFileWarning(const std::string& path);

// The text of the polynomial model file of a fitted model, byte for byte: the term-set word,
// "\nRSM coefficients", the constant, linear, quadratic and cubic sections (coefficients as
// "%1.8e " when >= 0, "%1.7e " when negative, a line break after every eighth coefficient of
// a section except its last, a line break after each section; the linear section is written,
// empty, also for the term sets without linear terms), the estimated range ("%f") or
// "\nError in estimating min, max\n", and the variables with their ranges ("%f"). "" for an
// unfitted model.
//
// The file keeps 9 significant digits of a non-negative coefficient, 8 of a negative one, and
// 6 decimals of each range, so a model read back is not the fitted model bit for bit: it
// predicts what the fitted model predicts to about 1e-8 relative, within 5e-8 times the sum
// of the coefficients' magnitudes (when the ranges are exact in 6 decimals, as definition
// bounds normally are; other ranges are normalised with their 6-decimal form once read back).
// A reader of numbers takes decimal notation only (no hexadecimal, no "inf" or "nan").
std::string writePolynomialModel(const PolynomialModel& model);

// The error when a model file cannot be created ("\n\t***** ERROR *****" ...).
std::string polynomialModelFileCreateError(const std::string& path);

// The error for a term set that has no word: "\n\t***** INTERNAL ERROR *****" and
// "\n\t Could not determine the surface type from \"<word>\":  <file>".
std::string polynomialUnknownTermSetMessage(const std::string& word, const std::string& file);

// Reads a model from the lines of a polynomial model file (without their line breaks);
// `fileName` names the file in the messages. `expectedVariables` is the number of variables
// of the definition (checked against the file's count), or -1 for no check. On success the
// model is fitted (without data points) and true is returned; otherwise `model` is unchanged
// and `error` holds the message. Messages (F the file name):
//   - a first line that is not a term-set word, a missing quadratic or cubic section, a
//     coefficient count that differs from the term set's, a missing range header, a variable
//     count that differs from the definition's: "\n\t***** ERROR *****" +
//     "\n\t Error in using the response surface file F" + the reason line;
//   - a missing constant or linear section, missing variable lines: "\n\t***** ERROR *****" +
//     "\n\t Error in the reading the file \"F\" near line number N." + "\n\t Reached the end of
//     the file without reading in all the data needed." (N: the 1-based line reached);
//   - an unreadable estimated range or variable line: the first prefix + a line of this
//     component naming the line.
// The variable count for the coefficient checks is the file's "Number of variables used"
// (or the definition's when the file has none).
bool readPolynomialModel(const std::vector<std::string>& lines, const std::string& fileName,
                         int expectedVariables, PolynomialModel& model, std::string& error);

// The lines of a model file's text; a last line without its line break is taken as cut off
// and left out.
std::vector<std::string> polynomialModelLines(std::string_view text);

// Reads the model file at `path` (lines as polynomialModelLines gives them). An unreadable
// file gives the first prefix above + "\n\t Error in opening the mdl file <path>".
bool readPolynomialModelFile(const std::string& path, int expectedVariables, PolynomialModel& model,
                             std::string& error);

// The kind of a model file from the leading words of its first two lines (leading blanks
// ignored): 0 polynomial ("RSM coef"), 2 Kriging ("Kriging model"), 3 radial basis ("Radial
// Basis Function model data"), -1 for anything else or an unreadable file.
int modelFileType(const std::string& path);
int modelFileTypeOfLines(const std::vector<std::string>& lines);

// Fit messages.
// "The number of points selected for fitting the least squares surface (<points>) is not
// sufficient. The minimum recommended number is <minimum>."
std::string polynomialTooFewPointsMessage(int points, int minimum);
// "Could not fit a response surface to the data for response: <response>. The X'X matrix is
// singular. Please choose a different sampling method for fitting the surface."; with a
// non-empty `termSetWord` "Could not fit a <word> response surface ..." and "... method for
// fitting a <word> surface.".
std::string polynomialSingularMessage(const std::string& response, const std::string& termSetWord);
// For a design-of-experiments data set: "Could not generate any response surface data. The
// number of designs is smaller than the minimum number needed (<minimum>).\n".
std::string polynomialDoeNoSurfaceMessage(int minimum);
// "Error in the definition of the surface to be generated from the DOE data. The specified
// surface type (<word>) requires a minimum. of <minimum> designs. The number of designs
// specified is <designs>. The surface will not be generated."
std::string polynomialDoeTooFewDesignsMessage(const std::string& termSetWord, int minimum,
                                              int designs);

}  // namespace karvo::support
