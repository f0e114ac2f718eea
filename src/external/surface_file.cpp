// Reading model files of every kind of response surface; see surface_file.h. One read per
// model file and run; a prediction is the model's own.
#include "external/surface_file.h"

#include <cmath>
#include <fstream>
#include <sstream>

namespace karvo::support {

namespace {

bool readLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  lines = polynomialModelLines(text.str());
  return true;
}

// Splits a kernel model file into the model's lines and its variable names.
bool splitKernelFile(const std::vector<std::string>& lines, std::vector<std::string>& data,
                     std::vector<std::string>& names, std::string& error,
                     const std::string& path) {
  std::size_t header = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == kVariableListHeader) {
      header = i;
      break;
    }
  }
  if (header + 1 >= lines.size()) {
    error = "The model file " + path + " holds no list of variables (\"" + kVariableListHeader +
            "\" and the names on the next line).";
    return false;
  }
  data.assign(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(header));
  std::istringstream words(lines[header + 1]);
  for (std::string name; words >> name;) names.push_back(name);
  if (names.empty()) {
    error = "The model file " + path + " names no variables after \"" + kVariableListHeader +
            "\".";
    return false;
  }
  return true;
}

}  // namespace

std::string kernelModelFileText(const std::vector<std::string>& lines,
                                const std::vector<std::string>& variableNames) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  text += std::string(kVariableListHeader) + "\n";
  for (const std::string& name : variableNames) text += name + " ";
  text += "\n";
  return text;
}

double SurfaceFile::evaluate(const std::vector<double>& x) const {
  if (x.size() != variables.size()) return std::nan("");
  switch (type) {
    case kSurfacePolynomial: return polynomial.evaluate(x);
    case kSurfaceKriging: return kriging ? kriging->evaluate(x) : std::nan("");
    case kSurfaceRadialBasis: return radialBasis ? radialBasis->evaluate(x) : std::nan("");
    default: return std::nan("");
  }
}

bool readSurfaceFile(const std::string& path, SurfaceFile& model, std::string& error) {
  model = SurfaceFile{};
  std::vector<std::string> lines;
  if (!readLines(path, lines)) {
    error = "\n\t***** ERROR *****";
    error += "\n\t Error in using the response surface file " + path;
    error += "\n\t Error in opening the mdl file " + path;
    return false;
  }
  const int type = modelFileTypeOfLines(lines);
  if (type == kSurfacePolynomial) {
    if (!readPolynomialModel(lines, path, -1, model.polynomial, error)) return false;
    for (const PolynomialVariable& variable : model.polynomial.variables()) {
      model.variables.push_back(variable.name);
    }
    model.type = type;
    return true;
  }
  if (type != kSurfaceKriging && type != kSurfaceRadialBasis) {
    error = "The file " + path + " is not a response surface model file: its first lines "
            "name no polynomial, Kriging or radial basis function model.";
    return false;
  }
  std::vector<std::string> data;
  std::vector<std::string> names;
  if (!splitKernelFile(lines, data, names, error, path)) return false;
  if (type == kSurfaceKriging) {
    model.kriging = std::make_unique<KrigingFit>();
    if (!model.kriging->readData(data, error)) return false;
    if (model.kriging->variables() != static_cast<int>(names.size())) {
      error = "The model file " + path + " names " + std::to_string(names.size()) +
              " variables for a model of " + std::to_string(model.kriging->variables()) + ".";
      return false;
    }
  } else {
    model.radialBasis = std::make_unique<RadialBasisFunctionFit>();
    if (!model.radialBasis->readData(data, error)) return false;
  }
  model.variables = names;
  model.type = type;
  return true;
}

}  // namespace karvo::support
