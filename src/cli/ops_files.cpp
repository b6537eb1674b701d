#include "cli/cli.h"

namespace sv::cli {

// --save and its format options join here with the writers.
void registerFileOperators(std::vector<Operator>&) {}

}  // namespace sv::cli
