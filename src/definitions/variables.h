// The study's named entities from "Definitions.in": design variables and parameters (one
// table, one name space, one id space), discrete sets, distributions, user curves, loops,
// study relationships and options. Filled once at start-up by readDefinitions (and by the
// representation files, which may add variables); read by tagging, formulas, representations,
// reports and the evaluation flow for every design.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace karvo {

class Distribution;

enum class VariableKind {
  Continuous,       // design variable with bounds
  Discrete,         // design variable choosing among the items of a discrete set
  Dependent,        // computed from a formula
  FixedParameter,   // a real that the search does not change
  StringParameter,  // a text that the search does not change
};

struct Variable {
  std::string name;                 // unique among all variables and parameters
  int id = -1;                      // unique among all variables and parameters
  VariableKind kind = VariableKind::Continuous;
  double lower = 0.0;               // continuous: lower bound < upper bound
  double baseline = 0.0;            // continuous and fixed parameters; discrete: the
                                    // 1-based baseline choice as a real
  double upper = 0.0;
  int setIndex = -1;                // discrete: index into DefinitionTables::sets
  int baselineChoice = 0;           // discrete: 1 .. number of items
  std::string baselineText;         // string parameters
  std::string formula;              // dependent variables (newlines kept)
  std::string distributionName;     // dependent and fixed parameters: `distribution`; "": none
  int distributionIndex = -1;       // index into DefinitionTables::distributions; -1: none
  std::vector<double> levels;       // continuous, design-of-experiments form: the factor
                                    // levels (`levels`, list form); empty otherwise
  std::string factorType;           // design-of-experiments form: `factorType` as written
                                    // ("control" or "noise"); "" otherwise
  std::string recordText;           // the record's lines as read, joined with newlines
};

struct DiscreteSet {
  std::string name;                 // unique among sets
  int ordered = 0;                  // flag
  std::vector<std::string> items;   // in file order
  bool numeric = true;              // every item converts to a number
};

struct DistributionDefinition {
  std::string name;                           // unique among distributions
  std::string type;                           // the type word
  std::vector<std::pair<std::string, std::string>> properties;  // the record's lines
  std::shared_ptr<Distribution> object;       // made from type and properties
};

struct CurvePoint {
  double x = 0.0;
  double y = 0.0;
  double weight = 1.0;              // >= 0 (a negative one is replaced by its absolute value)
};

struct Curve {
  std::string name;                 // unique among curves
  std::vector<CurvePoint> points;   // at least 2, X not decreasing
};

struct Loop {
  std::string name;                 // unique among loops
  int active = 1;                   // `active` flag; an inactive loop runs its first case only
  int createCaseFolders = 0;        // `createCaseFolders` flag
  int reuseCaseInputFiles = 0;      // `reuseCaseInputFiles` flag
  std::string parallelType;         // "analysis" or "loop_serial" ("loop" is read as the latter)
  std::string type;                 // "continuous", "paramList" or "discrete"
  std::string errorMode;            // `errorMode`, stored for the loop runs
  std::string response;             // `response`
  std::string condition;            // a command text, tagged at run time; never "REMOTE:"
  std::string breakText;            // the `break` property
  std::string option;               // `option`
  std::vector<std::string> analyses;  // every `analysis` line, in order
  std::string output;               // `output`
  std::vector<std::string> values;  // `values` (list form): the loop's cases, may be empty
  std::vector<std::string> parameters;  // `parameters` (list form): paramList loops
  std::string recordText;           // the record's lines as read, joined with newlines
};

// Relationship types. Both tie a design variable to an expression written in the names of
// variables and parameters (the `parameters` lines, same syntax as a dependent variable's
// formula):
//   "equality"    the variable takes the expression's value;
//   "inequality"  the variable must stay `less_equal` or `greater_equal` the expression; a
//                 value beyond it is moved onto it.
enum class RelationshipType {
  Equality,
  Inequality,
};

struct Relationship {
  std::string name;                 // unique among relationships
  std::string type;                 // "equality" or "inequality"
  RelationshipType kind = RelationshipType::Equality;
  std::string variable;             // the design variable it acts on
  std::vector<std::string> parameters;    // the expression, one or more lines
  std::vector<std::string> dependencies;  // names the expression uses (list form)
  std::string comparison;           // inequality: "less_equal" or "greater_equal"; else ""
  int variableIndex = -1;           // index into DefinitionTables::variables once validated
  std::string recordText;           // the record's lines as read, joined with newlines
  int recordLine = 0;               // line of its keyword in its file (messages)
};

struct StudyOption {
  std::string name;                 // `*DEFINE_OPTION` name
  std::string value;
};

// Everything read from "Definitions.in" (and variables added by representation files).
struct DefinitionTables {
  std::vector<Variable> variables;                     // in file order
  std::unordered_map<std::string, int> variableByName;  // name -> index into variables
  std::unordered_map<int, int> variableById;            // id -> index into variables
  std::vector<DiscreteSet> sets;
  std::vector<DistributionDefinition> distributions;
  std::vector<Curve> curves;
  std::vector<Loop> loops;
  std::vector<Relationship> relationships;
  std::vector<StudyOption> options;
  int continuousCount = 0;          // counts by kind
  int discreteCount = 0;
  int dependentCount = 0;
  int fixedParameterCount = 0;
  int stringParameterCount = 0;
  int maxDesignVariables = 0;       // largest number of design variables of a representation
  bool definitionsRead = false;     // false when "Definitions.in" was missing
};

extern DefinitionTables definitions;

// Look-ups; null when absent.
const Variable* findVariable(const std::string& name);
const Variable* findVariableById(int id);
const DiscreteSet* findSet(const std::string& name);
const DistributionDefinition* findDistribution(const std::string& name);
const Curve* findCurve(const std::string& name);
const Loop* findLoop(const std::string& name);
const StudyOption* findOption(const std::string& name);

// Reads "<working directory>/Definitions.in" into `definitions` and into the tables of
// print formats (definitions/print_formats.h), compute resources, resource sets, remote
// machines and conditions (definitions/resources.h) and responses
// (definitions/response_definitions.h); every one of those tables is emptied first.
// Definition errors end the run through fatalError; a missing file gives the four warning
// lines and empty tables. References that may point forward in the file (distributions of
// variables, remote profiles of resources, members of composite conditions) are checked
// once the whole file is read.
void readDefinitions();

// Adds a variable record met while a representation file is read (Continuous and Discrete
// only; any other type ends the run); answers the index of the variable. The record is read
// and checked as a `*DEFINE_VARIABLE` record of "Definitions.in", with `fileLabel` in the
// messages.
struct Record;
int addVariableFromRepresentation(const Record& record, const std::string& fileLabel);

// Checks the study relationships once every variable is known (after the representation
// files, which may add variables): the `variable` of each must be a continuous or discrete
// variable and each of its `dependencies` a variable or parameter. Fills variableIndex.
// A failure ends the run.
void validateRelationships();

// Back to empty tables (start-up and tests). Only the tables declared here; readDefinitions
// also empties the print-format, resource and response tables.
void resetDefinitions();

}  // namespace karvo
