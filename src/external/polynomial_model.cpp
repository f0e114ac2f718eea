// Least-squares polynomial response surfaces and their model files. A study fits a handful of
// models once per response; a search fits a model to a few hundred points per generation and
// evaluates it thousands of times, so evaluate() runs over the terms without allocating.
#include "external/polynomial_model.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

#include "base/messages.h"
#include "base/text.h"

namespace karvo::support {

namespace {

constexpr const char* kTermSetWords[kPolynomialTermSets] = {
    "Linear",   "Quadratic",   "SquareTermsOnly",   "CubicTermsOnly",    "Bilinear",
    "LinAndSq", "LinAndCubic", "LinWithSqAndCubic", "BilinearWithCubic", "QuadWithCubic"};

// Which parts a term set has.
struct TermParts {
  bool linear;
  bool squares;
  bool crossProducts;
  bool cubes;
};

constexpr TermParts kTermParts[kPolynomialTermSets] = {
    {true, false, false, false},  // Linear
    {true, true, true, false},    // Quadratic
    {false, true, false, false},  // SquareTermsOnly
    {false, false, false, true},  // CubicTermsOnly
    {true, false, true, false},   // Bilinear
    {true, true, false, false},   // LinAndSq
    {true, false, false, true},   // LinAndCubic
    {true, true, false, true},    // LinWithSqAndCubic
    {true, false, true, true},    // BilinearWithCubic
    {true, true, true, true},     // QuadWithCubic
};

// Largest grid of the estimated range, points.
constexpr long long kMaxRangeGridPoints = 100000;

// Pivots of the QR below this fraction of the largest count as zero: the normal equations
// of such a design matrix would have a condition number beyond 1e24, singular in double.
constexpr double kRankThreshold = 1e-12;

// The values of all terms at the normalised point z, in coefficient order.
void termValues(const TermParts& parts, int n, const double* z, double* out) {
  int k = 0;
  out[k++] = 1.0;
  if (parts.linear)
    for (int i = 0; i < n; ++i) out[k++] = z[i];
  if (parts.squares && parts.crossProducts) {
    for (int i = 0; i < n; ++i)
      for (int j = i; j < n; ++j) out[k++] = z[i] * z[j];
  } else if (parts.squares) {
    for (int i = 0; i < n; ++i) out[k++] = z[i] * z[i];
  } else if (parts.crossProducts) {
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) out[k++] = z[i] * z[j];
  }
  if (parts.cubes)
    for (int i = 0; i < n; ++i) out[k++] = z[i] * z[i] * z[i];
}

// "%1.8e " for a coefficient >= 0, "%1.7e " for a negative one (same width); -0 as 0.
std::string coefficientText(double c) {
  if (c == 0.0) c = 0.0;
  return c < 0.0 ? formatText("%1.7e ", c) : formatText("%1.8e ", c);
}

void appendSection(std::string& text, const double* values, int count) {
  for (int i = 0; i < count; ++i) {
    text += coefficientText(values[i]);
    if ((i + 1) % 8 == 0 && i + 1 < count) text += '\n';
  }
  text += '\n';
}

std::string fileErrorPrefix(const std::string& fileName) {
  return formatText("%s\n\t Error in using the response surface file %s", "\n\t***** ERROR *****",
                    fileName.c_str());
}

std::string earlyEndMessage(const std::string& fileName, int lineNumber) {
  std::string text = "\n\t***** ERROR *****";
  text += formatText("\n\t Error in the reading the file \"%s\" near line number %d.",
                     fileName.c_str(), lineNumber);
  text += "\n\t Reached the end of the file without reading in all the data needed.";
  return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The line without leading blanks and tabs and trailing blanks, tabs and carriage returns.
std::string_view stripped(std::string_view line) {
  std::size_t begin = 0;
  while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
  std::size_t end = line.size();
  while (end > begin && (line[end - 1] == ' ' || line[end - 1] == '\t' || line[end - 1] == '\r' ||
                         line[end - 1] == '\n'))
    --end;
  return line.substr(begin, end - begin);
}

// A real in decimal notation (digits, sign, point, exponent; blanks around allowed), finite.
// Unlike strtod no hexadecimal form, so that a garbled "0.5" cannot read as "0x5".
bool parseDecimal(std::string_view text, double& value) {
  const std::string_view core = stripped(text);
  if (core.empty()) return false;
  for (const char c : core)
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
      return false;
  return parseReal(core, value);
}

// Reads the blank-separated reals of `line` into `values`; false (values unchanged) when the
// line is blank or any word is not a finite real.
bool readNumberLine(std::string_view line, std::vector<double>& values) {
  std::vector<double> read;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (start == i) break;
    double value = 0.0;
    if (!parseDecimal(line.substr(start, i - start), value)) return false;
    read.push_back(value);
  }
  if (read.empty()) return false;
  values.insert(values.end(), read.begin(), read.end());
  return true;
}

// The reader of a model file's lines: a position and the searches the format needs.
struct LineCursor {
  const std::vector<std::string>& lines;
  std::size_t next = 1;  // index of the next line to look at (line 0 is the term-set word)

