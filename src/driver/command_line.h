// The command line: the four modes, the options of an i= run, and the message file.
#pragma once

namespace karvo {

// The texts the command line writes to standard error, as the solver prints them.
extern const char* const kUsageText;
extern const char* const kExpectingInputText;
// The commands and common options, printed after kExpectingInputText when the first
// argument names no command (none given, --help, -h, or a mistyped one).
extern const char* const kCommandsText;

// Writes "\nKARVO MDO - Version ..." and the copyright line to standard error.
void printVersion();

// Parses an i= command line (argv[1] starts with "i="): fills run.settings and the study
// paths, opens the study file, moves an earlier message file into the backup folder and
// opens the new message file. Errors unwind to main through exitRun or fatalError.
void parseCommandLine(int argc, char** argv);

}  // namespace karvo
