// Selection, crossover and mutation of the genetic core. Called a few times per member and
// generation (populations of tens to hundreds of designs), so the code favours a plain,
// fixed order of draws over speed; every loop that draws is bounded.
#include "search/operators.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "base/file_handle.h"
#include "base/messages.h"
#include "base/random.h"
#include "search/fitness.h"

namespace karvo::search {

namespace {

// Normal field mutation.
constexpr float kResetLimit = 0.2f;      // first draw at or below: the field is reset
constexpr float kUnchangedLimit = 0.2f;  // second draw at or below: the field is left alone
constexpr float kDownLimit = 0.5f;       // creep direction draw at or below: down

// Multi-field mutation.
constexpr float kBlockProbability = 0.6f;  // a block rather than a normal field mutation
constexpr float kResetBlockProbability = 0.5f;
constexpr double kOneFieldWidthLimit = 0.5;  // width continuation limit for one field
constexpr int kSpreadMembers = 3;            // members drawn for the spread of a normal step
constexpr double kZeroSpreadStandIn = 2.0;   // spread used when the three agree
constexpr double kSpreadDivisor = 5.0;       // the step is spread / 5 standard deviations

// Uniform crossover: a draw at or below this keeps each child with its own parent.
constexpr float kUniformKeepLimit = 0.5f;

constexpr int kLastCrossoverType = 4;

int memberCount(std::span<const double> scaled) { return static_cast<int>(scaled.size()); }

// The list 0..n-1, all untaken.
void identityList(SelectionList& list, int n) {
  list.entries.resize(static_cast<std::size_t>(n));
  std::iota(list.entries.begin(), list.entries.end(), 0);
  list.untaken = n;
}

// The stochastic universal walk over expected counts (they add up to n): one draw r, and
// member `memberAt[i]` appended each time the running sum exceeds r, r growing by 1 each
// time. At most n entries; a shortfall from rounding is filled with the last member whose
// expected count is positive.
void universalWalk(SelectionList& list, const std::vector<double>& expected,
                   const std::vector<int>& memberAt) {
  const int n = static_cast<int>(expected.size());
  list.entries.clear();
  list.entries.reserve(static_cast<std::size_t>(n));
  double r = static_cast<double>(nextUniform());
  double sum = 0.0;
  int lastPositive = memberAt[static_cast<std::size_t>(n - 1)];
  for (int i = 0; i < n && static_cast<int>(list.entries.size()) < n; ++i) {
    const double count = expected[static_cast<std::size_t>(i)];
    if (count > 0.0) lastPositive = memberAt[static_cast<std::size_t>(i)];
    sum += count;
    while (sum > r && static_cast<int>(list.entries.size()) < n) {
      list.entries.push_back(memberAt[static_cast<std::size_t>(i)]);
      r += 1.0;
    }
  }
  while (static_cast<int>(list.entries.size()) < n) list.entries.push_back(lastPositive);
  list.untaken = n;
}

void buildUniversal(SelectionList& list) {
  const int n = static_cast<int>(list.scaled.size());
  if (n == 0) {
    identityList(list, 0);
    return;
  }
  double sum = 0.0;
  for (double f : list.scaled) sum += f;
  const double average = sum / n;
  if (!(average > 0.0)) {
    identityList(list, n);
    return;
  }
  std::vector<double> expected(list.scaled.size());
  std::vector<int> memberAt(list.scaled.size());
  for (int i = 0; i < n; ++i) {
    expected[static_cast<std::size_t>(i)] = list.scaled[static_cast<std::size_t>(i)] / average;
    memberAt[static_cast<std::size_t>(i)] = i;
  }
  universalWalk(list, expected, memberAt);
}

void buildRanking(SelectionList& list) {
  const int n = static_cast<int>(list.scaled.size());
  if (n == 0) {
    identityList(list, 0);
    return;
  }
  double sum = 0.0;
  for (double f : list.scaled) sum += f;
  if (sum / n == 0.0) {
    identityList(list, n);
    return;
  }
  std::vector<int> memberAt(list.scaled.size());
  std::iota(memberAt.begin(), memberAt.end(), 0);
  std::stable_sort(memberAt.begin(), memberAt.end(), [&list](int a, int b) {
    return list.scaled[static_cast<std::size_t>(a)] > list.scaled[static_cast<std::size_t>(b)];
  });
  std::vector<double> expected(list.scaled.size());
  for (int rank = 0; rank < n; ++rank) {
    expected[static_cast<std::size_t>(rank)] = rankingExpectedCount(rank, n, list.scalemult);
  }
  universalWalk(list, expected, memberAt);
}

void rebuild(SelectionList& list) {
  if (list.kind == SelectionList::Kind::kUniversal) {
    buildUniversal(list);
  } else if (list.kind == SelectionList::Kind::kRanking) {
    buildRanking(list);
  }
}

// Children as copies of their parents.
void copyParents(const std::vector<int>& p1, const std::vector<int>& p2, std::vector<int>& c1,
                 std::vector<int>& c2) {
  c1 = p1;
  c2 = p2;
}

// Two distinct differing positions a < b.
void drawTwoPoints(const std::vector<int>& differing, int& a, int& b) {
  const int m = static_cast<int>(differing.size());
  const int i = randomInt(0, m - 1);
  int j = randomInt(0, m - 2);
  if (j >= i) ++j;
  a = differing[static_cast<std::size_t>(std::min(i, j))];
  b = differing[static_cast<std::size_t>(std::max(i, j))];
}

int effectiveSize(int fieldSize) { return fieldSize < 1 ? 1 : fieldSize; }

// A value moved to [0, size - 1].
int clampToField(double value, int size) {
  const double top = static_cast<double>(size - 1);
  if (!(value > 0.0)) return 0;
  if (value > top) return size - 1;
  return static_cast<int>(value);
}

// floor(log2 d) for d >= 1.
int floorLog2(int d) {
  int b = 0;
  while (d > 1) {
    d >>= 1;
    ++b;
  }
  return b;
}

// One mutation of a field holding `value` with field size `size` >= 1, after the field was
// drawn: reset, unchanged or creep.
void mutateOneField(int& value, int size) {
  const float first = nextUniform();
  if (first <= kResetLimit) {
    if (size < 2) return;
    const int old = value;
    int fresh = randomInt(0, size - 1);
    while (fresh == old) fresh = randomInt(0, size - 1);
    value = fresh;
    return;
  }
  if (nextUniform() <= kUnchangedLimit) return;

  int d = size / 10;
  if (d < 3) d = size < 8 ? size / 2 : 3;
  long long step = 1;
  if (d >= 2) {
    const int b = floorLog2(d);
    const double limit = 1.0 / static_cast<double>(b);
    step = 0;
    for (int j = 0; j < b; ++j) {
      if (static_cast<double>(nextUniform()) <= limit) step += 1LL << j;
    }
    if (step < 1) step = 1;
  }
  const bool down = nextUniform() <= kDownLimit;
  const double moved = static_cast<double>(value) + (down ? -1.0 : 1.0) * static_cast<double>(step);
  value = clampToField(moved, size);
}


}  // namespace

int normalFieldEvent(std::vector<int>& chromosome, std::span<const int> fieldSizes) {
  const int n = static_cast<int>(chromosome.size());
  const double limit = 1.0 - 1.0 / static_cast<double>(n);
  int m = 1;
  while (m < n && static_cast<double>(nextUniform()) > limit) ++m;
  for (int k = 0; k < m; ++k) {
    const int field = randomInt(0, n - 1);
    mutateOneField(chromosome[static_cast<std::size_t>(field)],
                   effectiveSize(fieldSizes[static_cast<std::size_t>(field)]));
  }
  return m;
}

// ---------------------------------------------------------------------------------------
// Selection

int selectTournament(std::span<const double> scaled, int tournamentSize) {
  const int n = memberCount(scaled);
  if (n == 0) return -1;
  int best = randomInt(0, n - 1);
  for (int k = 1; k < tournamentSize; ++k) {
    const int challenger = randomInt(0, n - 1);
    if (scaled[static_cast<std::size_t>(challenger)] > scaled[static_cast<std::size_t>(best)]) {
      best = challenger;
    }
  }
  return best;
}

int selectLeastViolation(std::span<const double> violation, std::span<const double> raw,
                         std::span<const double> scaled, int tournamentSize) {
  const int n = memberCount(scaled);
  if (n == 0 || violation.size() != scaled.size() || raw.size() != scaled.size()) return -1;
  // True when member x beats member y.
  auto beats = [&](int x, int y) {
    const auto i = static_cast<std::size_t>(x);
    const auto j = static_cast<std::size_t>(y);
    const bool xCounted = fitnessCounted(raw[i]);
    if (xCounted != fitnessCounted(raw[j])) return xCounted;
    if (violation[i] != violation[j]) return violation[i] < violation[j];
    return scaled[i] > scaled[j];
  };
  int best = randomInt(0, n - 1);
  for (int k = 1; k < tournamentSize; ++k) {
    const int challenger = randomInt(0, n - 1);
    if (beats(challenger, best)) best = challenger;
  }
  return best;
}

void prepareUniversal(SelectionList& list, std::span<const double> scaled) {
  list.kind = SelectionList::Kind::kUniversal;
  list.scaled.assign(scaled.begin(), scaled.end());
  list.scalemult = 0.0;
  buildUniversal(list);
}

double rankingExpectedCount(int rank, int n, double scalemult) {
  if (n <= 1) return 1.0;
  return scalemult -
         static_cast<double>(rank) * (2.0 * scalemult - 2.0) / static_cast<double>(n - 1);
}

void prepareRanking(SelectionList& list, std::span<const double> scaled, double scalemult,
                    FileHandle* log) {
  if (!(scalemult > 1.0)) {
    if (log) {
      writeText(log, formatText("\n scalemult = %f \n", scalemult));
      writeText(log,
                "\n***ERROR:  Window scaling and rank-based selection are incompatible.\n"
                "Parameter scalemult must be > 1.0 to use rank-based selection.\n"
                "Turn off window scaling and set 1.0 < scalemult <=2.0\n"
                "or use a different form of selection\n\n");
      flushFile(log);
    }
    fatalError("Can't use window scaling with rank-based selection.  Turn off one or the other.");
  }
  list.kind = SelectionList::Kind::kRanking;
  list.scaled.assign(scaled.begin(), scaled.end());
  list.scalemult = scalemult;
  buildRanking(list);
}

int selectFromList(SelectionList& list) {
  if (list.kind == SelectionList::Kind::kNone) return -1;
  if (list.untaken <= 0) rebuild(list);
  if (list.untaken <= 0) return -1;
  const int j = randomInt(0, list.untaken - 1);
  const int picked = list.entries[static_cast<std::size_t>(j)];
  list.entries[static_cast<std::size_t>(j)] =
      list.entries[static_cast<std::size_t>(list.untaken - 1)];
  list.entries[static_cast<std::size_t>(list.untaken - 1)] = picked;
  --list.untaken;
  return picked;
}

// ---------------------------------------------------------------------------------------
// Crossover

int crossover(int type, const std::vector<int>& p1, const std::vector<int>& p2, double pcross,
              std::vector<int>& c1, std::vector<int>& c2) {
  if (type < 0 || type > kLastCrossoverType) {
    writeMessage("outptr", "error", "crossover type error.");
    fatalError("crossover type error.");
  }
  if (!flip(static_cast<float>(pcross))) {
    copyParents(p1, p2, c1, c2);
    return 0;
  }
  const std::size_t n = std::min(p1.size(), p2.size());
  std::vector<int> differing;
  for (std::size_t i = 0; i < n; ++i) {
    if (p1[i] != p2[i]) differing.push_back(static_cast<int>(i));
  }
  if (differing.size() < 2 || p1.size() != p2.size()) {
    copyParents(p1, p2, c1, c2);
    return 0;
  }

  c1 = p1;
  c2 = p2;
  switch (type) {
    case 0: {  // oneptx: a cut at a differing position other than field 0
      const int skip = differing.front() == 0 ? 1 : 0;
      const int candidates = static_cast<int>(differing.size()) - skip;
      const int cut = differing[static_cast<std::size_t>(skip + randomInt(0, candidates - 1))];
      for (std::size_t i = static_cast<std::size_t>(cut); i < n; ++i) {
        c1[i] = p2[i];
        c2[i] = p1[i];
      }
      break;
    }
    case 2: {  // uniformx
      for (std::size_t i = 0; i < n; ++i) {
        if (nextUniform() > kUniformKeepLimit) {
          c1[i] = p2[i];
          c2[i] = p1[i];
        }
      }
      break;
    }
    default: {  // 1 twoptx; 3 adaptivx and 4 the user crossover cross over as twoptx until
                // the hybrid search provides them
      int a = 0;
      int b = 0;
      drawTwoPoints(differing, a, b);
      for (int i = a; i < b; ++i) {
        c1[static_cast<std::size_t>(i)] = p2[static_cast<std::size_t>(i)];
        c2[static_cast<std::size_t>(i)] = p1[static_cast<std::size_t>(i)];
      }
      break;
    }
  }
  return 1;
}

// ---------------------------------------------------------------------------------------
// Mutation

int mutateNormalField(std::vector<int>& chromosome, std::span<const int> fieldSizes,
                      double pmutation) {
  if (chromosome.empty()) return 0;
  if (!flip(static_cast<float>(pmutation))) return 0;
  return normalFieldEvent(chromosome, fieldSizes);
}

int mutateMultiField(std::vector<int>& chromosome, std::span<const int> fieldSizes,
                     double pMultimut, double avgMutWidth,
                     std::span<const std::vector<int>*> population, FileHandle* log) {
  if (!(avgMutWidth > 0.0)) {
    if (log) {
      writeText(log, "\n*** Illegal value for avg_mut_width for multi-field mutation ***\n");
      flushFile(log);
    }
    fatalError("Illegal value for avg_mut_width for multi-field mutation");
  }
  const int n = static_cast<int>(chromosome.size());
  if (n == 0) return 0;
  if (!flip(static_cast<float>(pMultimut))) return 0;
  if (!flip(kBlockProbability)) return normalFieldEvent(chromosome, fieldSizes);

  const double limit = n == 1 ? kOneFieldWidthLimit : 1.0 - 1.0 / avgMutWidth;
  int width = 1;
  while (width < n && static_cast<double>(nextUniform()) <= limit) ++width;
  const int start = randomInt(0, n - 1);

  if (flip(kResetBlockProbability)) {
    for (int k = 0; k < width; ++k) {
      const std::size_t field = static_cast<std::size_t>((start + k) % n);
      chromosome[field] = randomInt(0, effectiveSize(fieldSizes[field]) - 1);
    }
    return 1;
  }

  const int members = static_cast<int>(population.size());
  const std::vector<int>* drawn[kSpreadMembers] = {};
  if (members > 0) {
    for (auto& member : drawn) {
      member = population[static_cast<std::size_t>(randomInt(0, members - 1))];
    }
  }
  for (int k = 0; k < width; ++k) {
    const std::size_t field = static_cast<std::size_t>((start + k) % n);
    double sigma = 0.0;
    if (members > 0) {
      double mean = 0.0;
      for (const auto* member : drawn) mean += static_cast<double>((*member)[field]);
      mean /= kSpreadMembers;
      double squares = 0.0;
      for (const auto* member : drawn) {
        const double deviation = static_cast<double>((*member)[field]) - mean;
        squares += deviation * deviation;
      }
      sigma = std::sqrt(squares / kSpreadMembers);
    }
    if (sigma == 0.0) sigma = kZeroSpreadStandIn;
    const double step = std::trunc(sigma / kSpreadDivisor * normalDeviate());
    chromosome[field] = clampToField(static_cast<double>(chromosome[field]) + step,
                                     effectiveSize(fieldSizes[field]));
  }
  return 1;
}

}  // namespace karvo::search
