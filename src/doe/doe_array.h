// The array of a design of experiments and the one signature of its builders.
//
// An array has one row per run and one column per factor, followed by any generated
// columns of a fractional factorial. Every cell is a 0-based level index of its column's
// factor. Interaction columns are not stored: an interaction is named by its word (the
// letters of its factors, "AB", "ACD") and its value in a run follows from the factor columns
// by the +-1 product rule (doeWordSign), so that a full factorial of 13 factors costs
// 2^13 x 13 cells, not 2^13 x 8191.
//
// Factor names: factor i (0-based) is the letter 'A' + (i mod 25), where the letters from
// 'I' on are shifted by one so that 'I' is never used (A..H, J..Z), followed by (i div 25)
// apostrophes: A .. Z, A', B', ...
//
// A builder (src/doe/<array>.cpp, one array kind per file, registered under its DoeKind in
// doe_turn.cpp) has the DoeArrayBuilder shape:
//
//   bool build(const DoeRequest& request, DoeArray& array, std::string& error);
//
//   Inputs:  the request (below); the run's random generator (base/random.h) for the kinds
//            that draw.
//   Outputs: true, with `array` filled: kind, factors (== request.factors), runs, columns,
//            factorLevels (one per factor: the number of levels the array uses for it),
//            columnNames (one per column), cells (runs x columns, row-major, each cell below
//            its column's level count), and factorOrder (see below); `error` untouched.
//   Failure: false, with `array` unspecified and `error` the whole message that the caller
//            hands to fatalError (the builder never ends the run itself and keeps no state).
//
// factorOrder[j] is the request's factor that array factor j stands for. It is the identity
// for every kind except the orthogonal arrays with both 2-level and 3-level columns, which
// move the 2-level factors to the front (their level lists and slots move with them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace karvo::doe {

// What a builder is asked for.
struct DoeRequest {
  int kind = -1;                  // DoeKind
  int agentNumber = 0;            // names the agent in messages
  int factors = 0;                // k, the factors of the agent, >= 0
  int runs = 0;                   // n for the kinds that take a run count (numEvals):
                                  // Plackett-Burman, Latin hypercubes, D-optimal, Hammersley
  int generators = 0;             // p of a fractional factorial
  int numLevels = 0;              // `numLevels` as read; 0 when not given
  std::string taguchiArray;       // orthogonal array name ("L4" .. "L81")
  std::vector<int> factorLevelLists;  // entries in each factor's level list (k values):
                                      // orthogonal arrays with 2- and 3-level columns put
                                      // the factors with 2 entries on the 2-level columns
  std::string folder;             // study folder, where the file array "Doe_input.in" lies
  double timeLimitSeconds = 60.0; // optimised Latin hypercube
  bool announceLatin = true;      // the Latin hypercube writes its "Generating ..." note
  std::vector<double> existing;   // existing designs: their factor values, k per design,
                                  // design after design
  std::vector<double> factorLow;  // existing designs: the first and second level of each
  std::vector<double> factorHigh; // factor (the range the values are placed in)
};

struct DoeArray {
  int kind = -1;                         // DoeKind
  int factors = 0;                       // k
  int runs = 0;                          // n
  int columns = 0;                       // c >= k
  std::vector<int> factorLevels;         // levels of each factor column (k values)
  std::vector<int> factorOrder;          // request factor of each array factor (k values)
  std::vector<std::string> columnNames;  // c names: factor letters, then generator words
  std::vector<std::int32_t> cells;       // runs x columns level indices, row-major

  int level(int run, int column) const {
    return cells[static_cast<std::size_t>(run) * static_cast<std::size_t>(columns) +
                 static_cast<std::size_t>(column)];
  }
  std::int32_t& level(int run, int column) {
    return cells[static_cast<std::size_t>(run) * static_cast<std::size_t>(columns) +
                 static_cast<std::size_t>(column)];
  }
};

using DoeArrayBuilder = bool (*)(const DoeRequest& request, DoeArray& array, std::string& error);

}  // namespace karvo::doe
