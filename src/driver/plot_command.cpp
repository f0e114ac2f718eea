// karvo plot: placeholder while the command is written.
#include "driver/study_tools.h"

namespace karvo {

int runPlotCommand(int, char**) { return 1; }

}  // namespace karvo
