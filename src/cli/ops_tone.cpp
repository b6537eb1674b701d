#include "cli/cli.h"

namespace sv::cli {

// The tone operators (--gamma, --saturation, ..., --process) join here with the render.
void registerToneOperators(std::vector<Operator>&) {}

}  // namespace sv::cli
