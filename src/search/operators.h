// The genetic operators: selection over the scaled fitness of a population, crossover of two
// parent chromosomes and mutation of one chromosome. Free functions over plain values (a
// chromosome is the vector of a design's field values, each in [0, field size - 1]); the
// generation loop owns the population and the counters and calls these once per pick, pair
// or member.
//
// Every operator draws from the process-wide generator (base/random.h) in the fixed order
// written at each function, so that a run is repeated exactly from its seed. Every operator
// keeps every field within [0, field size - 1] when its inputs are.
//
// Type codes, chosen once per agent:
//
//   code  selection             crossover                     mutation
//   0     tournament            one point (oneptx)            normal field mutation
//   1     stochastic universal  two point (twoptx)            multi-field mutation
//   2     linear ranking        uniform (uniformx)
//   3                           adaptive (adaptivx)
//   4                           user crossover
//
// Selection with a choice list (codes 1 and 2):
//
//   prepareUniversal / prepareRanking        at the start of a generation: the list of n
//        |                                   entries, all untaken
//        v
//   selectFromList  --(untaken > 0)-->  a random untaken entry, swapped out of reach
//        |
//        +--(untaken == 0)-->  the list rebuilt from the kind and inputs kept in the
//                              SelectionList (new draws), then an entry taken as above
#pragma once

#include <span>
#include <vector>

namespace karvo {

class StateArchive;
struct FileHandle;
}

namespace karvo::search {

// ---------------------------------------------------------------------------------------
// Selection. `scaled` holds the scaled fitness of the n members of the population (larger
// is better); an answer is a member index in [0, n - 1], or -1 when n is 0.

// Tournament selection: a first index drawn uniformly, then tournamentSize - 1 more; a later
// draw replaces the one kept only when its scaled fitness is strictly higher. Works with
// negative fitness; a size above n still answers a member (indices are drawn with
// replacement); a size below 1 counts as 1. Draws: tournamentSize randomInt(0, n - 1), none
// when n is 1.
int selectTournament(std::span<const double> scaled, int tournamentSize);

// Selection while the feasibility watch of a study with constraints is on (search/fitness.h):
// a tournament as selectTournament, where a member beats another when it was scored and the
// other failed (raw fitness at the failure mark), else when its constraint violation is
// smaller, else when its scaled fitness is higher. `violation`, `raw` and `scaled` have one
// entry per member. Draws as selectTournament.
int selectLeastViolation(std::span<const double> violation, std::span<const double> raw,
                         std::span<const double> scaled, int tournamentSize);

// The choice list shared by stochastic universal and linear ranking selection.
struct SelectionList {
  enum class Kind { kNone, kUniversal, kRanking };

