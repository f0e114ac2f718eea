// Words of the status codes of designs, analyses and responses.
#include "base/design.h"

namespace karvo {

const char* statusWord(int status) {
  switch (status) {
    case kStatusError: return "ERROR";
    case kStatusSuccess: return "SUCCESS";
    case kStatusFeasible: return "FEASIBLE";
    case kStatusInfeasible: return "INFEASIBLE";
    case kStatusNotEvaluated: return "NOT EVALUATED";
    case kStatusSkipped: return "SKIPPED";
    default: return "UNKNOWN";
  }
}

}  // namespace karvo
