// Fits one response-surface model to training points read from a file and writes its
// predictions at other points, for bench/surrogate_bench.py (which builds this program
// against the external layer and compares the predictions with other libraries').
//
//   surrogate_driver <model> <training file> <prediction points file> <output file>
//
// model: kriging (constant trend, correlation chosen by likelihood), kriging-matern (Matern
// 5/2 set), kriging-gauss (Gaussian set), kriging-linear (linear trend), kriging-pso (particle
// swarm); rbf-<kernel> with
// <kernel> one of gaussian, multiquadric, invmultiquadric, linear, thinplate, cubic (radial
// basis functions, shape chosen by leave-one-out).
// Training file: rows "x_1 .. x_d y"; prediction file: rows "x_1 .. x_d" (blank-separated).
// Output: the fit time in seconds on the first line, then one prediction per row ("%.17g").
// Exit status 1 with a message on stderr for a refused fit or unreadable files.
#include "external/kriging.h"
#include "external/radial_basis.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::vector<double>> readRows(const char* path) {
  std::vector<std::vector<double>> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<double> row;
    double v;
    while (fields >> v) row.push_back(v);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace karvo::support;
  if (argc != 5) {
    std::cerr << "usage: surrogate_driver <model> <training file> <points file> <output file>\n";
    return 1;
  }
  const std::string model = argv[1];
  std::vector<std::vector<double>> training = readRows(argv[2]);
  const std::vector<std::vector<double>> points = readRows(argv[3]);
  if (training.empty() || points.empty()) {
    std::cerr << "surrogate_driver: no training or prediction points read\n";
    return 1;
  }
  std::vector<double> responses;
  for (auto& row : training) {
    responses.push_back(row.back());
    row.pop_back();
  }
  std::vector<double> predictions;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  double seconds = 0.0;
  if (model.rfind("kriging", 0) == 0) {
    KrigingFit fit(training, responses, model == "kriging-linear" ? 1 : 0, 0, 0.0);
    if (model == "kriging-gauss") fit.setCorrelation(KrigingCorrelation::kGaussian);
    if (model == "kriging-matern") fit.setCorrelation(KrigingCorrelation::kMatern52);
    if (model == "kriging-pso") fit.setOptimizer(KrigingOptimizer::kParticleSwarm);
    if (!fit.compute(error)) {
      std::cerr << error << "\n";
      return 1;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const auto& x : points) predictions.push_back(fit.evaluate(x));
  } else if (model.rfind("rbf-", 0) == 0) {
    const std::string word = model.substr(4);
    const std::string kernelName = word == "gaussian"          ? "RBFGaussian"
                                   : word == "multiquadric"    ? "RBFMultiQuadratic"
                                   : word == "invmultiquadric" ? "RBFInvMultiQuadratic"
                                   : word == "linear"          ? "RBFLinear"
                                   : word == "thinplate"       ? "RBFThinPlateSpline"
                                   : word == "cubic"           ? "RBFCubic"
                                                               : word;
    const auto kernel = makeRadialBasisFunction(kernelName, 0.0, error);
    if (!kernel) {
      std::cerr << error << "\n";
      return 1;
    }
    RadialBasisFunctionFit fit(training, responses, *kernel);
    if (!fit.compute(error)) {
      std::cerr << error << "\n";
      return 1;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const auto& x : points) predictions.push_back(fit.evaluate(x));
  } else {
    std::cerr << "surrogate_driver: unknown model \"" << model << "\"\n";
    return 1;
  }
  std::FILE* out = std::fopen(argv[4], "w");
  if (!out) {
    std::cerr << "surrogate_driver: cannot write " << argv[4] << "\n";
    return 1;
  }
  std::fprintf(out, "%.6f\n", seconds);
  for (double p : predictions) std::fprintf(out, "%.17g\n", p);
  std::fclose(out);
  return 0;
}