  std::size_t size() const { return lines.size(); }
  std::string_view at(std::size_t i) const { return stripped(lines[i]); }
  // Index of the first line at or after `next` equal to `header`; size() when none.
  std::size_t find(std::string_view header) const {
    for (std::size_t i = next; i < lines.size(); ++i)
      if (at(i) == header) return i;
    return lines.size();
  }
  // Index of the first non-blank line at or after `next`; size() when none.
  std::size_t nextNonBlank() const {
    std::size_t i = next;
    while (i < lines.size() && at(i).empty()) ++i;
    return i;
  }
  // The coefficients of the section whose header is line `header`: the reals on the lines
  // after it up to the first blank or non-numeric line. Moves past them.
  std::vector<double> section(std::size_t header) {
    std::vector<double> values;
    next = header + 1;
    while (next < lines.size() && readNumberLine(at(next), values)) ++next;
    return values;
  }
};

// The integer after "<label> =" on a line ("Number of variables used = 3").
bool integerAfterEquals(std::string_view line, int& value) {
  const std::size_t equals = line.find('=');
  return equals != std::string_view::npos && parseInteger(line.substr(equals + 1), value);
}

// The value after "<label> =" on a line ("Estimated min = 1.5"); false when unreadable.
bool valueAfterEquals(std::string_view line, double& value) {
  const std::size_t equals = line.find('=');
  return equals != std::string_view::npos && parseDecimal(line.substr(equals + 1), value);
}

constexpr const char* kRangeHeader =
    "VARIABLES USED FOR THE FIT AND THE RANGE USED FOR NORMALIZATION";

std::string coefficientCountMessage(const std::string& prefix, int read, int expected) {
  return formatText(
      "%s\n\t The number of coefficients read (%d) is different than the number "
      "expected (%d).",
      prefix.c_str(), read, expected);
}

// Where a model file's variable section is, and the variable count it gives.
struct RangeSection {
  std::size_t headerLine = 0;  // line of kRangeHeader; lines.size() when none
  std::size_t countLine = 0;   // first non-blank line after it; lines.size() when none
  int variables = -1;          // its "Number of variables used = <n>"; -1 when not read
};

// Locates the variable section of the lines; false when its count is outside the range
// allowed.
bool findRangeSection(const std::vector<std::string>& lines, const std::string& prefix,
                      RangeSection& range, std::string& error) {
  LineCursor cursor{lines};
  range.headerLine = cursor.find(kRangeHeader);
  range.countLine = lines.size();
  if (range.headerLine >= lines.size()) return true;
  cursor.next = range.headerLine + 1;
  range.countLine = cursor.nextNonBlank();
  const std::size_t line = range.countLine;
  int count = 0;
  if (line < lines.size() && startsWith(cursor.at(line), "Number of variables used") &&
      integerAfterEquals(cursor.at(line), count)) {
    if (count < 1 || count > kMaxPolynomialVariables) {
      error = formatText("%s\n\t The number of variables in the mdl file (%d) is outside 1 .. %d.",
                         prefix.c_str(), count, kMaxPolynomialVariables);
      return false;
    }
    range.variables = count;
  }
  return true;
}

// The coefficient sections in term order: constant and linear always, quadratic and cubic
// where the term set has them; none the term set lacks. Leaves the cursor after the last.
bool readCoefficients(LineCursor& cursor, const PolynomialTermCounts& counts,
                      const std::string& fileName, const std::string& prefix,
                      std::vector<double>& coefficients, std::string& error) {
  const std::vector<std::string>& lines = cursor.lines;
  // Constant and linear always; quadratic and cubic where the term set has them (`missing`
  // names those in the message when their header is not there).
  struct Section {
    const char* header;
    int count;
    const char* missing;
  };
  const Section sections[] = {{"Constant coefficient:", 1, nullptr},
                              {"Linear coefficients:", counts.linear, nullptr},
                              {"Quadratic coefficients:", counts.secondOrder, "quadratic"},
                              {"Cubic coefficients:", counts.cubic, "cubic"}};
  const char* optional[2] = {sections[2].header, sections[3].header};
  for (const Section& section : sections) {
    if (section.missing && section.count == 0) continue;
    const std::size_t header = cursor.find(section.header);
    if (header >= lines.size()) {
      error = section.missing
                  ? formatText("%s\n\t The coefficient data for the %s terms could not be "
                               "located in the file.",
                               prefix.c_str(), section.missing)
                  : earlyEndMessage(fileName, static_cast<int>(lines.size()));
      return false;
    }
    const std::vector<double> values = cursor.section(header);
    if (static_cast<int>(values.size()) != section.count) {
      error = coefficientCountMessage(prefix, static_cast<int>(values.size()), section.count);
      return false;
    }
    coefficients.insert(coefficients.end(), values.begin(), values.end());
  }
  // A section the term set does not have (a term-set word that does not fit the sections).
  for (std::size_t i = cursor.next; i < lines.size() && cursor.at(i) != kRangeHeader; ++i) {
    for (int s = 0; s < 2; ++s) {
      if (cursor.at(i) != optional[s]) continue;
      LineCursor extra{lines, i};
      const std::size_t read = coefficients.size() + extra.section(i).size();
      error = coefficientCountMessage(prefix, static_cast<int>(read), counts.total());
      return false;
    }
  }
  return true;
}

// The "Estimated min" and "Estimated max" lines of a model file.
struct EstimatedRange {
  bool recorded = false;  // both lines present; otherwise min and max are 0
  double min = 0.0;
  double max = 0.0;
};

// The estimated range on the first non-blank line at the cursor, when it is recorded there;
// false when it is there but unreadable.
bool readEstimatedRange(const LineCursor& cursor, const std::string& prefix,
                        EstimatedRange& estimate, std::string& error) {
  const std::vector<std::string>& lines = cursor.lines;
  const std::size_t estimateLine = cursor.nextNonBlank();
  if (estimateLine >= lines.size() || !startsWith(cursor.at(estimateLine), "Estimated min"))
    return true;
  const std::size_t maxLine = estimateLine + 1;
  if (!valueAfterEquals(cursor.at(estimateLine), estimate.min) || maxLine >= lines.size() ||
      !startsWith(cursor.at(maxLine), "Estimated max") ||
      !valueAfterEquals(cursor.at(maxLine), estimate.max)) {
    const std::size_t bad = valueAfterEquals(cursor.at(estimateLine), estimate.min)
                                ? std::min(maxLine, lines.size() - 1)
                                : estimateLine;
    error = formatText("%s\n\t The estimated range could not be read from line %d: \"%s\".",
                       prefix.c_str(), static_cast<int>(bad + 1),
                       std::string(cursor.at(bad)).c_str());
    return false;
  }
  estimate.recorded = true;
  return true;
}

// One variable line, "<name>: min=<value>, max=<value>" with min <= max.
bool parseVariableRange(std::string_view text, PolynomialVariable& variable) {
  // Fields split at '=' and ',': "<name>: min", "<min>", " max", "<max>".
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i)
    if (i == text.size() || text[i] == '=' || text[i] == ',') {
      fields.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  const std::size_t colon = fields[0].rfind(':');
  const bool ok = fields.size() == 4 && colon != std::string::npos &&
                  parseDecimal(fields[1], variable.min) &&
                  parseDecimal(fields[3], variable.max) && variable.min <= variable.max;
  if (ok) variable.name = trimmed(std::string_view(fields[0]).substr(0, colon));
  return ok;
}

// The `count` variable lines from the cursor on, blank lines skipped.
bool readVariableRanges(LineCursor& cursor, int count, const std::string& fileName,
                        const std::string& prefix, std::vector<PolynomialVariable>& variables,
                        std::string& error) {
  const std::vector<std::string>& lines = cursor.lines;
  for (int v = 0; v < count; ++v) {
    const std::size_t line = cursor.nextNonBlank();
    if (line >= lines.size()) {
      error = earlyEndMessage(fileName, static_cast<int>(lines.size()));
      return false;
    }
    cursor.next = line + 1;
    const std::string_view text = cursor.at(line);
    PolynomialVariable variable;
    if (!parseVariableRange(text, variable)) {
      error = formatText(
          "%s\n\t The range of variable %d could not be read from line %d: \"%s\" "
          "(expected \"<name>: min=<value>, max=<value>\" with min <= max).",
          prefix.c_str(), v + 1, static_cast<int>(line + 1), std::string(text).c_str());
      return false;
    }
    variables.push_back(std::move(variable));
  }
  return true;
}

}  // namespace