  std::vector<int> entries;    // member indices, n entries; [0, untaken) not yet taken
  int untaken = 0;             // entries still to be taken, 0..n
  Kind kind = Kind::kNone;     // how the list is rebuilt when used up
  std::vector<double> scaled;  // copy of the scaled fitness the list was prepared from
  double scalemult = 0.0;      // ranking: the multiplier s, in (1.0, 2.0]
};

// The list's fields as a checkpoint keeps them (base/state_archive.h).
void keepFields(StateArchive& archive, SelectionList& list);

// Stochastic universal selection, at the start of a generation. With a the average scaled
// fitness: a <= 0 (all zero; a negative average cannot arise from the scaling) gives the
// list 0..n-1 without drawing. Otherwise one draw r in [0, 1); the members are walked
// accumulating f_i / a, and member i is appended each time the sum exceeds r, r growing by 1
// each time, until n entries. Should rounding leave the list short of n entries, it is
// filled with the last member that has a positive expected count.
void prepareUniversal(SelectionList& list, std::span<const double> scaled);

// Expected count n * p_r of the member at rank r (rank 0: highest scaled fitness) among n
// under linear ranking with multiplier s: s - r * (2s - 2) / (n - 1); 1 for n = 1. Ranks
// from best to worst get s down to 2 - s, n in all; with s = 2 the worst gets exactly 0.
double rankingExpectedCount(int rank, int n, double scalemult);

// Linear ranking selection, at the start of a generation: the members sorted by scaled
// fitness, highest first (equal values keep index order), and the list built as in
// prepareUniversal from the expected counts rankingExpectedCount, each entry being the
// member at that rank (one draw); an average scaled fitness of 0 gives 0..n-1 without
// drawing. scalemult must exceed 1.0 (window scaling leaves it at 1.0); otherwise
// "\n scalemult = %f \n" and the lines explaining that window scaling and rank-based
// selection are incompatible go to `log` (the genetic log; null: not written) and the run
// ends through fatalError with "Can't use window scaling with rank-based selection.  Turn
// off one or the other.". The check comes before anything is changed or drawn.
void prepareRanking(SelectionList& list, std::span<const double> scaled, double scalemult,
                    FileHandle* log);

// One pick from a prepared list: when every entry has been taken the list is first rebuilt
// the way it was prepared, from the same scaled fitness (the draws of prepareUniversal or
// prepareRanking); then an untaken index j = randomInt(0, untaken - 1) is drawn (no draw
// when one is left), entry j is answered and the last untaken entry moves into its slot.
// Answers -1 for a list never prepared or prepared from an empty population.
int selectFromList(SelectionList& list);

// ---------------------------------------------------------------------------------------
// Crossover: two parents of the same length give two children (resized to that length;
// parents of different lengths give copies). Answers 1 when a crossover was performed, 0
// when the children are copies of the parents.
//
// Draws, in this order:
//   1. flip(pcross); 0 gives copies and nothing more is drawn.
//   2. the positions where the parents differ are listed; fewer than 2 give copies without
//      a further draw.
//   3. by type:
//      0 oneptx    the cut: randomInt over the differing positions other than field 0
//                  (none drawn when there is one). Child 1 takes the fields before the cut
//                  from parent 1 and the rest from parent 2; child 2 the opposite.
//      1 twoptx    i = randomInt(0, m - 1), then j = randomInt(0, m - 2), moved up by one
//                  when j >= i, over the m differing positions; a < b are those two
//                  positions. Child 1 takes [a, b) from parent 2 and the rest from parent
//                  1; child 2 the opposite.
//      2 uniformx  one draw r per field, first to last: r <= 0.5 gives child 1 parent 1's
//                  value and child 2 parent 2's, otherwise the reverse.
//      3, 4        not crossed here: the generation loop uses the adaptive crossover
//                  (search/tolmar_operators.h) for 3, and the study reader refuses 4; both
//                  cross over as twoptx when called here.
// A type outside 0..4 writes "crossover type error." to the message file and ends the run
// through fatalError with that text, before anything is drawn.
int crossover(int type, const std::vector<int>& p1, const std::vector<int>& p2, double pcross,
              std::vector<int>& c1, std::vector<int>& c2);

// ---------------------------------------------------------------------------------------
// Mutation. `fieldSizes` holds the field size N >= 1 of each field of the chromosome (same
// length); a field of size 1 can only hold 0. Both operators answer the number of mutations
// made, as the run's mutation counter counts them.

// Normal field mutation (code 0) of one member: the member is mutated with probability
// `pmutation` (one flip, always drawn unless the chromosome is empty). Then, with n fields:
//   1. m = 1 plus the number of consecutive draws r > 1 - 1/n, the drawing stopping once
//      m reaches n (one field: m = 1 without a draw).
//   2. m times: a field f = randomInt(0, n - 1) of size N, then a draw r:
//      r <= 0.2   reset: randomInt(0, N - 1) redrawn until it differs from the old value
//                 (size 1: left as it is, nothing drawn);
//      otherwise a second draw r <= 0.2 leaves the field unchanged;
//      otherwise creep: d = N div 10, or when that is below 3, N div 2 for N < 8 and 3
//                 otherwise; for d >= 2, b = floor(log2 d) draws r_j (j = 0..b-1), the step
//                 being the sum of 2^j over r_j <= 1/b, at least 1; for d <= 1 the step is 1
//                 without drawing. Then one draw: r <= 0.5 moves down, otherwise up, and
//                 the value is clamped to [0, N - 1].
// Every one of the m mutations counts, also one that leaves its field as it was. Answers 0
// when the flip fails (or the chromosome is empty), m otherwise.
int mutateNormalField(std::vector<int>& chromosome, std::span<const int> fieldSizes,
                      double pmutation);

// Steps 1 and 2 of normal field mutation without its flip (one mutation event, as the
// hybrid search's single-field mutation kinds use it): answers m. A non-empty chromosome.
int normalFieldEvent(std::vector<int>& chromosome, std::span<const int> fieldSizes);

// Multi-field mutation (code 1) of one member. `population` holds the chromosomes of the
// population (same length as `chromosome`), from which three members are drawn for the
// spread of a normal step. avgMutWidth must be above 0; otherwise
// "\n*** Illegal value for avg_mut_width for multi-field mutation ***\n" goes to `log` (the
// genetic log; null: not written) and the run ends through fatalError with "Illegal value
// for avg_mut_width for multi-field mutation", before anything is drawn.
//
// Draws, in this order (nothing at all for an empty chromosome):
//   1. flip(pMultimut); 0: no mutation, answers 0.
//   2. flip(0.6); 0: one normal field mutation event (steps 1 and 2 of mutateNormalField,
//      without its flip), answering its m.
//   3. the block width w: 1 plus the number of consecutive draws r <= 1 - 1/avgMutWidth
//      (0.5 in place of that limit for a chromosome of one field), the drawing stopping
//      once w reaches n, since a block never covers more than the n fields.
//   4. the first field s = randomInt(0, n - 1); the block is fields s, s + 1, ... (w of
//      them, wrapping round to field 0).
//   5. flip(0.5): 1 resets every field of the block to randomInt(0, N - 1), field by field;
//      0 takes a normal step: three members drawn with randomInt(0, P - 1) (P members),
//      then for each field of the block, in block order, sigma = the standard deviation
//      (divisor 3) of that field over the three (2.0 when it is 0, or when the population is
//      empty and nothing is drawn) and the value moves by truncate(sigma / 5 *
//      normalDeviate()), clamped to [0, N - 1].
// A block counts as one mutation: answers 1.
int mutateMultiField(std::vector<int>& chromosome, std::span<const int> fieldSizes,
                     double pMultimut, double avgMutWidth,
                     std::span<const std::vector<int>*> population, FileHandle* log = nullptr);

}  // namespace karvo::search
