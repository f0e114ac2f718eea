// The karvo executable: hands the command line to the run driver.
#include "driver/driver.h"

// Leak checking under the sanitizers: libpython 3.11 keeps a few blocks of its built-in types
// past Py_FinalizeEx; the solver's own allocations are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3\n"; }
// Without the count of suppressed leaks on standard error, which the user's output of a run
// does not hold.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

int main(int argc, char** argv) { return karvo::runSolver(argc, argv); }
