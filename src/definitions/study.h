// The agents of a study and the study-wide settings: "Assembly.in" (agents, their
// representation, performance and process, migration links) and the study file (study
// record, run options, agent records with their methods, extensions). Read once at start-up;
// every run subsystem looks agents up here.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "definitions/method_settings.h"

namespace karvo {

// Agent types as stored (the words of "Assembly.in"); 3 is set by check-setup runs only.
enum AgentType : int {
  kAgentOptimization = 0,
  kAgentDoe = 1,
  kAgentReliability = 2,  // "reliability and robustness"
  kAgentCheckSetup = 3,
  kAgentEvaluation = 4,
};

inline constexpr int kUndefined = -123456;  // an agent-table entry not given in the files

struct MigrationLink {
  int donor = 0;                 // donating agent number (an optimization agent)
  int designCount = 0;           // designs donated
  double incestReduction = 0.0;  // >= 0
  double crowdingAmount = 0.0;   // >= 0
};

struct Agent {
  int number = kUndefined;           // `id` in "Assembly.in"
  std::string name;                  // `name`; names the agent in messages
  int type = kUndefined;             // AgentType
  int representation = kUndefined;   // "Representation%d.in"
  int performance = kUndefined;      // "Performance%d.in"
  int process = kUndefined;          // "Process%d.in"
  std::vector<MigrationLink> links;  // every `neighbor` line
  int studyMode = 0;                 // `mode` of the study record (0..7)
  MethodSettings method;             // the method of the agent record of the study file:
                                     // method.code 0..14 (-1 until read) and its settings
  int numEvals = 0;                  // `numEvals`
  int numEvalsTotal = 0;             // `numEvalsTotal`
  int saveDesigns = 0;               // 0 LatestBest, 1 AllBest, 2 All, 3 None
  int saveErrorDesigns = 0;          // 0 saveAndRename, 1 saveOnly, 2 doNotSave
  int outputPrecision = 16;          // digits of reals in result files, 3..30
  std::string evaluationFolder;      // at most 1656 characters
  std::string postFolder;            // at most 1656 characters
  std::string terminationCondition;  // a command text; never "REMOTE:"
  int evaluateInitialPopDuringInjection = 0;  // stored negated
  std::vector<std::string> visualizationFiles;
  int controlOutput = 0;             // `controlOutput` given
  int controlOutputCount = 0;        // >= 1
  double controlOutputFraction = 0;  // [0, 1]
  int structuredInitialization = 0;
  std::vector<double> reinitializeOptions;
  std::string recordText;            // the agent record of the study file, as read
  int runState = 0;                  // 2: finished
  int stochasticFitness = 0;         // the agent's fitness is stochastic (0 or 1); stored in
                                     // and compared with its history file
  std::string continueDesigns = "all";  // `continueDesigns`: the designs of the history that a
                                     // resumed run takes over, "all" or a design list
  // Run-time counters of the evaluation flow, kept here so that a checkpoint can save them
  // and a resumed run set them.
  int evaluatedDesigns = 0;          // designs evaluated so far (the last design number), >= 0
  bool firstDesignFinished = false;  // some design of this agent has finished its evaluation
  bool haveStudyRecord = false;      // an `*AGENT` record of the study file named it
};

// Run options of the study file (`*RUN_OPTIONS`); a missing key leaves a setting unchanged.
struct RunOptions {
  int structuredInitialization = 0;  // "outputMigrationData" / "structedInitialization"
  int hashingEnabled = 1;            // not "turnOffHashing"
  int reevaluateDesigns = 0;
  int suppressOutputFiles = 0;
  int captureOutput = 1;             // 2 with "usingTcsh"
  int readDesignResultsFromDisk = 0;
  int scriptingVerbose = 0;
  int saveHistoryForEachEval = 0;
  int maxThreads = 0;
  int noFolderWithoutAnalysis = 0;   // no design folders or design log without analyses
};

struct StudySettings {
  std::string name;                  // the study record's `name`
  int startAgent = 0;                // agent range of this process
  int endAgent = 0;
  std::string extendedRunPrefix;     // prefix of the run being extended
  float randomSeed = 0.0f;           // [0, 1]; 0: from the clock
  int nParallel = 1;                 // parallel evaluations
  int parallel = 0;                  // nParallel >= 2
  int extending = 0;                 // mode "extend"
  int resume = 0;                    // use-history
  int retrace = 0;
  std::string startTime;             // the banner's start time, kept for the reports
  RunOptions options;
  std::vector<std::string> extensions;  // `*EXTENSION` names
};

extern std::vector<Agent> agents;  // one per `*AGENT` of "Assembly.in", by file order
extern StudySettings study;

// The agent with this number, or null.
Agent* findAgent(int number);

// "optimization", "doe", "reliability and robustness", "evaluation" ("" for 3 and others).
const char* agentTypeWord(int type);

// Readers. Definition errors end the run through fatalError.
void readAssembly();          // "<working directory>/Assembly.in"
void readRunOptionsFirst();   // first pass over the open study file: *RUN_OPTIONS only
// The full pass; closes the study file and writes the banner. The method of each agent
// record is looked up in `methods` (the run's method table, driver/method_table.h).
void readStudyFile(std::span<const MethodEntry> methods);

void resetStudy();

}  // namespace karvo
