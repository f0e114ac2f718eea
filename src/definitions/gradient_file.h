// The gradients file "KARVOGrads.info" that an analysis may leave in its design folder, so
// that the local gradient searches take the gradients from it instead of finite
// differences. Definition-data format (see reader.h), one record per response:
//
//   *RESPONSE_GRADIENT_INFO
//   responseName: stress             a response of the study
//   gradInfo: 0.5, -1.25, 3e-2       d(response)/d(variable), one value per active
//                                    continuous variable of the representation, in its
//                                    order and in the variables' own units; separated by
//                                    commas and/or blanks (or the list form "gradInfo:3"
//                                    with one value per line)
//   *END
//
// Read once per design whose gradients are asked for; a few records.
#pragma once

#include <string>
#include <vector>

namespace karvo {

inline constexpr const char* kGradientFileName = "KARVOGrads.info";

struct ResponseGradient {
  std::string response;          // `responseName`
  std::vector<double> values;    // `gradInfo`, as read (finite numbers)
};

// Reads the gradients file at `path`. Answers false when it cannot be opened (nothing read);
// otherwise true, with every record that has both properties. A `gradInfo` value that is not
// a list of finite numbers leaves that record out and names its response in `unreadable`
// (appended).
bool readGradientFile(const std::string& path, std::vector<ResponseGradient>& gradients,
                      std::vector<std::string>& unreadable);

}  // namespace karvo
