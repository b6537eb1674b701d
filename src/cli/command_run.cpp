#include "cli/command_run.h"

#include <algorithm>
#include <exception>
#include <new>

namespace sv::cli {

namespace {

const Operator* find(const std::vector<Operator>& table, const std::string& name) {
    for (const Operator& op : table) {
        if (op.name == name) return &op;
    }
    return nullptr;
}

void runSteps(const std::vector<Step>& steps, bool quiet) {
    CliContext context(quiet);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        context.progress.setLabel(step.op->name);
        try {
            if (step.op->name == "--open") {
                // A run of --open files goes together, so that decoding the next overlaps
                // adding the current.
                std::vector<std::pair<std::string, Modifiers>> files;
                for (; i < steps.size() && steps[i].op->name == "--open"; ++i) {
                    files.emplace_back(steps[i].value, steps[i].modifiers);
                }
                --i;
                openFiles(context, files);
            } else {
                step.op->run(context, step.value, step.modifiers);
            }
        } catch (const std::bad_alloc&) {
            throw CliError(kBadInput, notEnoughMemoryLine(context.project));
        }
    }
}

}  // namespace

std::vector<Step> parseSteps(const std::vector<Operator>& table, const std::vector<std::string>& args) {
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
        if (op->optionalValue) {
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) step.value = args[++i];
        } else if (!op->valueName.empty()) {
            if (i + 1 >= args.size()) throw CliError(kUsage, word + " needs " + op->valueName);
            step.value = args[++i];
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

RunOutcome runCommandLine(const std::vector<Operator>& table, const std::vector<std::string>& args, bool quiet) {
    try {
        if (args.empty()) throw CliError(kUsage, "nothing to do (see --help)");
        const std::vector<Step> steps = parseSteps(table, args);
        if (std::all_of(steps.begin(), steps.end(), [](const Step& s) { return s.op->name == "--quiet"; })) {
            throw CliError(kUsage, "nothing to do (see --help)");
        }
        runSteps(steps, quiet);
        return {};
    } catch (const CliError& e) {
        return {e.status, e.what()};
    } catch (const std::bad_alloc&) {
        return {kBadInput, "Not enough memory!"};
    } catch (const std::exception& e) {
        return {kBadInput, e.what()};
    }
}

}  // namespace sv::cli
