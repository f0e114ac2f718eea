// Readers of the single records of "Definitions.in" that belong to the study's design space
// (variables and parameters, discrete sets, curves, distributions, loops, relationships and
// options). Used by readDefinitions and by the representation reader (variables only).
// Every reader ends the run through fatalError on a definition error.
#pragma once

#include <string>

namespace karvo {

struct Record;

namespace defs {

// A `*DEFINE_VARIABLE` record. Answers the index of the new variable, or -1 when the record
// is skipped (a type word that is no kind, outside representation files). With
// `fromRepresentation` only Continuous and Discrete are accepted.
int readVariableRecord(const Record& record, const std::string& fileLabel,
                       bool fromRepresentation);

void readSetRecord(const Record& record, const std::string& fileLabel);
void readCurveRecord(const Record& record, const std::string& fileLabel);
void readDistributionRecord(const Record& record, const std::string& fileLabel);
void readLoopRecord(const Record& record, const std::string& fileLabel);
void readRelationshipRecord(const Record& record, const std::string& fileLabel);
void readOptionRecord(const Record& record, const std::string& fileLabel);

// Links the `distribution` of dependent variables and fixed parameters to the distribution
// table once the file is read; an undefined name ends the run.
void resolveVariableDistributions();

}  // namespace defs
}  // namespace karvo
