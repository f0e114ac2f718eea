// The method table of the run: one entry per method code (0..14, in code order) with its
// word, its family, its settings reader and completion step (definitions/), and the runner
// of one turn of an agent (search/, doe/, reliability/). It lives here because the run
// driver is the one layer that sees every runner; the study reader gets it handed in
// (readStudyFile), and so does the completion of the settings (completeMethodSettings).
#pragma once

#include <span>

#include "definitions/method_settings.h"

namespace karvo {

std::span<const MethodEntry> methodTable();

}  // namespace karvo
