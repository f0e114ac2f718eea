// The karvo executable: hands the command line to the run driver.
#include "driver/driver.h"

int main(int argc, char** argv) { return karvo::runSolver(argc, argv); }