const char* polynomialTermSetWord(int termSet) {
  return termSet >= 0 && termSet < kPolynomialTermSets ? kTermSetWords[termSet] : "";
}

int polynomialTermSetCode(std::string_view word) {
  const std::string text = trimmed(word);
  for (int code = 0; code < kPolynomialTermSets; ++code)
    if (text == kTermSetWords[code]) return code;
  return -1;
}

PolynomialTermCounts polynomialTermCounts(int termSet, int variables) {
  PolynomialTermCounts counts;
  if (termSet < 0 || termSet >= kPolynomialTermSets || variables < 0 ||
      variables > kMaxPolynomialVariables)
    return counts;
  const TermParts& parts = kTermParts[termSet];
  const int n = variables;
  if (parts.linear) counts.linear = n;
  if (parts.squares) counts.secondOrder += n;
  if (parts.crossProducts) counts.secondOrder += n * (n - 1) / 2;
  if (parts.cubes) counts.cubic = n;
  return counts;
}

int polynomialCoefficientCount(int termSet, int variables) {
  if (termSet < 0 || termSet >= kPolynomialTermSets || variables < 0 ||
      variables > kMaxPolynomialVariables)
    return -1;
  return polynomialTermCounts(termSet, variables).total();
}

std::vector<PolynomialVariable> polynomialVariablesFromData(
    const std::vector<std::string>& names, const std::vector<std::vector<double>>& points) {
  std::vector<PolynomialVariable> variables;
  for (std::size_t j = 0; j < names.size(); ++j) {
    PolynomialVariable variable{names[j], 0.0, 0.0};
    bool first = true;
    for (const std::vector<double>& point : points) {
      if (point.size() < names.size()) continue;
      if (first || point[j] < variable.min) variable.min = point[j];
      if (first || point[j] > variable.max) variable.max = point[j];
      first = false;
    }
    variables.push_back(variable);
  }
  return variables;
}

