// Dependent variables evaluated for a design through the interpreter.
#include "evaluation/dependents.h"

#include <gtest/gtest.h>

#include "definitions/variables.h"
#include "evaluation/tagging.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

Variable makeVariable(const std::string& name, int id, VariableKind kind, double baseline,
                      const std::string& formula = "") {
  Variable v;
  v.name = name;
  v.id = id;
  v.kind = kind;
  v.lower = 0;
  v.upper = 100;
  v.baseline = baseline;
  v.formula = formula;
  return v;
}

class DependentsTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetDefinitions();
    resetDependentVariables();
  }
  void TearDown() override {
    resetDependentVariables();
    resetDefinitions();
    MessageCaptureTest::TearDown();
  }
  void add(const Variable& v) {
    definitions.variableByName[v.name] = static_cast<int>(definitions.variables.size());
    definitions.variableById[v.id] = static_cast<int>(definitions.variables.size());
    definitions.variables.push_back(v);
  }
};

TEST_F(DependentsTest, EachDependentSeesTheVariablesAndDependentsBeforeItAndAFailingOneFailsTheDesign) {
  add(makeVariable("width", 1, VariableKind::Continuous, 2.0));
  add(makeVariable("area", 2, VariableKind::Dependent, 0.0, "width * height"));
  add(makeVariable("height", 3, VariableKind::FixedParameter, 5.0));
  add(makeVariable("volume", 4, VariableKind::Dependent, 0.0, "area * 3"));
  prepareDependentVariables();

  EvaluationContext context;
  context.designNumber = 7;
  context.numbers["width"] = 4.0;
  // "height" comes after "area": area's formula cannot see it, and the failing dependent gets
  // no value. (The texts of a failing formula: FormulaTest.)
  EXPECT_FALSE(evaluateDependentVariables(context));
  EXPECT_EQ(context.numbers.count("area"), 0u);
  EXPECT_NE(messages().find("NameError"), std::string::npos) << messages();

  resetDefinitions();
  add(makeVariable("width", 1, VariableKind::Continuous, 2.0));
  add(makeVariable("height", 3, VariableKind::FixedParameter, 5.0));
  add(makeVariable("area", 2, VariableKind::Dependent, 0.0, "width * height"));
  add(makeVariable("volume", 4, VariableKind::Dependent, 0.0, "area * 3"));
  prepareDependentVariables();
  EvaluationContext design;
  design.designNumber = 8;
  design.numbers["width"] = 4.0;
  ASSERT_TRUE(evaluateDependentVariables(design));
  EXPECT_DOUBLE_EQ(design.numbers["area"], 20.0);    // the parameter's baseline
  EXPECT_DOUBLE_EQ(design.numbers["volume"], 60.0);  // a dependent of a dependent
}

}  // namespace
}  // namespace karvo
