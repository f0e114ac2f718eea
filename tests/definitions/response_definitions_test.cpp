// Tests of the `*DEFINE_RESPONSE` records of "Definitions.in": the data of each response type
// and the exact text of every definition error.
#include "definitions/response_definitions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/definition_place.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::errorPlace;
using testing::fatalBlock;

class ResponseDefinitionsTest : public testing::StudyFilesTest {};

TEST_F(ResponseDefinitionsTest, ReadsEveryResponseType) {
  read("*DEFINE_RESPONSE\nname: mass\ntype: File\nacceptMin: 0\nacceptMax: 1e3\n"
       "*DEFINE_RESPONSE\nname: label\ntype: File\ndataType: Text\n"
       "*DEFINE_RESPONSE\nname: ratio\ntype: Formula\nformula:2\nr = mass / 2\n_result = r\n"
       "*DEFINE_RESPONSE\nname: fit\ntype: Curve Fit\nfitTarget: target\nfitX: time\n"
       "fitY: force\nfitMode: Keep below\nfitNormalize: yes\nminPoints: 5\n"
       "curveFitFormula: time+force\n"
       "*DEFINE_RESPONSE\nname: smooth\ntype: Filter\nfilter: accel\nfilterType: 1\n"
       "cutoff: 180\ninterval: 1e-4\nfilterFormula: accel\n"
       "*DEFINE_RESPONSE\nname: avg\ntype: Filter\nfilter: accel\nfilterType: 2\nnumPts: 5\n"
       "*DEFINE_RESPONSE\nname: fld\ntype: FLD\ncurveType: keeler\ncurveOffset: 0.1\n"
       "minor: e2\nmajor: e1\ncompAngle: 45\nthickness: 1.2\nhardening: n\ncompType: angle\n"
       "*DEFINE_RESPONSE\nname: surrogate\ntype: RSM\nmdlFile: mass.mdl\nvariables:2\nx\ny\n");
  EXPECT_EQ(messages(), "");
  EXPECT_EQ(findResponseDefinition("mass")->acceptMax, 1000.0);
  EXPECT_FALSE(findResponseDefinition("label")->numeric);
  EXPECT_EQ(findResponseDefinition("label")->acceptMin, -kNoAcceptLimit);
  EXPECT_THAT(findResponseDefinition("ratio")->formula, ElementsAre("r = mass / 2", "_result = r"));
  const CurveFitData& fit = findResponseDefinition("fit")->curveFit;
  EXPECT_EQ(fit.mode, FitMode::KeepBelow);
  EXPECT_THAT(fit.dependsOn, ElementsAre("time", "force"));
  EXPECT_EQ(findResponseDefinition("smooth")->filter.interval, 1e-4);
  EXPECT_EQ(findResponseDefinition("avg")->filter.numPts, 5);
  EXPECT_EQ(findResponseDefinition("fld")->fld.thickness, "1.2");
  EXPECT_EQ(findResponseDefinition("fld")->fld.side, FldCompressionSide::Angle);
  EXPECT_THAT(findResponseDefinition("surrogate")->rsm.variables, ElementsAre("x", "y"));
}

TEST_F(ResponseDefinitionsTest, NameTypeAndAcceptedRangeErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: m\ntype: File\n*DEFINE_RESPONSE\nname: m\n"
                      "type: File\n"),
            fatalBlock("Error in the response definition. The response name \"m\" has already "
                       "been used. The response names need to be unique."));
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: m\ntype: Guess\n"),
            fatalBlock("Internal error in identifying the response type for response \"m\". "
                       "Exiting." + errorPlace("type", "Response", "m")));
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: m\ntype: File\nacceptMin: 2\nacceptMax: 1\n"),
            fatalBlock("Error in the definition of the response \"m\". The minimum allowed value "
                       "(2) cannot be greater than the maximum allowed value (1)."
                       + errorPlace("acceptMin", "Response", "m")));
}