PolynomialModel::PolynomialModel(int termSet, std::vector<PolynomialVariable> variables,
                                 std::vector<std::vector<double>> points,
                                 std::vector<double> responses)
    : termSet_(termSet),
      variables_(std::move(variables)),
      points_(std::move(points)),
      responses_(std::move(responses)) {}

void PolynomialModel::normalize(const double* x, double* z) const {
  for (std::size_t i = 0; i < variables_.size(); ++i) {
    const PolynomialVariable& v = variables_[i];
    z[i] = v.max > v.min ? 2.0 * (x[i] - v.min) / (v.max - v.min) - 1.0 : 0.0;
  }
}

bool PolynomialModel::compute(std::string& error) {
  fitted_ = false;
  coefficients_.clear();
  hasEstimatedRange = false;
  const char* word = polynomialTermSetWord(termSet_);
  if (*word == '\0') {
    error = polynomialUnknownTermSetMessage(std::to_string(termSet_), responseName);
    return false;
  }
  const std::string surface = nameTermSetInMessages ? word : "";
  const std::string opening =
      surface.empty()
          ? formatText("Could not fit a response surface to the data for response: %s.",
                       responseName.c_str())
          : formatText("Could not fit a %s response surface to the data for response: %s.", word,
                       responseName.c_str());
  const int n = variableCount();
  const int m = static_cast<int>(points_.size());
  if (n == 0 || n > kMaxPolynomialVariables) {
    error = opening +
            formatText(" The fit has %d variables; it takes 1 .. %d.", n, kMaxPolynomialVariables);
    return false;
  }
  for (int i = 0; i < n; ++i) {
    const PolynomialVariable& v = variables_[i];
    if (!std::isfinite(v.min) || !std::isfinite(v.max) || v.min > v.max) {
      error = opening + formatText(
                            " The range of variable %s (min=%g, max=%g) is not valid: "
                            "both must be finite numbers with min <= max.",
                            v.name.c_str(), v.min, v.max);
      return false;
    }
  }
  if (static_cast<int>(responses_.size()) != m) {
    error = opening + formatText(" The data hold %d points but %d response values.", m,
                                 static_cast<int>(responses_.size()));
    return false;
  }
  for (int r = 0; r < m; ++r) {
    if (static_cast<int>(points_[r].size()) != n) {
      error = opening + formatText(" Point %d has %d values; the surface has %d variables.", r + 1,
                                   static_cast<int>(points_[r].size()), n);
      return false;
    }
    for (int i = 0; i < n; ++i)
      if (!std::isfinite(points_[r][i])) {
        error = opening + formatText(
                              " Point %d has the value %g for variable %s; every value "
                              "must be a finite number.",
                              r + 1, points_[r][i], variables_[i].name.c_str());
        return false;
      }
    if (!std::isfinite(responses_[r])) {
      error = opening + formatText(
                            " Point %d has the response value %g; every value must be "
                            "a finite number.",
                            r + 1, responses_[r]);
      return false;
    }
  }
  const int p = polynomialCoefficientCount(termSet_, n);
  if (m < p) {
    error = polynomialTooFewPointsMessage(m, p);
    return false;
  }

  const TermParts& parts = kTermParts[termSet_];
  Eigen::MatrixXd design(m, p);
  Eigen::VectorXd y(m);
  std::vector<double> z(n), row(p);
  for (int r = 0; r < m; ++r) {
    normalize(points_[r].data(), z.data());
    termValues(parts, n, z.data(), row.data());
    for (int k = 0; k < p; ++k) design(r, k) = row[k];
    y(r) = responses_[r];
  }
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(design);
  qr.setThreshold(kRankThreshold);
  if (qr.rank() < p) {
    error = polynomialSingularMessage(responseName, surface);
    return false;
  }
  const Eigen::VectorXd b = qr.solve(y);
  if (!b.allFinite()) {
    error = polynomialSingularMessage(responseName, surface);
    return false;
  }
  coefficients_.assign(b.data(), b.data() + p);
  fitted_ = true;
  hasEstimatedRange = polynomialEstimateRange(*this, estimatedMin, estimatedMax);
  return true;
}

