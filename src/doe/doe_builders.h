// The array builders, one per file under src/doe/, each of the DoeArrayBuilder shape of
// doe_array.h. Registered by DoeKind in doe_turn.cpp; called by the runner of a design of
// experiments and for the control and noise arrays of a robust parameter design.
//
// Every builder needs at least two factors; the caller checks that first (with the message
// that names the kind) and a builder refuses fewer with an error of its own as well.
#pragma once

#include <string>

#include "doe/doe_array.h"

namespace karvo::doe {

// Two-level full factorial: 2^k runs in standard order (column j alternates every 2^j runs).
bool buildTwoLevelFull(const DoeRequest& request, DoeArray& array, std::string& error);
// Two-level fractional factorial 2^(k-p) from the generator table, 3 <= k <= 11.
bool buildTwoLevelFractional(const DoeRequest& request, DoeArray& array, std::string& error);
// Plackett-Burman: n in {12, 20, 24, 36, 40, 48, 64} runs, cyclic generating row.
bool buildPlackettBurman(const DoeRequest& request, DoeArray& array, std::string& error);
// Central composite: 2^k factorial runs at levels 1/3, 2k axial runs at 0/4, the centre.
bool buildCentralComposite(const DoeRequest& request, DoeArray& array, std::string& error);
// Latin hypercube with 20 strata levels per run and 20 trials (largest minimum city-block
// distance wins, the earlier trial on a tie).
bool buildLatinHypercube(const DoeRequest& request, DoeArray& array, std::string& error);
// The user's array of "Doe_input.in" in the study folder.
bool buildFileArray(const DoeRequest& request, DoeArray& array, std::string& error);
// D-optimal by coordinate exchange over the candidates -1, 0, +1.
bool buildDOptimal(const DoeRequest& request, DoeArray& array, std::string& error);
// Orthogonal (Taguchi) arrays L4 .. L81 by name.
bool buildOrthogonalArray(const DoeRequest& request, DoeArray& array, std::string& error);
// Three-level full factorial: 3^k runs in standard order.
bool buildThreeLevelFull(const DoeRequest& request, DoeArray& array, std::string& error);
// Three-level fractional factorial 3^(k-p) from the generator table, 3 <= k <= 13.
bool buildThreeLevelFractional(const DoeRequest& request, DoeArray& array, std::string& error);
// Optimised Latin hypercube (n levels per factor) within the time limit.
bool buildOptimizedLatinHypercube(const DoeRequest& request, DoeArray& array,
                                  std::string& error);
// Hammersley point set (n levels per factor).
bool buildHammersley(const DoeRequest& request, DoeArray& array, std::string& error);
// Existing designs (request.existing): each value on a grid of max(designs, 2) levels
// between the factor's first and second level.
bool buildExistingDesigns(const DoeRequest& request, DoeArray& array, std::string& error);

}  // namespace karvo::doe
