// The response surfaces fitted after a design-of-experiments or reliability study
// (`genRSMAfterStudy: 1`): for every study response of the agent's performance, a Linear and
// a Quadratic least-squares polynomial, a Kriging model and a radial basis function model of
// the agent's evaluated designs, each written to its model file
// "<study folder>/<response>-<model word>-<agent>.mdl" with its error file ".err". Called
// once per agent by the run driver after the agent's study; fitting takes well under a
// second per model for a few hundred designs.
//
// A `surfaceType` of the agent's method that names another polynomial term set ("LinAndSq",
// "Bilinear", ...) adds that polynomial after the four, as
// "<response>-<term-set word>-<agent>.mdl" with its ".err", between the notes "Starting the
// requested least squares approximation to the response values." and "Completed the
// requested ...".
//
// Variables of the models: for a DOE agent the continuous variables with a level list (its
// factors); for an optimization or evaluation agent every design variable; for a reliability
// agent the parameters that carry a distribution. The data are the agent's stored designs
// that did not fail, with the response present.
//
// Error files: the table of actual and predicted values. The polynomial's predictions are
// those of the fitted surface at each design; the kernel models pass through their designs,
// so their table shows the leave-one-out prediction of each design (the model fitted without
// it), which tells how well the model predicts a new design.
//
// Every failure is a warning and the study goes on without that model.
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct Agent;

namespace surrogates {

// The model words, in the order the models are fitted.
inline constexpr const char* kStudySurfaceWords[] = {"Linear", "Quadratic", "Kriging",
                                                     "RadialBasisFunction"};

// The path of a model file (extension ".mdl") or error file (".err").
std::string studySurfacePath(const std::string& response, const char* word, int agent,
                             const char* extension);

// Fits and writes the response surfaces of `agent` (see the top of this file).
void fitResponseSurfaces(const Agent& agent);

// The same models of one response that the study derives itself rather than extracts (the
// "<response>-means" and "<response>-SNratio" of a robust parameter design): `points[i]`
// (one value per entry of `names`, the model variables) has the value `values[i]`; values
// that are not finite numbers are left out. `pointNumbers[i]` numbers the point in the error
// files (1, 2, ... when not given). The files are "<response>-<model word>-<agent>.mdl" and
// ".err" as above, with the same notes and warnings (those of a DOE agent when `agent` is
// one); no variables give the warning of an agent without factors.
void fitDerivedResponseSurfaces(const Agent& agent, const std::string& response,
                                const std::vector<std::string>& names,
                                const std::vector<std::vector<double>>& points,
                                const std::vector<double>& values,
                                const std::vector<int>& pointNumbers);

}  // namespace surrogates
}  // namespace karvo
