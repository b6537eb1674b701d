#include "cli/cli.h"

namespace sv::cli {

// The filter and colour-balance operators join here with their engine functions.
void registerFilterOperators(std::vector<Operator>&) {}

}  // namespace sv::cli
