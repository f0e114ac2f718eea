// The factory of the response-surface models by model code: thin wrappers around the fits of
// the external layer, so that a search can fit and predict through one interface. A fit per
// generation and thousands of predictions are the expected load.
#include "surrogates/surface_model.h"

#include "external/kriging.h"
#include "external/polynomial_model.h"
#include "external/radial_basis.h"

namespace karvo::surrogates {

namespace {

class PolynomialSurface final : public SurfaceModel {
 public:
  explicit PolynomialSurface(int termSet) : termSet_(termSet) {}
  bool fit(const std::vector<std::vector<double>>& x, const std::vector<double>& y,
           std::string& error) override {
    std::vector<std::string> names;
    if (!x.empty()) {
      for (std::size_t i = 0; i < x.front().size(); ++i) names.push_back("x" + std::to_string(i + 1));
    }
    model_ = support::PolynomialModel(termSet_, support::polynomialVariablesFromData(names, x), x, y);
    return model_.compute(error);
  }
  double predict(const std::vector<double>& x) const override { return model_.evaluate(x); }
  bool gradient(const std::vector<double>& x, std::vector<double>& g) const override {
    return model_.gradient(x, g);
  }

 private:
  int termSet_;
  support::PolynomialModel model_;
};

class KrigingSurface final : public SurfaceModel {
 public:
  bool fit(const std::vector<std::vector<double>>& x, const std::vector<double>& y,
           std::string& error) override {
    model_ = std::make_unique<support::KrigingFit>(x, y, 0, 0, 0.0);
    return model_->compute(error);
  }
  double predict(const std::vector<double>& x) const override { return model_->evaluate(x); }
  double variance(const std::vector<double>& x) const override { return model_->variance(x); }
  bool gradient(const std::vector<double>& x, std::vector<double>& g) const override {
    return model_ && model_->gradient(x, g);
  }

 private:
  std::unique_ptr<support::KrigingFit> model_;
};

class RadialBasisSurface final : public SurfaceModel {
 public:
  bool fit(const std::vector<std::vector<double>>& x, const std::vector<double>& y,
           std::string& error) override {
    std::unique_ptr<support::RadialBasisFunctionBase> kernel =
        support::makeRadialBasisFunction("RBFGaussian", 0.0, error);
    if (!kernel) return false;
    model_ = std::make_unique<support::RadialBasisFunctionFit>(x, y, *kernel);
    model_->setShape(0.0);
    return model_->compute(error);
  }
  double predict(const std::vector<double>& x) const override { return model_->evaluate(x); }
  bool gradient(const std::vector<double>& x, std::vector<double>& g) const override {
    return model_ && model_->gradient(x, g);
  }

 private:
  std::unique_ptr<support::RadialBasisFunctionFit> model_;
};

}  // namespace

std::unique_ptr<SurfaceModel> makeSurfaceModel(int model, int termSet) {
  switch (model) {
    case 0:
      if (termSet < 0 || termSet > 9) return nullptr;
      return std::make_unique<PolynomialSurface>(termSet);
    case 2: return std::make_unique<KrigingSurface>();
    case 3: return std::make_unique<RadialBasisSurface>();
    default: return nullptr;
  }
}

}  // namespace karvo::surrogates