TEST_F(ResponseDefinitionsTest, TypeSpecificErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: c\ntype: Curve Fit\nfitTarget: t\nfitX: x\n"
                      "fitY: y\nfitMode: Closest\n"),
            fatalBlock("Error in the definition of the response \"c\". The curve fit mode "
                       "\"Closest\" is not supported. Valid options are \"Match\", \"Keep below\" "
                       "or \"Keep above\"." + errorPlace("fitMode", "Curve Fit Response", "c")));
  const std::string filter = "*DEFINE_RESPONSE\nname: s\ntype: Filter\nfilter: a\n";
  EXPECT_EQ(readFatal(filter + "filterType: 3\n"),
            fatalBlock("Error in the definition of the response \"s\".\nThe filter type option "
                       "selected (3) is unsupported. Only 1 (Butterworth) or 2 (Point average) "
                       "are valid options." + errorPlace("filterType", "Filter Response", "s")));
  EXPECT_EQ(readFatal(filter + "filterType: 1\ncutoff: 100\ninterval: 0.001\n"),
            fatalBlock("Error in the definition of the response \"s\".\nCutoff frequency can only "
                       "be 60hz or 180hz. Found 100."
                       + errorPlace("cutoff", "Filter Response", "s")));
  EXPECT_EQ(readFatal(filter + "filterType: 1\ncutoff: 60\ninterval: 0\n"),
            fatalBlock("Error in the definition of the response \"s\".\nThe time step of the "
                       "signal (\"interval\", 0) must be greater than 0."
                       + errorPlace("interval", "Filter Response", "s")));
  EXPECT_EQ(readFatal(filter + "filterType: 2\nnumPts: 1\n"),
            fatalBlock("Error in the definition of the response \"s\".\nThe number of points "
                       "averaged (\"numPts\", 1) must be greater than 1."
                       + errorPlace("numPts", "Filter Response", "s")));
  const std::string fld = "*DEFINE_RESPONSE\nname: l\ntype: FLD\nminor: a\nmajor: b\n";
  const std::string keeler = fld + "curveType: Keeler\nthickness: 1.5\nhardening: n\n";
  EXPECT_EQ(readFatal(keeler + "compAngle: 91\n"),
            fatalBlock("When reading \"compAngle\" input for \"l\" of type \"FLD Response\" from "
                       "file \"Definitions.in\", the value read (91) is outside the expected "
                       "range [0, 90]"));
  const std::string head = "Error in the definition of the response \"l\".\n";
  auto at = [](const char* property) { return errorPlace(property, "FLD Response", "l"); };
  EXPECT_EQ(readFatal(fld + "curveType: Hill\n"),
            fatalBlock(head + "The forming-limit curve type \"Hill\" is not supported. Valid "
                              "options are \"Keeler\" or \"Curve\"." + at("curveType")));
  EXPECT_EQ(readFatal(fld + "curveType: Keeler\nthickness: 1.5\n"),
            fatalBlock(head + "The Keeler forming-limit curve needs the sheet thickness "
                              "(\"thickness\", mm) and the strain-hardening exponent "
                              "(\"hardening\"), each a number or the name of a variable or "
                              "response." + at("hardening")));
  EXPECT_EQ(readFatal(fld + "curveType: Keeler\nthickness: 0\nhardening: 0.2\n"),
            fatalBlock(head + "The value of \"thickness\" (0) must be a number greater than 0." +
                       at("thickness")));
  EXPECT_EQ(readFatal(fld + "curveType: Curve\n"),
            fatalBlock(head + "The forming-limit curve type \"Curve\" needs the curve of limit "
                              "strains (\"tensileCurve\", the name of a *DEFINE_CURVE)." +
                       at("tensileCurve")));
  EXPECT_EQ(readFatal(keeler + "compType: Curve\n"),
            fatalBlock(head + "The compression side type \"Curve\" needs the curve of its limit "
                              "strains (\"compCurve\", the name of a *DEFINE_CURVE)." +
                       at("compCurve")));
  EXPECT_EQ(readFatal(keeler + "compType: Hill\n"),
            fatalBlock(head + "The compression side type \"Hill\" is not supported. Valid "
                              "options are \"Angle\" or \"Curve\" (or none: the curve's own "
                              "side)." + at("compType")));
}

}  // namespace
}  // namespace karvo
