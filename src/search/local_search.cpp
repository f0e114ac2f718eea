// The SQP solver run on an agent's designs (see local_search.h): maps the solver's points to
// designs, evaluates them in batches through the evaluation flow and hands back objective,
// constraints and gradients. One batch per request: the solver's own work is negligible next
// to an evaluation.
#include "search/local_search.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "base/messages.h"
#include "base/state_archive.h"
#include "base/text.h"
#include "definitions/gradient_file.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "evaluation/analysis_run.h"
#include "evaluation/performance.h"
#include "platform/platform.h"
#include "search/design_vectors.h"
#include "search/genetic.h"
#include "search/population.h"

namespace karvo::search {

namespace {

double normOf(const PerformanceDefinition& definition, int response) {
  const double norm = std::fabs(definition.norm[static_cast<std::size_t>(response)]);
  return norm > 0.0 ? norm : 1.0;
}

// The value of response `r` of a design (its first value), or NaN.
double responseValue(const Design& design, int r) {
  const std::size_t i = static_cast<std::size_t>(r);
  if (i >= design.responses.size()) return std::nan("");
  const ResponseValue& value = design.responses[i];
  if (!value.present || value.values.empty()) return std::nan("");
  return value.values[0];
}

// The constraint as the solver sees it (non-negative when met).
double constraintForm(const PerformanceDefinition& definition, int r, double value) {
  const double difference = value - definition.target[static_cast<std::size_t>(r)];
  const double sign = definition.opt[static_cast<std::size_t>(r)] == -1 ? -1.0 : 1.0;
  return sign * difference / normOf(definition, r);
}

std::vector<double> pointOf(const LocalSearch& search, const std::vector<int>& chromosome,
                            const std::vector<int>& fieldSizes) {
  const std::vector<double> all = normalisedFields(chromosome, fieldSizes);
  std::vector<double> x;
  for (int f : search.fields) x.push_back(all[static_cast<std::size_t>(f)]);
  return x;
}

std::vector<int> chromosomeAt(const LocalSearch& search, const std::vector<double>& x,
                              const std::vector<int>& fieldSizes) {
  std::vector<double> all = normalisedFields(search.chromosome, fieldSizes);
  for (std::size_t j = 0; j < search.fields.size(); ++j) {
    all[static_cast<std::size_t>(search.fields[j])] = x[j];
  }
  return fieldsAt(all, fieldSizes);
}

// The forward-difference neighbour of `chromosome` along the run's variable j.
std::vector<int> neighbourOf(const LocalSearch& search, const Agent& agent,
                             const std::vector<int>& chromosome,
                             const std::vector<int>& fieldSizes, std::size_t j) {
  const int field = search.fields[j];
  const int size = fieldSizes[static_cast<std::size_t>(field)];
  const double top = size - 1;
  const int steps = std::max(1, static_cast<int>(std::lround(agent.method.gradient.gradStepSize * top)));
  std::vector<int> neighbour = chromosome;
  int& k = neighbour[static_cast<std::size_t>(field)];
  k = k + steps <= size - 1 ? k + steps : std::max(0, k - steps);
  return neighbour;
}

[[noreturn]] void gradientFileError(const std::string& text) { fatalError(text); }

// The gradients of objective and constraints at `design` from its gradients file.
void gradientsFromFile(LocalSearch& search, const Agent& agent, const Population& population,
                       const Design& design, const PerformanceDefinition& definition) {
  const Representation* representation = findRepresentation(population.representation);
  const std::string folder = designFolder(agentFolder(agent.number), design.designNumber);
  std::string path = platform::joinPath(folder, kGradientFileName);
  if (!platform::isRegularFile(path)) {
    const std::string post =
        platform::joinPath(designPostFolder(agent.number, design.designNumber), kGradientFileName);
    if (platform::isRegularFile(post)) path = post;
  }
  double f = 0.0;
  std::vector<double> g;
  if (design.failed || !localSearchValues(definition, design, f, g)) {
    gradientFileError(formatText(
        "Error in getting the response values for design %d to read the gradient information. "
        "Turn off the option to read gradients from file to use the finite differencing "
        "approach.",
        design.designNumber));
  }
  std::vector<ResponseGradient> gradients;
  std::vector<std::string> unreadable;
  if (!readGradientFile(path, gradients, unreadable)) {
    gradientFileError(formatText(
        "Error in opening the KARVOGrads.info file in the design directory \"%s\".",
        folder.c_str()));
  }
  const std::size_t n = search.fields.size();
  // d(value)/dx of response r in the unit cube.
  auto derivative = [&](int r) {
    const std::string& name = definition.name[static_cast<std::size_t>(r)];
    const ResponseGradient* found = nullptr;
    for (const ResponseGradient& gradient : gradients) {
      if (gradient.response == name) found = &gradient;
    }
    if (!found) {
      gradientFileError(formatText(
          "Errors in reading the gradient information from file for response %s.", name.c_str()));
    }
    if (found->values.size() != n) {
      gradientFileError(formatText(
          "Internal error. The number of continuous variables does not match between the "
          "study (%d) and the NLSQP method (%d).",
          static_cast<int>(found->values.size()), static_cast<int>(n)));
    }
    std::vector<double> d(n);
    for (std::size_t j = 0; j < n; ++j) {
      const VariableSlot& slot = representation->slots[static_cast<std::size_t>(search.fields[j])];
      d[j] = found->values[j] * (slot.upper - slot.lower);
    }
    return d;
  };
  search.sqp.df.assign(n, 0.0);
  for (int r = 0; r < definition.count; ++r) {
    const std::size_t i = static_cast<std::size_t>(r);
    if (definition.flag[i] != kResponseObjective) continue;
    const double value = responseValue(design, r);
    const double norm = normOf(definition, r);
    const double target = definition.target[i];
    double dDeviation = 0.0;  // d(deviation)/d(value)
    switch (definition.opt[i]) {
      case -1: dDeviation = -1.0; break;
      case 1: dDeviation = 1.0; break;
      case 0: dDeviation = -2.0 * (value - target) / norm; break;
      default: dDeviation = 2.0 * (value - target) / norm; break;
    }
    const double d = deviation(definition, r, value) / norm;
    const double sign = definition.opt[i] == 1 || definition.opt[i] == 2 ? 1.0 : -1.0;
    const double factor =
        -(definition.offset[i] + 2.0 * sign * definition.coef[i] * d) / norm * dDeviation;
    const std::vector<double> dv = derivative(r);
    for (std::size_t j = 0; j < n; ++j) search.sqp.df[j] += factor * dv[j];
  }
  search.sqp.dg.assign(search.sqp.m * n, 0.0);
  std::size_t row = 0;
  for (const std::vector<int>* group : {&search.equalities, &search.inequalities}) {
    for (int r : *group) {
      const double sign = definition.opt[static_cast<std::size_t>(r)] == -1 ? -1.0 : 1.0;
      const std::vector<double> dv = derivative(r);
      for (std::size_t j = 0; j < n; ++j) {
        search.sqp.dg[row * n + j] = sign * dv[j] / normOf(definition, r);
      }
      ++row;
    }
  }
  writeMessage("outptr", "note", "Successfully read the gradient information from the file.");
}

Member memberOf(const Agent& agent, const Population& population, std::vector<int> chromosome) {
  Member member;
  member.design = makeMemberDesign(agent, population, std::move(chromosome),
                                   population.counters.generation + 1);
  return member;
}

void writeEnd(const LocalSearch& search, const Agent& agent) {
  for (const std::string& note : search.sqp.notes) writeMessage("outptr", "note", note);
  writeMessage("outptr", "note",
               formatText("SQP search of agent %d from design %d: %s (return code %d, %d "
                          "iterations, %d function calls).",
                          agent.number, search.startNumber,
                          sqpReturnText(search.request).c_str(), search.request,
                          search.sqp.iteration, search.sqp.functionCalls));
}

}  // namespace

bool localSearchValues(const PerformanceDefinition& definition, const Design& design, double& f,
                       std::vector<double>& g) {
  std::vector<double> scored;
  if (!designGoals(design, definition, f, scored)) return false;
  g.clear();
  for (int pass = 0; pass < 2; ++pass) {  // the equalities first
    for (int r = 0; r < definition.count; ++r) {
      const std::size_t i = static_cast<std::size_t>(r);
      if (definition.flag[i] != kResponseConstraint || (definition.opt[i] == 0) != (pass == 0)) {
        continue;
      }
      const double value = responseValue(design, r);
      if (!std::isfinite(value)) return false;
      g.push_back(constraintForm(definition, r, value));
    }
  }
  return true;
}

bool localSearchBegin(LocalSearch& search, const Agent& agent, const Population& population,
                      const Design& start, const SqpSettings& settings) {
  const Representation* representation = findRepresentation(population.representation);
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  search = LocalSearch{};
  if (!representation || !definition) return false;
  for (std::size_t f = 0; f < representation->slots.size() && f < population.fieldSizes.size();
       ++f) {
    if (representation->slots[f].kind == kSlotContinuous && population.fieldSizes[f] > 1) {
      search.fields.push_back(static_cast<int>(f));
    }
  }
  if (search.fields.empty()) return false;
  for (int r = 0; r < definition->count; ++r) {
    if (definition->flag[static_cast<std::size_t>(r)] != kResponseConstraint) continue;
    (definition->opt[static_cast<std::size_t>(r)] == 0 ? search.equalities : search.inequalities)
        .push_back(r);
  }
  search.chromosome = start.chromosome;
  if (search.chromosome.size() != population.fieldSizes.size()) return false;
  search.startNumber = start.designNumber;
  const int n = static_cast<int>(search.fields.size());
  const int m = static_cast<int>(search.equalities.size() + search.inequalities.size());
  const std::vector<double> x0 = pointOf(search, search.chromosome, population.fieldSizes);
  search.request = sqpStart(search.sqp, settings, n, m, static_cast<int>(search.equalities.size()),
                            x0, std::vector<double>(static_cast<std::size_t>(n), 0.0),
                            std::vector<double>(static_cast<std::size_t>(n), 1.0));
  // The starting design is scored already: hand its values without evaluating it again.
  if (search.request == kSqpNeedBoth || search.request == kSqpNeedValues) {
    search.last = start;
    search.last.chromosome = chromosomeAt(search, search.sqp.x, population.fieldSizes);
    search.haveLast = search.last.chromosome == start.chromosome && start.designNumber > 0;
  }
  search.running = search.request < 0;
  if (!search.running) writeEnd(search, agent);
  return true;
}

int localSearchRequestSize(const LocalSearch& search, const Agent& agent) {
  if (!search.running) return 0;
  const int n = static_cast<int>(search.fields.size());
  const bool fromFile = agent.method.gradient.gradientMethod == 1;
  switch (search.request) {
    case kSqpNeedValues: return 1;
    case kSqpNeedGradients: return fromFile ? 0 : n;
    case kSqpNeedBoth: return (search.haveLast ? 0 : 1) + (fromFile ? 0 : n);
    default: return 0;
  }
}

bool localSearchStep(LocalSearch& search, Agent& agent, Population& population, FileHandle* log,
                     const EvaluationServices& services, long budget) {
  if (!search.running) return false;
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  if (!definition) return false;
  const int request = search.request;
  if (request != kSqpNeedValues && request != kSqpNeedGradients && request != kSqpNeedBoth) {
    fatalError("\nInternal error. Nlsqp function evaluation.\n");
  }
  const int needed = localSearchRequestSize(search, agent);
  if (needed > budget) return false;
  const std::vector<int>& sizes = population.fieldSizes;
  const std::vector<int> here = chromosomeAt(search, search.sqp.x, sizes);
  const bool wantValues = request == kSqpNeedValues || (request == kSqpNeedBoth && !search.haveLast);
  const bool wantGradients = request != kSqpNeedValues;
  const bool differences = wantGradients && agent.method.gradient.gradientMethod == 0;
  if (request == kSqpNeedGradients && (!search.haveLast || search.last.chromosome != here)) {
    fatalError("\nInternal error. Nlsqp grad.\n");
  }

  std::vector<Member> batch;
  if (wantValues) batch.push_back(memberOf(agent, population, here));
  const std::size_t n = search.fields.size();
  if (differences) {
    for (std::size_t j = 0; j < n; ++j) {
      batch.push_back(memberOf(agent, population, neighbourOf(search, agent, here, sizes, j)));
    }
  }
  if (!batch.empty()) {
    evaluatePopulationMembers(agent, population, batch, services);
    search.evaluations += static_cast<long>(batch.size());
    population.members = batch;
    finishGeneration(agent, population, log);
  }

  std::size_t next = 0;
  if (wantValues) {
    search.last = batch[next++].design;
    search.haveLast = true;
  }
  SqpState& sqp = search.sqp;
  sqp.failed = !localSearchValues(*definition, search.last, sqp.f, sqp.g);
  if (wantGradients && !sqp.failed) {
    if (differences) {
      sqp.df.assign(n, 0.0);
      sqp.dg.assign(static_cast<std::size_t>(sqp.m) * n, 0.0);
      const std::vector<double> x = pointOf(search, here, sizes);
      for (std::size_t j = 0; j < n; ++j) {
        const Design& neighbour = batch[next++].design;
        const double step = pointOf(search, neighbour.chromosome, sizes)[j] - x[j];
        double f = 0.0;
        std::vector<double> g;
        // A neighbour that fails leaves its derivatives at 0: the solver then sees no slope
        // along that variable at this point.
        if (step == 0.0 || !localSearchValues(*definition, neighbour, f, g)) continue;
        sqp.df[j] = (f - sqp.f) / step;
        for (std::size_t c = 0; c < g.size(); ++c) sqp.dg[c * n + j] = (g[c] - sqp.g[c]) / step;
      }
    } else {
      gradientsFromFile(search, agent, population, search.last, *definition);
    }
  }
  search.request = sqpResume(sqp);
  search.running = search.request < 0;
  if (!search.running) writeEnd(search, agent);
  return true;
}

namespace {

// A record read fits together (see local_search.h).
bool consistent(const LocalSearch& search) {
  const int pending = sqpPendingRequest(search.sqp);
  if (!search.running) {
    return search.request >= kSqpSolved && search.request <= kSqpTooManyFunctionCalls &&
           pending >= kSqpSolved;
  }
  if (search.request >= 0 || search.request != pending) return false;
  if (search.request == kSqpNeedGradients && !search.haveLast) return false;
  const SqpState& sqp = search.sqp;
  if (static_cast<long long>(search.fields.size()) != sqp.n ||
      static_cast<long long>(search.equalities.size()) != sqp.me ||
      static_cast<long long>(search.equalities.size() + search.inequalities.size()) != sqp.m) {
    return false;
  }
  int previous = -1;
  for (int f : search.fields) {
    if (f <= previous || static_cast<std::size_t>(f) >= search.chromosome.size()) return false;
    previous = f;
  }
  for (const std::vector<int>* group : {&search.equalities, &search.inequalities}) {
    for (int r : *group) {
      if (r < 0) return false;
    }
  }
  return search.evaluations >= 0;
}

void keepFields(StateArchive& archive, LocalSearch& search) {
  keepSqpState(archive, search.sqp);
  archive.items(search.request, search.running, search.fields, search.chromosome,
                search.equalities, search.inequalities, search.last, search.haveLast,
                search.startNumber, search.evaluations);
}

}  // namespace

void keepLocalSearch(StateArchive& archive, LocalSearch& search) {
  if (!archive.reading()) {
    keepFields(archive, search);
    return;
  }
  LocalSearch read;
  keepFields(archive, read);
  if (archive.ok() && !consistent(read)) archive.fail();
  if (archive.ok()) search = std::move(read);
}

}  // namespace karvo::search
