// sombrel-cli: the engine of Sombrel Varno driven from the command line. Operators run in the
// order given, like an image tool's command line.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/cli.h"

using namespace sv::cli;

namespace {

struct Step {
    const Operator* op;
    std::string value;
    Modifiers modifiers;
};

std::vector<Operator> operatorTable() {
    std::vector<Operator> table;
    table.push_back({"--quiet", "", {}, "no progress line on stderr", [](CliContext&, auto&, auto&) {}});
    table.push_back({"--help", "", {}, "this text", [](CliContext&, auto&, auto&) {}});
    registerStackOperators(table);
    registerToneOperators(table);
    registerFilterOperators(table);
    registerFileOperators(table);
    return table;
}

void printHelp(const std::vector<Operator>& table) {
    std::printf("Usage: sombrel-cli [--tiff-gamma yes|no] [--quiet] --open FILE [--shift DX,DY] ... [operators]\n"
                "Operators run in the order given; positions are those of the window's controls.\n\n");
    for (const Operator& op : table) {
        std::string head = op.name + (op.valueName.empty() ? "" : " " + op.valueName);
        std::printf("  %-44s %s\n", head.c_str(), op.help.c_str());
    }
    std::printf("\nExit status: 0 done, 1 bad usage, 2 an input that cannot be used, 3 an output that cannot be written.\n");
}

const Operator* find(const std::vector<Operator>& table, const std::string& name) {
    for (const Operator& op : table) {
        if (op.name == name) return &op;
    }
    return nullptr;
}

std::vector<Step> parse(const std::vector<Operator>& table, const std::vector<std::string>& args) {
    std::vector<Step> steps;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (!steps.empty()) {
            const auto& allowed = steps.back().op->modifiers;
            if (std::find(allowed.begin(), allowed.end(), word) != allowed.end()) {
                if (i + 1 >= args.size()) throw CliError(kUsage, word + " needs a value");
                steps.back().modifiers[word] = args[++i];
                continue;
            }
        }
        const Operator* op = find(table, word);
        if (!op) {
            bool isModifier = false;
            for (const Operator& o : table) {
                isModifier = isModifier || std::find(o.modifiers.begin(), o.modifiers.end(), word) != o.modifiers.end();
            }
            if (isModifier) throw CliError(kUsage, word + " must follow the operator it belongs to");
            throw CliError(kUsage, "unknown option '" + word + "' (see --help)");
        }
        Step step{op, {}, {}};
        if (!op->valueName.empty()) {
            if (i + 1 >= args.size()) throw CliError(kUsage, word + " needs " + op->valueName);
            step.value = args[++i];
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::vector<Operator> table = operatorTable();
    bool quiet = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            printHelp(table);
            return kOk;
        }
        quiet = quiet || a == "--quiet";
    }
    try {
        if (args.empty()) throw CliError(kUsage, "nothing to do (see --help)");
        const std::vector<Step> steps = parse(table, args);
        if (std::all_of(steps.begin(), steps.end(), [](const Step& s) { return s.op->name == "--quiet"; })) {
            throw CliError(kUsage, "nothing to do (see --help)");
        }
        CliContext context(quiet);
        for (const Step& step : steps) {
            context.progress.setLabel(step.op->name);
            step.op->run(context, step.value, step.modifiers);
        }
        return kOk;
    } catch (const CliError& e) {
        std::fprintf(stderr, "sombrel-cli: %s\n", e.what());
        return e.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "sombrel-cli: Not enough memory!\n");
        return kBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sombrel-cli: %s\n", e.what());
        return kBadInput;
    }
}
