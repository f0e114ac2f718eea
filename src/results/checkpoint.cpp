// The checkpoint files of a search agent; see checkpoint.h for the layouts.
#include "results/checkpoint.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/data_value.h"
#include "base/messages.h"
#include "base/random.h"
#include "base/run_exit.h"
#include "base/run_files.h"
#include "base/run_state.h"
#include "base/state_archive.h"
#include "base/verified_file.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/history_file.h"
#include "search/genetic.h"
#include "search/population.h"
#include "search/population_file.h"

namespace karvo {

namespace {

constexpr int kMemOpenAttempts = 10;
constexpr int kHeaderOpenAttempts = 5;
constexpr int kRestoreAttempts = 5;
constexpr int kExitRestoreOpen = -77;
constexpr int kExitRestoreMember = -78;

// Section marks of the header's archive part.
constexpr int kAgentSection = 0x4b41;
constexpr int kMethodSection = 0x4b4d;
constexpr int kRandomSection = 0x4b52;

void toErrorLog(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

int designVariables(const Agent& agent) {
  const Representation* representation = findRepresentation(agent.representation);
  return representation ? representation->num_dvar : 0;
}

// The fixed words of the header: what an extension is checked against before anything else
// of the file is believed.
struct HeaderFacts {
  int magic = kCheckpointMagic;
  int version = kHistoryVersion;
  int setSize = 0;
  int setSizeAgain = 0;
  int stamp = 0;
  int generation = 0;
  int evaluated = 0;
  int variables = 0;
  int responses = 0;
  int storage = 0;
  int multiObjective = 0;
  int method = 0;
  double bestRaw = kFailedPerformance;
  int bestNumber = 0;
};

void keepFields(StateArchive& archive, HeaderFacts& h) {
  archive.items(h.magic, h.version, h.setSize, h.setSizeAgain, h.stamp, h.generation,
                h.evaluated, h.variables, h.responses, h.storage, h.multiObjective, h.method,
                h.bestRaw, h.bestNumber);
}

void keepRandomFields(StateArchive& archive, RandomState& r) {
  archive.items(r.table, r.cursor, r.batchReseed, r.partnerKept, r.partner);
  if (r.cursor < 0 || r.cursor >= kRandomTableSize) archive.fail();
}

// The agent's own part: its run state, its design count, the history counters and the
// normalisations of its performance definition (those taken from the baseline design are set
// when it is scored, and an extension does not score it again).
void keepAgentFields(StateArchive& archive, Agent& agent) {
  AgentResults& results = agentResults(agent);
  archive.items(agent.runState, agent.evaluatedDesigns, results.counters);
  PerformanceDefinition* definition = findPerformance(agent.performance);
  std::vector<double> norms = definition ? definition->norm : std::vector<double>();
  archive.item(norms);
  if (!archive.reading() || !archive.ok()) return;
  if (!definition || norms.size() != definition->norm.size()) {
    archive.fail();
    return;
  }
  // Only those still waiting for the baseline design: a number given in the performance file
  // stands as the file gives it now.
  for (std::size_t i = 0; i < norms.size(); ++i) {
    if (definition->norm[i] < 0.0) definition->norm[i] = norms[i];
  }
}

// A section: its length (int32), then its bytes.
void writeSection(std::string& out, const std::string& bytes) {
  appendInt32(out, static_cast<std::int32_t>(bytes.size()));
  out += bytes;
}

bool readSection(ByteReader& reader, std::string_view& section) {
  std::int32_t length = 0;
  if (!readInt32(reader, length) || length < 0 ||
      static_cast<std::size_t>(length) > bytesLeft(reader)) {
    return false;
  }
  section = std::string_view(reader.data + reader.at, static_cast<std::size_t>(length));
  reader.at += static_cast<std::size_t>(length);
  return true;
}

// ---------------------------------------------------------------------------------------
// Writing

std::string headerData(Agent& agent, MethodStateFn keepState, int stamp) {
  search::Population& population = search::agentPopulation(agent.number);
  HeaderFacts facts;
  facts.setSize = agent.method.populationSize;
  facts.setSizeAgain = agent.method.populationSize;
  facts.stamp = stamp;
  facts.generation = population.counters.generation;
  facts.evaluated = agent.evaluatedDesigns;
  facts.variables = designVariables(agent);
  facts.responses = historyShapeOfStudy().responses;
  facts.storage = historyShapeOfAgent(agent).performanceBlock;
  facts.multiObjective = search::multiObjectiveSearch(agent) ? 1 : 0;
  facts.method = agent.method.code;
  facts.bestRaw = population.bestEver.valid ? population.bestEver.raw : kFailedPerformance;
  facts.bestNumber = population.bestEver.valid ? population.bestEver.design.designNumber : 0;
  std::string data;
  StateArchive head(data);
  head.item(facts);

  std::string section;
  StateArchive agentPart(section);
  agentPart.mark(kAgentSection);
  keepAgentFields(agentPart, agent);
  search::keepPopulationState(agent.number, agentPart);
  writeSection(data, section);

  section.clear();
  StateArchive methodPart(section);
  methodPart.mark(kMethodSection);
  if (keepState) keepState(agent, methodPart);
  writeSection(data, section);

  section.clear();
  StateArchive randomPart(section);
  randomPart.mark(kRandomSection);
  RandomState random = randomState();
  keepRandomFields(randomPart, random);
  writeSection(data, section);
  return data;
}

// ---------------------------------------------------------------------------------------
// Reading

[[noreturn]] void extendError(const std::string& first, const std::string& last) {
  fatalError("Extend error\n\t**** ERROR ****" + first +
             "\n\t cannot be modified during an extend." + last);
}

[[noreturn]] void unreadableHeader() {
  writeMessage("outptr|stderr", "error",
               "\n *** Sorry, Unable to read the restart header file (.ckp). ***\n");
  fatalError("Unable to read restart header file (.ckp).");
}

void checkSetup(const Agent& agent, const HeaderFacts& facts) {
  if (facts.magic != kCheckpointMagic || facts.version != kHistoryVersion) {
    fatalError("Attempting to extend a study using results that were generated in a different "
               "version of KARVO. The runs can only be extended from results within the same "
               "version. Exiting.");
  }
  const int variables = designVariables(agent);
  if (facts.variables != variables) {
    extendError("\n\t The problem setup was changed prior to extending the run. The number of "
                "design variables (CONT/DISC)",
                formatText("\n\t The original run had %d design variables, but the new run "
                           "setup has %d.",
                           facts.variables, variables));
  }
  const int responses = historyShapeOfStudy().responses;
  if (facts.responses != responses) {
    extendError("\n\t The problem setup was changed prior to extending the run. The number of "
                "project responses",
                formatText("\n\t The original run had %d project responses, but the new run "
                           "setup has %d.",
                           facts.responses, responses));
  }
  const int storage = historyShapeOfAgent(agent).performanceBlock;
  if (facts.storage != storage) {
    extendError("\n\t The problem setup was changed prior to extending the run. The number of "
                "objectives/constraints/responses",
                formatText("\n\t The response storage size for original run was %d total, but "
                           "for the new run setup is %d.",
                           facts.storage, storage));
  }
  if (facts.multiObjective == 0 && search::multiObjectiveSearch(agent)) {
    fatalError("Extend error\n\t**** ERROR ****\n\t The problem setup was changed prior to "
               "extending the run. Cannot extend a weighted objective optimization run\n\t as "
               "aa MO-TOLMAR run. You can use the \"Continue\" option or add user designs from "
               "the previous run instead.");
  }
}

// The search set size of the stopped run stays.
void keepSearchSetSize(Agent& agent, int stored) {
  if (stored == agent.method.populationSize || stored < 1) return;
  writeMessage("outptr", "none", "\n\t**************WARNING**************\n");
  agent.method.populationSize = stored;
  if (agent.method.code == kMethodTolmar || agent.method.code == kMethodParetoTolmar) {
    const long allowed = agent.method.numEvals > 0 ? agent.method.numEvals : agent.numEvals;
    const int cycles = std::max(
        1, static_cast<int>((static_cast<double>(allowed) - stored) / (0.55 * stored + 1.0)));
    agent.method.numCycles = cycles;
    run.cycles = std::max(run.cycles, cycles);
  } else {
    writeMessage("outptr", "none",
                 formatText("\n\tSearch set size set to %d for agent %d as it cannot change for "
                            "extending.\n",
                            stored, agent.number));
  }
}

// The members of the population from the population file; the whole restore is tried again
// from the start when a member cannot be read.
void restoreMembers(const Agent& agent, search::Population& population, int stamp) {
  const std::string path = agentFileName(agent.number, ".mem");
  for (int attempt = 1;; ++attempt) {
    search::PopulationFile file;
    if (!search::InitCPRead(file, path, stamp) ||
        file.members != static_cast<int>(population.members.size())) {
      const std::string text = formatText("\nError:InitCPRead failed to restore %s.\n", path.c_str());
      writeMessage("outptr|stderr", "error", text);
      exitRun(kExitRestoreOpen, true);
    }
    int failedAt = -1;
    for (int n = 0; n < file.members && failedAt < 0; ++n) {
      double raw = 0.0;
      if (!search::NthMemRead(file, agent, n, population.members[static_cast<std::size_t>(n)].design,
                      raw)) {
        failedAt = n;
      }
    }
    if (failedAt < 0 && file.bestIndex >= file.members) {
      toErrorLog(formatText("\nError: Nth member reading failed at BestMem: %d.\n", file.bestIndex));
    }
    const bool previousSlot = file.previousSlot;
    if (!search::EndCPRead(file)) toErrorLog("\nError:EndCPRead failed.\n");
    if (failedAt < 0) {
      // The run was cut off between its two files: the population in use is one cycle
      // ahead of the header. It is written again as the one in use, so that the next
      // checkpoint's population goes to the slot of the abandoned one and this one stays.
      if (previousSlot) {
        VerifiedWriteOptions options;
        options.openAttempts = kMemOpenAttempts;
        writeVerifiedFile(path, search::populationFileData(agent, population, stamp), stamp, options);
      }
      return;
    }
    if (attempt >= kRestoreAttempts) {
      const std::string text =
          formatText("\nError: %dth member read for restore failed.\n", failedAt);
      writeMessage("outptr|stderr", "error", text);
      exitRun(kExitRestoreMember, true);
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------

void writePopulation(Agent& agent, MethodStateFn keepState, int cyclesDone) {
  AgentResults& results = agentResults(agent);
  if (!run.settings.historyDisabled && results.history.count != results.entriesWritten) {
    writeHistory(agent, results);
  }
  const search::Population& population = search::agentPopulation(agent.number);
  const std::string memPath = agentFileName(agent.number, ".mem");
  VerifiedWriteOptions memOptions;
  memOptions.openAttempts = kMemOpenAttempts;
  std::string error;
  if (!writeVerifiedFile(memPath, search::populationFileData(agent, population, cyclesDone), cyclesDone,
                         memOptions, &error)) {
    toErrorLog(formatText("\n*** ERROR: Unable to open %s for write.\n", memPath.c_str()));
    writeMessage("outptr", "error", "\nError: Unable to write .mem file\n" + error);
    fatalError("Write Failure of .mem file forced exit.");
  }
  const std::string ckpPath = agentFileName(agent.number, ".ckp");
  VerifiedWriteOptions ckpOptions;
  ckpOptions.openAttempts = kHeaderOpenAttempts;
  if (!writeVerifiedFile(ckpPath, headerData(agent, keepState, cyclesDone), cyclesDone,
                         ckpOptions, &error)) {
    toErrorLog(formatText("\n*** ERROR: Unable to open checkpoint header file %s\n",
                          ckpPath.c_str()) +
               " for writing.  Will terminate run. ***\n");
    fatalError(formatText("Unable to write the checkpoint header file %s: %s", ckpPath.c_str(),
                          error.c_str()));
  }
}

int readCheckpoint(Agent& agent, MethodStateFn keepState, CheckpointRestore& restore) {
  writeMessage("outptr", "note", "EXTENDING a run from saved checkpoint files.");
  const std::string path = agentFileName(agent.number, ".ckp");
  VerifiedSlot current, other;
  const VerifiedRead outcome = readVerifiedFile(path, current, other, kHeaderOpenAttempts);
  if (outcome == VerifiedRead::kMissing) {
    writeMessage("outptr", "note",
                 formatText("Agent %d has no checkpoint (its run stopped before the end of its "
                            "first cycle): it starts afresh, with the designs of its history.",
                            agent.number));
    // It proposes what it proposed before: every design of its history is kept aside to be
    // taken again in turn.
    agentResults(agent).replayAfter = 0;
    return 0;
  }
  if (outcome != VerifiedRead::kRead) unreadableHeader();
  const VerifiedSlot& slot = current.valid ? current : other;

  ByteReader reader = byteReaderOf(slot.data);
  HeaderFacts facts;
  {
    StateArchive head(std::string_view(slot.data));
    head.item(facts);
    if (!head.ok()) unreadableHeader();
    reader.at = head.offset();
  }
  checkSetup(agent, facts);
  keepSearchSetSize(agent, facts.setSize);

  std::string_view agentPart, methodPart, randomPart;
  if (!readSection(reader, agentPart) || !readSection(reader, methodPart) ||
      !readSection(reader, randomPart)) {
    unreadableHeader();
  }
  StateArchive agentArchive(agentPart);
  agentArchive.mark(kAgentSection);
  keepAgentFields(agentArchive, agent);
  search::keepPopulationState(agent.number, agentArchive);
  if (!agentArchive.ok() || agentArchive.remaining() != 0) unreadableHeader();
  search::Population& population = search::agentPopulation(agent.number);
  restoreMembers(agent, population, facts.stamp);

  // A method changed since the stopped run starts its own state afresh.
  if (facts.method == agent.method.code && keepState) {
    StateArchive methodArchive(methodPart);
    methodArchive.mark(kMethodSection);
    keepState(agent, methodArchive);
    if (!methodArchive.ok() || methodArchive.remaining() != 0) unreadableHeader();
  }
  RandomState random;
  StateArchive randomArchive(randomPart);
  randomArchive.mark(kRandomSection);
  keepRandomFields(randomArchive, random);
  if (!randomArchive.ok()) unreadableHeader();
  if (restore.random) *restore.random = random;

  // The history: every design of the stopped run, those after the checkpoint kept aside.
  AgentResults& results = agentResults(agent);
  results.replayAfter = facts.evaluated;
  if (!results.historyRead) {
    results.historyRead = true;
    readHistory(agent, results);
  }
  agent.evaluatedDesigns = facts.evaluated;
  restore.cyclesDone = facts.stamp;
  restore.runState = agent.runState;
  return 1;
}

}  // namespace karvo
