// The line that a definition error of the study files ends with, saying where it is.
#pragma once

#include <string>

namespace karvo::testing {

// "\nThe error is in property "<property>" of the <label> "<object>" (record on line <line>
// of file "<file>")."
inline std::string errorPlace(const std::string& property, const std::string& label,
                              const std::string& object, int line = 1,
                              const std::string& file = "Definitions.in") {
  return "\nThe error is in property \"" + property + "\" of the " + label + " \"" + object +
         "\" (record on line " + std::to_string(line) + " of file \"" + file + "\").";
}

}  // namespace karvo::testing
