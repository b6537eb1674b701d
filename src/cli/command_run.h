#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace sv::cli {

// One operator of a command line with its value and the modifiers that followed it.
struct Step {
    const Operator* op;
    std::string value;
    Modifiers modifiers;
};

// Reads a command line (without the program name) into its steps; CliError(kUsage) names the
// first word that does not fit.
std::vector<Step> parseSteps(const std::vector<Operator>& table, const std::vector<std::string>& args);

// How one command line ended: its exit status, and for a failure the line the program prints
// after "sombrel-cli: ".
struct RunOutcome {
    int status = kOk;
    std::string message;
};

// Runs one command line on a CliContext of its own, from parsing to the last operator, and
// returns instead of exiting, so that a batch can run many in one process. Throws nothing.
RunOutcome runCommandLine(const std::vector<Operator>& table, const std::vector<std::string>& args, bool quiet);

}  // namespace sv::cli