double PolynomialModel::evaluateNormalized(const double* z) const {
  if (!fitted_) return std::numeric_limits<double>::quiet_NaN();
  const TermParts& parts = kTermParts[termSet_];
  const int n = variableCount();
  const double* c = coefficients_.data();
  double sum = *c++;
  if (parts.linear)
    for (int i = 0; i < n; ++i) sum += *c++ * z[i];
  if (parts.squares && parts.crossProducts) {
    for (int i = 0; i < n; ++i)
      for (int j = i; j < n; ++j) sum += *c++ * z[i] * z[j];
  } else if (parts.squares) {
    for (int i = 0; i < n; ++i) sum += *c++ * z[i] * z[i];
  } else if (parts.crossProducts) {
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) sum += *c++ * z[i] * z[j];
  }
  if (parts.cubes)
    for (int i = 0; i < n; ++i) sum += *c++ * z[i] * z[i] * z[i];
  return sum;
}

double PolynomialModel::evaluate(const std::vector<double>& x) const {
  const int n = variableCount();
  if (!fitted_ || static_cast<int>(x.size()) != n) return std::numeric_limits<double>::quiet_NaN();
  constexpr int kStackVariables = 64;
  if (n <= kStackVariables) {
    double z[kStackVariables];
    normalize(x.data(), z);
    return evaluateNormalized(z);
  }
  std::vector<double> z(n);
  normalize(x.data(), z.data());
  return evaluateNormalized(z.data());
}

bool PolynomialModel::gradient(const std::vector<double>& x, std::vector<double>& g) const {
  const int n = variableCount();
  if (!fitted_ || static_cast<int>(x.size()) != n) return false;
  std::vector<double> z(n), dz(n, 0.0);
  normalize(x.data(), z.data());
  const TermParts& parts = kTermParts[termSet_];
  const double* c = coefficients_.data() + 1;
  if (parts.linear)
    for (int i = 0; i < n; ++i) dz[i] += *c++;
  if (parts.squares && parts.crossProducts) {
    for (int i = 0; i < n; ++i)
      for (int j = i; j < n; ++j) {
        dz[i] += *c * z[j];
        dz[j] += *c * z[i];
        ++c;
      }
  } else if (parts.squares) {
    for (int i = 0; i < n; ++i) dz[i] += 2.0 * *c++ * z[i];
  } else if (parts.crossProducts) {
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) {
        dz[i] += *c * z[j];
        dz[j] += *c * z[i];
        ++c;
      }
  }
  if (parts.cubes)
    for (int i = 0; i < n; ++i) dz[i] += 3.0 * *c++ * z[i] * z[i];
  g.assign(n, 0.0);
  for (int i = 0; i < n; ++i) {
    const PolynomialVariable& v = variables_[i];
    if (v.max > v.min) g[i] = dz[i] * 2.0 / (v.max - v.min);
  }
  return true;
}

