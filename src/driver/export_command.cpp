// karvo export: placeholder while the command is written.
#include <cstdio>

#include "definitions/study.h"
#include "driver/study_tools.h"

namespace karvo {

int runExportCommand(int argc, char** argv) {
  if (argc < 3) return 1;
  readStudyForTool(argv[2]);
  std::printf("read %zu agents\n", agents.size());
  return 0;
}

}  // namespace karvo
