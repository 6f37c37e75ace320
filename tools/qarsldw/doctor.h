// `qarsldw doctor`: checks an installation in order, each check ok / warning / failure with its fix.
#pragma once

#include "cli.h"
#include "report.h"

namespace qarsldw {

int RunDoctor(const Options& options, Reporter& report);

}  // namespace qarsldw