bool polynomialEstimateRange(const PolynomialModel& model, double& low, double& high) {
  if (!model.fitted()) return false;
  const int n = model.variableCount();
  const bool linear = model.termSet() == 0;
  if (n > (linear ? 16 : 10)) return false;
  const int b = linear ? 2 : 3;
  long long points = 1;
  for (int i = 0; i < n; ++i) points *= b;
  if (points > kMaxRangeGridPoints) return false;
  std::vector<int> index(n, 0);
  std::vector<double> z(n, -1.0);
  double smallest = std::numeric_limits<double>::infinity();
  double largest = -smallest;
  for (long long k = 0; k < points; ++k) {
    const double value = model.evaluateNormalized(z.data());
    smallest = std::min(smallest, value);
    largest = std::max(largest, value);
    for (int i = 0; i < n; ++i) {  // next grid point, variable 0 fastest
      if (++index[i] < b) {
        z[i] = 2.0 * index[i] / (b - 1) - 1.0;
        break;
      }
      index[i] = 0;
      z[i] = -1.0;
    }
  }
  low = smallest - 0.2 * std::fabs(smallest);
  high = largest + 0.2 * std::fabs(largest);
  return true;
}

PolynomialFitStatistics polynomialFitStatistics(const PolynomialModel& model,
                                                const std::vector<std::vector<double>>& points,
                                                const std::vector<double>& responses) {
  PolynomialFitStatistics s;
  const std::size_t m = std::min(points.size(), responses.size());
  double mean = 0.0;
  for (std::size_t r = 0; r < m; ++r) mean += responses[r];
  if (m > 0) mean /= static_cast<double>(m);
  for (std::size_t r = 0; r < m; ++r) {
    const double actual = responses[r];
    const double predicted = model.evaluate(points[r]);
    const double residual = actual - predicted;
    s.actual.push_back(actual);
    s.predicted.push_back(predicted);
    s.residual.push_back(residual);
    s.percentError.push_back(actual != 0.0 ? 100.0 * residual / std::fabs(actual) : 0.0);
    s.maximumResidual = std::max(s.maximumResidual, std::fabs(residual));
    s.residualSumOfSquares += residual * residual;
    s.regressionSumOfSquares += (predicted - mean) * (predicted - mean);
    s.totalSumOfSquares += (actual - mean) * (actual - mean);
  }
  s.errorSumOfSquares = s.residualSumOfSquares;
  if (m > 0) s.rmsError = std::sqrt(s.residualSumOfSquares / static_cast<double>(m));
  const double md = static_cast<double>(m);
  const double p = static_cast<double>(model.coefficients().size());
  s.rSquared = s.totalSumOfSquares > 0.0 ? 1.0 - s.errorSumOfSquares / s.totalSumOfSquares : 1.0;
  s.hasAdjustedRSquared = md > p;
  if (s.hasAdjustedRSquared)
    s.adjustedRSquared = s.totalSumOfSquares > 0.0 ? 1.0 - (s.errorSumOfSquares / (md - p)) /
                                                               (s.totalSumOfSquares / (md - 1.0))
                                                   : 1.0;
  s.gcv = md > p ? md * s.errorSumOfSquares / ((md - p) * (md - p))
                 : std::numeric_limits<double>::infinity();
  return s;
}

