// Helpers shared by the readers of "Definitions.in" records (variables, sets, curves,
// distributions, loops, relationships, options, print formats, compute resources, conditions
// and responses): whole-record views and small text utilities. Records are tens of lines.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/properties_map.h"
#include "base/text.h"

namespace karvo {

struct Record;

namespace defs {

// The label of "Definitions.in" in definition errors.
inline constexpr const char* kDefinitionsFileLabel = "Definitions.in";

// The record's lines joined with "\n" (no newline after the last).
std::string joinRecordLines(const Record& record);

// The property lines of a record as (name, value) pairs in file order: the name is the text
// before the first colon with blanks trimmed, the value the text after the colon with one
// blank skipped (as getProperty reads it). Blank lines are skipped. A line whose name is
// empty, and (unless `allowBareLines`) a line without a colon, ends the run with the reading
// error of `fileLabel` near that line. With `allowBareLines`, lines without a colon (the
// entries of list-valued properties) are left out.
std::vector<std::pair<std::string, std::string>> recordPropertyPairs(const Record& record,
                                                                     const std::string& fileLabel,
                                                                     bool allowBareLines);

// The record's properties as a map for outside components: the first value of each name.
PropertiesMap recordPropertiesMap(const Record& record, const std::string& fileLabel);

// True when the whole text (blanks around allowed) is a finite number.
bool isNumberText(const std::string& text);




}  // namespace defs
}  // namespace karvo
