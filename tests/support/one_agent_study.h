// A study folder of one agent (id 0) written from the few lines that tell one test's study from
// another's, and the records such studies are made of.
#pragma once

#include <string>

namespace karvo::testing {

struct OneAgentStudy {
  std::string name = "sizing";          // the agent's and the study's name
  std::string type = "optimization";    // the agent's type
  std::string prefix = "demo";          // the study's filePrefix
  std::string definitions{};            // the records of Definitions.in
  std::string representation{};         // the records of Representation0.in
  std::string performance{};            // the records of Performance0.in
  std::string process{};                // the records of Process0.in; "": formulas only
  std::string runOptions{};             // the *RUN_OPTIONS record's lines; "": no record
  std::string agent{};                  // the lines of the *AGENT record after its id
};

// Writes Assembly.in, Definitions.in, Representation0.in, Performance0.in, Process0.in and
// study.in (random seed 0.5, a new study) into `dir`, each file ended by *END.
void writeOneAgentStudy(const std::string& dir, const OneAgentStudy& study);

// *DEFINE_FORMAT "Default", automatic.
extern const std::string kDefaultFormat;

// *DEFINE_VARIABLE of a continuous variable.
std::string continuous(const std::string& name, int id, const std::string& min,
                       const std::string& baseline, const std::string& max);

// *DEFINE_RESPONSE of a formula response.
std::string formulaResponse(const std::string& name, const std::string& formula);

// *VARIABLE of the representation.
std::string slot(const std::string& name, int id, int resolution);

// *RESPONSE records: an objective minimised with factor 1, a constraint "<= target".
std::string minimised(const std::string& name);
std::string atMost(const std::string& name, const std::string& target,
                   const std::string& factor = "1");

}  // namespace karvo::testing