std::string polynomialErrorFileText(const PolynomialFitStatistics& s,
                                    const std::vector<int>& designNumbers) {
  std::string text = "\n Design #,   Actual values, Predicted values,    Residual, Percent Error";
  const bool numbered = designNumbers.size() == s.actual.size();
  for (std::size_t r = 0; r < s.actual.size(); ++r)
    text += formatText("\n%9d,%16f, %16f,%12f,%14f",
                       numbered ? designNumbers[r] : static_cast<int>(r + 1), s.actual[r],
                       s.predicted[r], s.residual[r], s.percentError[r]);
  text += formatText("\n\n\n Maximum Residual = %f", s.maximumResidual);
  text += formatText("\n Residual Sum of Squares = %f", s.residualSumOfSquares);
  text += formatText("\n RMS Error = %f", s.rmsError);
  text += formatText("\n\n\n Error sum of Squares = %f", s.errorSumOfSquares);
  text += formatText("\n Regression sum of squares = %f", s.regressionSumOfSquares);
  text += formatText("\n Total Sum of Squares = %f", s.totalSumOfSquares);
  if (s.hasAdjustedRSquared)
    text += formatText(
        "\n\n\n R squared (Coeff. of multiple determination) = %f, Adjusted R squared = %f",
        s.rSquared, s.adjustedRSquared);
  else
    text += formatText("\n\n\n R squared (Coeff. of multiple determination) = %f", s.rSquared);
  text += formatText("\n\n GCV (Generalized cross validation) = %f", s.gcv);
  return text;
}

std::string polynomialErrorFileWarning(const std::string& path) {
  std::string text = "\n\t**** WARNING ****";
  text += formatText("\n\t Could not create the error file %s.", path.c_str());
  text += "\n\t The error estimation for this surface will not be avaiable.";
  text += "\n\t Please make sure that the disk is not full.";
  return text;
}

std::string writePolynomialModel(const PolynomialModel& model) {
  if (!model.fitted()) return "";
  const int n = model.variableCount();
  const PolynomialTermCounts counts = polynomialTermCounts(model.termSet(), n);
  const double* c = model.coefficients().data();
  std::string text = formatText("%s", polynomialTermSetWord(model.termSet()));
  text += "\nRSM coefficients";
  text += "\nConstant coefficient:\n";
  text += coefficientText(c[0]);
  text += "\nLinear coefficients:\n";
  appendSection(text, c + 1, counts.linear);
  if (counts.secondOrder > 0) {
    text += "\nQuadratic coefficients:\n";
    appendSection(text, c + 1 + counts.linear, counts.secondOrder);
  }
  if (counts.cubic > 0) {
    text += "\nCubic coefficients:\n";
    appendSection(text, c + 1 + counts.linear + counts.secondOrder, counts.cubic);
  }
  if (model.hasEstimatedRange) {
    text += formatText("\nEstimated min = %f", model.estimatedMin);
    text += formatText("\nEstimated max = %f\n", model.estimatedMax);
  } else {
    text += "\nError in estimating min, max\n";
  }
  text += "\n\nVARIABLES USED FOR THE FIT AND THE RANGE USED FOR NORMALIZATION\n";
  text += formatText("\nNumber of variables used = %d\n", n);
  for (const PolynomialVariable& v : model.variables())
    text += formatText("%s: min=%f, max=%f\n", v.name.c_str(), v.min, v.max);
  return text;
}

std::string polynomialModelFileCreateError(const std::string& path) {
  std::string text = "\n\t***** ERROR *****";
  text += formatText("\n\t Could not create the following file:  %s", path.c_str());
  text +=
      "\n\t Please make sure that the disk is not full or the directory is not write "
      "protected.";
  return text;
}

std::string polynomialUnknownTermSetMessage(const std::string& word, const std::string& file) {
  std::string text = "\n\t***** INTERNAL ERROR *****";
  text += formatText("\n\t Could not determine the surface type from \"%s\":  %s", word.c_str(),
                     file.c_str());
  return text;
}

