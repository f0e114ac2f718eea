// The adaptive operators of the hybrid search: credit, adaptive probabilities, adaptivx and
// the adaptive mutation. Called once per new member and once per generation on populations
// of tens of designs, so the code keeps a plain, fixed order of draws rather than speed.
//
// Choices made here beyond the fixed rules:
//   * Family A (lower levels) and family B (upper levels, or no levels) are chosen by the
//     caller through `lowerLevels`; the caller also sets `fineGrained` once per run from
//     mostlyFineGrained. The starting rates of the genetic core (crossover 0.5, mutation
//     0.2) hold for both families until the first update.
//   * The mutation flip of a family leaves out its search-decision share (the search
//     fraction for family B, the probability of 90/94/95 for family A): search decisions
//     are made by the throttle, not by mutation.
//   * A sub-operator or mutation kind is drawn with one uniform draw r over the cumulative
//     probabilities of the family. An operator whose probability is 0 drops out of the
//     update and keeps 0.
//   * twoptx and uniformx are those of the genetic core, called with probability 1 after
//     the family's flip (their own flip then takes one draw that always succeeds).
//   * Continuous blend (codes 35/85, fine-grained representations only): for each field
//     where the parents differ, a field of size 2 gets a coin flip as in the field blend;
//     a larger field is crossed with probability 0.5 by simulated binary crossover
//     (distribution index 3) in the normalised coordinate u = k / (N - 1), and the children
//     are rounded to the nearest field value inside [0, N - 1]. It produces the children
//     when at least one child differs from both parents; otherwise the field blend is made
//     with fresh draws and the code becomes 30 or 80.
//   * Mutation kinds (family A / family B):
//       1/6 one normal field mutation event of the genetic core (its flip left out);
//       2/7 block step: w fields (w drawn like the multi-field block width from
//           avgMutWidth), each moved by round(scale * sigma * z), sigma the population's
//           standard deviation in that field (at least 1), scale 1 for A and 0.3 for B;
//       3/8 block reset: w fields redrawn uniformly (A) or within +-10% of the field's
//           range around the current value (B, at least +-1);
//       4/9 difference step x + F (x_r1 - x_r2), r1 != r2 drawn from the population
//           (F = 0.8 for A, 0.5 for B), applied to one drawn field and to every other field
//           with probability 0.5.
//     Values are rounded to the nearest integer and reflected into [0, N - 1]. A kind that
//     leaves the chromosome as it was (a step that rounds to nothing, a redraw of the same
//     value, equal members) nudges one of the fields it worked on (or, when none of them
//     can change, any field of size 2 or more) by one field value: randomInt for the field,
//     then a coin for the direction when both are open.
#include "search/tolmar_operators.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <initializer_list>

#include "base/random.h"
#include "search/operators.h"

