// Design-variable slots and representations made on the spot, for the tests of what codes,
// stores or relates designs.
#pragma once

#include <vector>

#include "definitions/representation.h"

namespace karvo::testing {

// A continuous slot "x<id>" of `resolution` values over [lo, hi], at its lower bound.
VariableSlot continuous(int id, double lo, double hi, int resolution,
                        int mode = kResolutionValues);

// A discrete slot "d<id>" of `items` choices, at choice `baseline`.
VariableSlot discrete(int id, int items, int baseline = 0);

// Adds representation `number` of `slots` to the run-wide table, with its field sizes.
Representation& addRepresentation(int number, std::vector<VariableSlot> slots);

}  // namespace karvo::testing
