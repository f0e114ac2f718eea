#include "support/variable_slots.h"

#include <string>
#include <utility>

namespace karvo::testing {

VariableSlot continuous(int id, double lo, double hi, int resolution, int mode) {
  VariableSlot slot;
  slot.id = id;
  slot.name = "x" + std::to_string(id);
  slot.iden = kIdenContinuous;
  slot.kind = kSlotContinuous;
  slot.resolutionMode = mode;
  slot.resolution = resolution;
  slot.lower = lo;
  slot.upper = hi;
  slot.fixedValue = lo;
  slot.realValue = lo;
  return slot;
}

VariableSlot discrete(int id, int items, int baseline) {
  VariableSlot slot;
  slot.id = id;
  slot.name = "d" + std::to_string(id);
  slot.iden = kIdenDiscrete;
  slot.kind = kSlotDiscrete;
  slot.resolution = items;
  slot.lower = 0.0;
  slot.upper = items;
  slot.fixedValue = baseline;
  return slot;
}

Representation& addRepresentation(int number, std::vector<VariableSlot> slots) {
  Representation table;
  table.number = number;
  table.num_dvar = static_cast<int>(slots.size());
  table.slots = std::move(slots);
  user_set_field_sizes(table);
  representations.push_back(std::move(table));
  return *findRepresentation(number);
}

}  // namespace karvo::testing