namespace karvo::search {

namespace {

constexpr double kFamilySum = 0.66;     // the sum each family's probabilities tends to
constexpr double kStartingCount = 0.5;  // count of every code before the ring is read
constexpr double kKeepShare = 0.8;      // weight of the old probability in an update
constexpr double kFineGrainedPull = 0.3;
constexpr double kStartPcross = 0.5;
constexpr double kStartPmutation = 0.2;
constexpr int kFineGrainedFieldSize = 40;

// Continuous blend and field blend.
constexpr double kSbxIndex = 3.0;            // distribution index of the binary crossover
constexpr float kSbxFieldProbability = 0.5f;
constexpr double kAlphaSpan = 1.5;           // alpha = 1.5 r - 0.25
constexpr double kAlphaShift = 0.25;

// Mutation kinds.
constexpr double kOneFieldWidthLimit = 0.5;
constexpr double kStepScaleB = 0.3;
constexpr double kResetShareB = 0.1;
constexpr double kDifferenceA = 0.8;
constexpr double kDifferenceB = 0.5;
constexpr float kDifferenceFieldProbability = 0.5f;

constexpr int kCrossoverTwoPoint = 1;
constexpr int kCrossoverUniform = 2;

std::size_t at(int index) { return static_cast<std::size_t>(index); }

int sizeOf(std::span<const int> fieldSizes, std::size_t field) {
  const int size = field < fieldSizes.size() ? fieldSizes[field] : 1;
  return size < 1 ? 1 : size;
}

// k brought into [0, N - 1] by reflection at both ends (period 2 (N - 1)).
int reflectIntoField(long long k, int size) {
  if (size <= 1) return 0;
  const long long top = size - 1;
  const long long period = 2 * top;
  k %= period;
  if (k < 0) k += period;
  return static_cast<int>(k > top ? period - k : k);
}

// Nearest integer, halves away from zero.
long long nearest(double v) { return static_cast<long long>(std::llround(v)); }

// One draw r over the cumulative probabilities of `codes`: the first code whose running
// sum exceeds r * total (the last code with a positive probability when rounding leaves
// r * total at the top). Answers codes[0] without a positive total, after the draw.
template <std::size_t K>
int drawCode(const AdaptiveState& state, const int (&codes)[K]) {
  double total = 0.0;
  for (int code : codes) total += std::max(0.0, state.probability[at(code)]);
  const double target = static_cast<double>(nextUniform()) * total;
  int chosen = codes[0];
  double sum = 0.0;
  for (int code : codes) {
    const double p = std::max(0.0, state.probability[at(code)]);
    if (p <= 0.0) continue;
    chosen = code;
    sum += p;
    if (target < sum) break;
  }
  return chosen;
}

void copyParents(const std::vector<int>& p1, const std::vector<int>& p2, std::vector<int>& c1,
                 std::vector<int>& c2) {
  c1 = p1;
  c2 = p2;
}

// The field blend of codes 30/80 over every field: size 2 (or 1) by a coin for unequal
// values, larger fields by one alpha draw each.
void fieldBlend(const std::vector<int>& p1, const std::vector<int>& p2,
                std::span<const int> fieldSizes, std::vector<int>& c1, std::vector<int>& c2) {
  for (std::size_t i = 0; i < p1.size(); ++i) {
    const int size = sizeOf(fieldSizes, i);
    if (size <= 2) {
      if (p1[i] == p2[i]) continue;
      const int coin = flip(0.5f);
      c1[i] = size == 2 ? coin : 0;
      c2[i] = size == 2 ? 1 - coin : 0;
      continue;
    }
    const double alpha = kAlphaSpan * static_cast<double>(nextUniform()) - kAlphaShift;
    blendFieldValues(p1[i], p2[i], alpha, size, c1[i], c2[i]);
  }
}

// The continuous blend of codes 35/85; answers whether it produced the children.
bool continuousBlend(const std::vector<int>& p1, const std::vector<int>& p2,
                     std::span<const int> fieldSizes, std::vector<int>& c1,
                     std::vector<int>& c2) {
  const double exponent = 1.0 / (kSbxIndex + 1.0);
  for (std::size_t i = 0; i < p1.size(); ++i) {
    if (p1[i] == p2[i]) continue;
    const int size = sizeOf(fieldSizes, i);
    if (size <= 2) {
      const int coin = flip(0.5f);
      c1[i] = size == 2 ? coin : 0;
      c2[i] = size == 2 ? 1 - coin : 0;
      continue;
    }
    if (!flip(kSbxFieldProbability)) continue;
    const double top = static_cast<double>(size - 1);
    const double u1 = p1[i] / top;
    const double u2 = p2[i] / top;
    const double r = static_cast<double>(nextUniform());
    const double beta =
        r <= 0.5 ? std::pow(2.0 * r, exponent) : std::pow(1.0 / (2.0 * (1.0 - r)), exponent);
    const double v1 = 0.5 * ((1.0 + beta) * u1 + (1.0 - beta) * u2);
    const double v2 = 0.5 * ((1.0 - beta) * u1 + (1.0 + beta) * u2);
    c1[i] = static_cast<int>(nearest(std::clamp(v1, 0.0, 1.0) * top));
    c2[i] = static_cast<int>(nearest(std::clamp(v2, 0.0, 1.0) * top));
  }
  return (c1 != p1 && c1 != p2) || (c2 != p1 && c2 != p2);
}

// ---------------------------------------------------------------------------------------
// Mutation helpers

// The block width w in [1, n] (as the multi-field mutation draws it) and its fields.
std::vector<int> drawBlock(int n, double avgMutWidth) {
  const double limit =
      n == 1 ? kOneFieldWidthLimit : 1.0 - 1.0 / std::max(1.0, avgMutWidth);
  int width = 1;
  while (width < n && static_cast<double>(nextUniform()) <= limit) ++width;
  const int start = randomInt(0, n - 1);
  std::vector<int> block;
  for (int k = 0; k < width; ++k) block.push_back((start + k) % n);
  return block;
}

// Standard deviation of a field over the population (0 when empty).
double fieldSpread(std::span<const std::vector<int>* const> population, std::size_t field) {
  double sum = 0.0;
  double squares = 0.0;
  int count = 0;
  for (const auto* member : population) {
    if (member == nullptr || field >= member->size()) continue;
    const double v = static_cast<double>((*member)[field]);
    sum += v;
    squares += v * v;
    ++count;
  }
  if (count == 0) return 0.0;
  const double mean = sum / count;
  return std::sqrt(std::max(0.0, squares / count - mean * mean));
}

// When the chromosome equals `before`, one field of `fields` that can change (else any
// field of size >= 2) moves by one field value. Draws nothing when something changed.
void nudgeIfUnchanged(std::vector<int>& chromosome, const std::vector<int>& before,
                      std::span<const int> fieldSizes, const std::vector<int>& fields) {
  if (chromosome != before) return;
  std::vector<int> open;
  for (int f : fields) {
    if (sizeOf(fieldSizes, at(f)) >= 2) open.push_back(f);
  }
  if (open.empty()) {
    for (std::size_t i = 0; i < chromosome.size(); ++i) {
      if (sizeOf(fieldSizes, i) >= 2) open.push_back(static_cast<int>(i));
    }
  }
  if (open.empty()) return;
  const std::size_t field = at(open[at(randomInt(0, static_cast<int>(open.size()) - 1))]);
  const int top = sizeOf(fieldSizes, field) - 1;
  int& value = chromosome[field];
  if (value <= 0) {
    value = 1;
  } else if (value >= top) {
    value = top - 1;
  } else {
    value += flip(0.5f) ? -1 : 1;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Probabilities and credit

int probabilityCode(int code) {
  switch (code) {
    case 30: return 35;
    case 80: return 85;
    case 94:
    case 95: return 90;
    default: return code;
  }
}

void adaptiveReset(AdaptiveState& state, int populationSize, double initialWidth) {
  state.probability.fill(0.0);
  auto& p = state.probability;
  p[1] = 0.06; p[2] = 0.03; p[3] = 0.03; p[4] = 0.18; p[90] = 0.03;
  p[10] = 0.24; p[20] = 0.06; p[35] = 0.06;
  p[6] = 0.12; p[7] = 0.06; p[8] = 0.06; p[9] = 0.06;
  p[60] = 0.24; p[70] = 0.06; p[85] = 0.06;
  state.searchFraction = 0.0;
  state.pmutationDecisions = 0.0;
  state.creditRing.assign(at(std::max(0, populationSize)), -1);
  state.creditNext = 0;
  const double width = std::max(1.0, initialWidth);
  state.widthRing.fill(width);
  state.widthNext = 0;
  state.avgMutWidth = width;
  state.pcross = kStartPcross;
  state.pmutation = kStartPmutation;
  state.familyACross = kStartPcross;
  state.familyAMutation = kStartPmutation + p[90];
}

bool mostlyFineGrained(std::span<const int> fieldSizes, std::span<const char> discrete) {
  const std::size_t n = fieldSizes.size();
  if (n == 0) return false;
  std::size_t coarse = 0;
  std::size_t discreteCount = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (fieldSizes[i] < kFineGrainedFieldSize) ++coarse;
    if (i < discrete.size() && discrete[i] != 0) ++discreteCount;
  }
  return 3 * coarse <= n && 3 * discreteCount <= n;
}

namespace {

// Writes `entries` entries of `code` into the credit ring, circularly.
void writeCredit(AdaptiveState& state, int code, int entries) {
  const int ringSize = static_cast<int>(state.creditRing.size());
  for (int k = 0; k < entries; ++k) {
    state.creditNext = ((state.creditNext % ringSize) + ringSize) % ringSize;
    state.creditRing[at(state.creditNext)] = code;
    state.creditNext = (state.creditNext + 1) % ringSize;
  }
}

void recordWidth(AdaptiveState& state, int code, double width) {
  if (code != 2 && code != 3 && code != 7 && code != 8) return;
  state.widthNext = ((state.widthNext % kCreditWidths) + kCreditWidths) % kCreditWidths;
  state.widthRing[at(state.widthNext)] = width;
  state.widthNext = (state.widthNext + 1) % kCreditWidths;
}

}  // namespace

void creditOperator(AdaptiveState& state, int code, double childRaw, double firstParentRaw,
                    double secondParentRaw, double bestRaw, double width) {
  if (code <= 0 || code >= kOperatorCodes || state.creditRing.empty()) return;
  const bool beatsFirst = childRaw > firstParentRaw;
  const bool reachesBest = childRaw >= bestRaw;
  if (code <= 9 || code == 90 || code == 94 || code == 95) {
    if (!beatsFirst) return;
    writeCredit(state, code, 1);
    if (reachesBest) writeCredit(state, code, 2);
    recordWidth(state, code, width);
    return;
  }
  if (code == 35 || code == 85) {
    if (beatsFirst) writeCredit(state, code, 2);
  } else if (code >= 10 && beatsFirst && childRaw > secondParentRaw) {
    writeCredit(state, code, 1);
  }
  if (code >= 10 && reachesBest) writeCredit(state, code, 2);
}

void creditByDomination(AdaptiveState& state, int code, bool dominatesFirst,
                        bool dominatesSecond, double width) {
  if (code <= 0 || code >= kOperatorCodes || state.creditRing.empty()) return;
  if (!dominatesFirst && !dominatesSecond) return;
  writeCredit(state, code, dominatesFirst && dominatesSecond ? 3 : 1);
  recordWidth(state, code, width);
}

void adaptProbabilities(AdaptiveState& state, int levelCount, int designVariables) {
  std::array<double, kOperatorCodes> count{};
  count.fill(kStartingCount);
  for (int entry : state.creditRing) {
    if (entry > 0 && entry < kOperatorCodes) count[at(probabilityCode(entry))] += 1.0;
  }
  auto& p = state.probability;
  auto ratio = [&](int code) { return p[at(code)] > 0.0 ? count[at(code)] / p[at(code)] : 0.0; };
  auto update = [&](std::initializer_list<int> codes, double z) {
    for (int code : codes) {
      double& value = p[at(code)];
      if (value > 0.0) value = kKeepShare * value + (1.0 - kKeepShare) * ratio(code) / z;
    }
  };

  if (levelCount > 1) {
    const auto familyA = {1, 2, 3, 4, 10, 20, 35, 90};
    double sum = 0.0;
    for (int code : familyA) sum += ratio(code);
    if (sum > 0.0) update(familyA, sum / kFamilySum);
  }

  const auto familyB = {6, 7, 8, 9, 60, 70, 85};
  double sum = 0.0;
  for (int code : familyB) sum += ratio(code);
  const double fraction = state.searchFraction;
  const double searchRatio = fraction > 0.0 ? count[90] / fraction : 0.0;
  sum += searchRatio;
  if (sum > 0.0) {
    const double z = sum / kFamilySum;
    update(familyB, z);
    if (fraction != 0.0) {
      state.searchFraction =
          std::max(0.0, kKeepShare * fraction + (1.0 - kKeepShare) * searchRatio / z);
    }
  }

  if (levelCount > 2 && state.fineGrained == 1) {
    p[35] = (p[35] + kFineGrainedPull) * 0.5;
    p[85] = (p[85] + kFineGrainedPull) * 0.5;
  }

  state.pcross = p[60] + p[70] + p[85];
  state.pmutation = p[6] + p[7] + p[8] + p[9] + state.searchFraction;
  state.pmutationDecisions = state.searchFraction;
  if (levelCount > 1) {
    state.familyACross = p[10] + p[20] + p[35];
    state.familyAMutation = p[1] + p[2] + p[3] + p[4] + p[90];
  }

  double width = 0.0;
  for (double w : state.widthRing) width += w;
  width /= kCreditWidths;
  const double c = std::sqrt(static_cast<double>(std::max(0, designVariables)));
  if (c > width) width = kKeepShare * width + (1.0 - kKeepShare) * c;
  if (levelCount >= 3) width = (2.0 * c + width) * 0.5;
  state.avgMutWidth = std::max(1.0, width);
}

// ---------------------------------------------------------------------------------------
// adaptivx

void blendFieldValues(int a, int b, double alpha, int fieldSize, int& c1, int& c2) {
  const int size = fieldSize < 1 ? 1 : fieldSize;
  auto settle = [size](double v) {
    long long k = v < 0.0 ? static_cast<long long>(0.5 - v) : static_cast<long long>(v + 0.5);
    const long long top = size - 1;
    if (k > top) k = 2 * top - k;
    return static_cast<int>(std::clamp<long long>(k, 0, top));
  };
  c1 = settle(alpha * b + (1.0 - alpha) * a);
  c2 = settle(alpha * a + (1.0 - alpha) * b);
}

int adaptiveCrossover(const AdaptiveState& state, bool lowerLevels, const std::vector<int>& p1,
                      const std::vector<int>& p2, std::span<const int> fieldSizes,
                      std::vector<int>& c1, std::vector<int>& c2) {
  if (!flip(static_cast<float>(lowerLevels ? state.familyACross : state.pcross))) {
    copyParents(p1, p2, c1, c2);
    return 0;
  }
  int differing = 0;
  if (p1.size() == p2.size()) {
    for (std::size_t i = 0; i < p1.size(); ++i) differing += p1[i] != p2[i] ? 1 : 0;
  }
  if (differing < 2) {
    copyParents(p1, p2, c1, c2);
    return 0;
  }

  static constexpr int kFamilyA[] = {10, 20, 35};
  static constexpr int kFamilyB[] = {60, 70, 85};
  const int code = lowerLevels ? drawCode(state, kFamilyA) : drawCode(state, kFamilyB);
  if (code == 10 || code == 60) {
    crossover(kCrossoverTwoPoint, p1, p2, 1.0, c1, c2);
    return code;
  }
  if (code == 20 || code == 70) {
    crossover(kCrossoverUniform, p1, p2, 1.0, c1, c2);
    return code;
  }
  copyParents(p1, p2, c1, c2);
  if (state.fineGrained == 1 && continuousBlend(p1, p2, fieldSizes, c1, c2)) return code;
  copyParents(p1, p2, c1, c2);
  fieldBlend(p1, p2, fieldSizes, c1, c2);
  return code == 35 ? 30 : 80;
}

// ---------------------------------------------------------------------------------------
// Adaptive mutation

int adaptiveMutation(const AdaptiveState& state, bool lowerLevels, std::vector<int>& chromosome,
                     std::span<const int> fieldSizes,
                     std::span<const std::vector<int>* const> population, double& width) {
  width = 1.0;
  const int n = static_cast<int>(chromosome.size());
  if (n == 0) return 0;
  const double total = lowerLevels ? state.familyAMutation - state.probability[90]
                                   : state.pmutation - state.pmutationDecisions;
  if (!flip(static_cast<float>(total))) return 0;

  static constexpr int kFamilyA[] = {1, 2, 3, 4};
  static constexpr int kFamilyB[] = {6, 7, 8, 9};
  const int code = lowerLevels ? drawCode(state, kFamilyA) : drawCode(state, kFamilyB);
  const int kind = lowerLevels ? code : code - 5;
  const std::vector<int> before = chromosome;
  std::vector<int> touched;

  switch (kind) {
    case 1: {
      normalFieldEvent(chromosome, fieldSizes);
      break;
    }
    case 2: {
      touched = drawBlock(n, state.avgMutWidth);
      width = static_cast<double>(touched.size());
      const double scale = lowerLevels ? 1.0 : kStepScaleB;
      for (int f : touched) {
        const double sigma = std::max(1.0, fieldSpread(population, at(f)));
        const long long step = nearest(scale * sigma * normalDeviate());
        chromosome[at(f)] = reflectIntoField(chromosome[at(f)] + step, sizeOf(fieldSizes, at(f)));
      }
      break;
    }
    case 3: {
      touched = drawBlock(n, state.avgMutWidth);
      width = static_cast<double>(touched.size());
      for (int f : touched) {
        const int size = sizeOf(fieldSizes, at(f));
        int& value = chromosome[at(f)];
        if (lowerLevels) {
          value = randomInt(0, size - 1);
        } else {
          const int half = std::max(1, static_cast<int>(nearest(kResetShareB * (size - 1))));
          value = randomInt(std::max(0, value - half), std::min(size - 1, value + half));
        }
      }
      break;
    }
    default: {  // difference step
      const int members = static_cast<int>(population.size());
      const std::vector<int>* first = nullptr;
      const std::vector<int>* second = nullptr;
      if (members >= 2) {
        const int i = randomInt(0, members - 1);
        int j = randomInt(0, members - 2);
        if (j >= i) ++j;
        first = population[at(i)];
        second = population[at(j)];
      }
      const double factor = lowerLevels ? kDifferenceA : kDifferenceB;
      const int always = randomInt(0, n - 1);
      for (int f = 0; f < n; ++f) {
        if (f != always && !flip(kDifferenceFieldProbability)) continue;
        touched.push_back(f);
        if (first == nullptr || second == nullptr || at(f) >= first->size() ||
            at(f) >= second->size()) {
          continue;
        }
        const double v = chromosome[at(f)] + factor * ((*first)[at(f)] - (*second)[at(f)]);
        chromosome[at(f)] = reflectIntoField(nearest(v), sizeOf(fieldSizes, at(f)));
      }
      break;
    }
  }
  nudgeIfUnchanged(chromosome, before, fieldSizes, touched);
  return code;
}

void mutateUntilNew(const AdaptiveState& state, bool lowerLevels, std::vector<int>& chromosome,
                    std::span<const int> fieldSizes,
                    std::span<const std::vector<int>* const> population,
                    const std::function<bool(const std::vector<int>&)>& known, int& code,
                    double& width) {
  constexpr int kRemutationTries = 8;
  constexpr int kRedrawTries = 64;
  for (int tries = 0; tries < kRemutationTries && known(chromosome); ++tries) {
    const int again = adaptiveMutation(state, lowerLevels, chromosome, fieldSizes, population, width);
    if (again != 0) code = again;
  }
  // Still a design seen before (a crowded corner of a coarse grid): one field redrawn at a
  // time until it is new.
  const int n = static_cast<int>(fieldSizes.size());
  for (int tries = 0; tries < kRedrawTries && n > 0 && known(chromosome); ++tries) {
    const int f = randomInt(0, n - 1);
    const int fieldSize = fieldSizes[at(f)];
    if (fieldSize > 1) chromosome[at(f)] = randomInt(0, fieldSize - 1);
    code = lowerLevels ? 1 : 6;
  }
}

}  // namespace karvo::search
