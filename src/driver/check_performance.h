// The response-extraction test (`checkPerformance <id>`): the analyses of one performance
// definition run once in the working directory and the responses they give are listed in
// "checkPerformance.out", so that a user can try the extraction definitions of a study
// without running it.
#pragma once

#include <string>

namespace karvo {

struct ResponseValue;

// Runs the test of performance definition `performanceId` on the study tables already read
// (Assembly.in, definitions, representations, processes, performances) and writes its
// listing to "outptr":
//   "\n\t********* OUTPUT FOR RESPONSE EXTRACTION TEST *********\n\n"
//   for each analysis of the process that gives a response the performance needs (its own
//   study responses and what their calculations read), in process order:
//     the analysis runs in the working directory; when it fails, the error "Error in running
//     the analysis \"<name>\" to evaluate responses associated with it.";
//     then each of its extracted and calculated responses: "\n <name> = <value>" or
//     "\n <name> = ERROR" when it has no data, and "\n" that ends the last of them
//   "\n\n\t****************** END OF OUTPUT **********************\n" and
//   "\n\tExiting normally.\n".
// Variables and parameters take their baseline values (tags of the command, formulas), and
// the dependent variables are computed from them.
// The process is the one of the first agent (in Assembly.in order) whose performance number
// is `performanceId`. An id no agent uses, or an agent without a process, ends the run
// through fatalError.
void checkPerformanceResponses(int performanceId);

// How a response's value is listed: numbers "%.12g", texts as they are, several values
// separated by ", "; "ERROR" when the response has no data.
std::string checkPerformanceValueText(const ResponseValue& value);

}  // namespace karvo