bool readPolynomialModel(const std::vector<std::string>& lines, const std::string& fileName,
                         int expectedVariables, PolynomialModel& model, std::string& error) {
  const std::string prefix = fileErrorPrefix(fileName);
  if (lines.empty()) {
    error = earlyEndMessage(fileName, 0);
    return false;
  }
  const std::string first(stripped(lines[0]));
  const int termSet = polynomialTermSetCode(first);
  if (termSet < 0) {
    error = formatText(
        "%s\n\t Expecting surface type on the first line. The type read (%s) was "
        "not recognized as a supported type.",
        prefix.c_str(), first.c_str());
    return false;
  }
  const std::string noHeader = formatText(
      "%s\n\t Error in reading the variable range data from the mdl file %s.\n\tCould not "
      "locate header.",
      prefix.c_str(), fileName.c_str());

  // The variable count of the coefficient sections: the file's own, else the definition's.
  RangeSection range;
  if (!findRangeSection(lines, prefix, range, error)) return false;
  int n = range.variables;
  if (n < 0) {
    if (expectedVariables < 0 || range.headerLine < lines.size()) {
      error = noHeader;
      return false;
    }
    n = expectedVariables;
  }
  LineCursor cursor{lines};
  std::vector<double> coefficients;
  if (!readCoefficients(cursor, polynomialTermCounts(termSet, n), fileName, prefix, coefficients,
                        error))
    return false;
  EstimatedRange estimate;
  if (!readEstimatedRange(cursor, prefix, estimate, error)) return false;
  // The variables and their ranges.
  if (range.headerLine >= lines.size() || range.countLine >= lines.size() ||
      range.headerLine < cursor.next) {
    error = noHeader;
    return false;
  }
  if (expectedVariables >= 0 && expectedVariables != n) {
    error = formatText(
        "%s\n\t The number of variables selected in the definition (%d) is "
        "different than the number used in the mdl file (%d).",
        prefix.c_str(), expectedVariables, n);
    return false;
  }
  std::vector<PolynomialVariable> variables;
  cursor.next = range.countLine + 1;
  if (!readVariableRanges(cursor, n, fileName, prefix, variables, error)) return false;

  PolynomialModel read;
  read.termSet_ = termSet;
  read.variables_ = std::move(variables);
  read.coefficients_ = std::move(coefficients);
  read.fitted_ = true;
  read.hasEstimatedRange = estimate.recorded;
  read.estimatedMin = estimate.min;
  read.estimatedMax = estimate.max;
  model = std::move(read);
  return true;
}

std::vector<std::string> polynomialModelLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') {
      std::string_view line = text.substr(start, i - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines.emplace_back(line);
      start = i + 1;
    }
  return lines;
}

namespace {

bool readWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

bool readPolynomialModelFile(const std::string& path, int expectedVariables, PolynomialModel& model,
                             std::string& error) {
  std::string text;
  if (!readWholeFile(path, text)) {
    error = formatText("%s\n\t Error in opening the mdl file %s", fileErrorPrefix(path).c_str(),
                       path.c_str());
    return false;
  }
  return readPolynomialModel(polynomialModelLines(text), path, expectedVariables, model, error);
}

int modelFileTypeOfLines(const std::vector<std::string>& lines) {
  for (std::size_t i = 0; i < lines.size() && i < 2; ++i) {
    const std::string_view line = stripped(lines[i]);
    if (startsWith(line, "RSM coef")) return 0;
    if (startsWith(line, "Kriging model")) return 2;
    if (startsWith(line, "Radial Basis Function model data")) return 3;
  }
  return -1;
}

int modelFileType(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  std::vector<std::string> lines;
  std::string line;
  while (lines.size() < 2 && std::getline(in, line)) lines.push_back(line);
  return modelFileTypeOfLines(lines);
}

std::string polynomialTooFewPointsMessage(int points, int minimum) {
  return formatText(
      "The number of points selected for fitting the least squares surface (%d) "
      "is not sufficient. The minimum recommended number is %d.",
      points, minimum);
}

std::string polynomialSingularMessage(const std::string& response, const std::string& termSetWord) {
  std::string text =
      termSetWord.empty()
          ? formatText("Could not fit a response surface to the data for response: %s.",
                       response.c_str())
          : formatText("Could not fit a %s response surface to the data for response: %s.",
                       termSetWord.c_str(), response.c_str());
  text =
      formatText("%s The X'X matrix is singular. Please choose a different sampling", text.c_str());
  text = termSetWord.empty()
             ? formatText("%s method for fitting the surface.", text.c_str())
             : formatText("%s method for fitting a %s surface.", text.c_str(), termSetWord.c_str());
  return text;
}

std::string polynomialDoeNoSurfaceMessage(int minimum) {
  return formatText(
      "Could not generate any response surface data. The number of designs is "
      "smaller than the minimum number needed (%d).\n",
      minimum);
}

std::string polynomialDoeTooFewDesignsMessage(const std::string& termSetWord, int minimum,
                                              int designs) {
  const std::string text = formatText(
      "Error in the definition of the surface to be generated from the DOE data. The "
      "specified surface type (%s) requires a minimum.",
      termSetWord.c_str());
  return formatText(
      "%s of %d designs. The number of designs specified is %d. The surface will "
      "not be generated.",
      text.c_str(), minimum, designs);
}

}  // namespace karvo::support
