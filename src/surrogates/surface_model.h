// The seam of the response-surface models: the boundary class that every model kind
// implements, and the factory that makes a model by its model code.
//
// A model kind is a class derived from SurfaceModel around the fit of the external layer
// (external/polynomial_model.h, kriging.h, radial_basis.h), made by makeSurfaceModel under its
// model code (the `model` of SurfaceSearchSettings in
// definitions/method_settings.h, the same codes as the model files): 0 least-squares
// polynomial (with its term set 0..9), 2 Kriging, 3 radial basis. A model is made, fitted
// once, then asked for predictions; the response-surface search and the surfaces written
// after a design-of-experiments or reliability study both use it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace karvo::surrogates {

class SurfaceModel {
 public:
  SurfaceModel() = default;
  virtual ~SurfaceModel() = default;
  SurfaceModel(const SurfaceModel&) = delete;
  SurfaceModel& operator=(const SurfaceModel&) = delete;

  // Fits the model to the points `x` (one row per design, each row the values of the same
  // n >= 1 variables in their own units; the model does any normalisation itself) and the
  // response values `y` (one per row). Answers true when the model can predict; false with
  // `error` set to the reason (too few points for the kind, a singular system), the model
  // then stays unfitted. Refitting replaces the earlier fit.
  virtual bool fit(const std::vector<std::vector<double>>& x, const std::vector<double>& y,
                   std::string& error) = 0;

  // The response predicted at `x` (n values, as the rows given to fit). Only after a fit
  // that answered true.
  virtual double predict(const std::vector<double>& x) const = 0;

  // The variance of the prediction at `x` where the kind has one (Kriging); 0 otherwise.
  virtual double variance(const std::vector<double>& /*x*/) const { return 0.0; }

  // The gradient of the prediction at `x` into `g`; false when the kind cannot form it there.
  virtual bool gradient(const std::vector<double>& x, std::vector<double>& g) const = 0;
};

// A new, unfitted model of code `model` (term set `termSet` for the polynomial, 0..9;
// ignored by the other kinds), or null when this build has no such kind.
std::unique_ptr<SurfaceModel> makeSurfaceModel(int model, int termSet);

}  // namespace karvo::surrogates
