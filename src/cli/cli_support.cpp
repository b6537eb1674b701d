#include <charconv>
#include <cstdio>
#include <unistd.h>

#include "cli/cli.h"
#include "image/memory_budget.h"

namespace sv::cli {

namespace {
std::string memoryFigures(std::uint64_t needed, std::uint64_t available) {
    return " (needed " + gigabytesText(needed, true) + ", available " + gigabytesText(available, false) + ")";
}
}  // namespace

std::string messageLine(const Message& message) {
    std::string line = englishText(message);
    if (message.id == MessageId::NotEnoughMemory && message.bytesNeeded > 0) {
        line += memoryFigures(message.bytesNeeded, message.bytesAvailable);
    }
    return line;
}

std::string notEnoughMemoryLine(const Project& project) {
    std::string line = englishText(Message{MessageId::NotEnoughMemory});
    if (project.buffersAllocated) {
        line += memoryFigures(projectNeed(project.imageWidth, project.imageHeight).bytes, availableMemory().bytes);
    }
    return line;
}

void StderrProgress::setMaximum(std::int64_t maximum) {
    AtomicProgress::setMaximum(maximum);
    lastPercent_.store(-1);
}
void StderrProgress::setPosition(std::int64_t position) {
    AtomicProgress::setPosition(position);
    report();
}
void StderrProgress::advance(std::int64_t steps) {
    AtomicProgress::advance(steps);
    report();
}
void StderrProgress::setTextVisible(bool visible) {
    const bool was = textVisible();
    AtomicProgress::setTextVisible(visible);
    if (!quiet_ && was && !visible && lastPercent_.load() >= 0) std::fputs("\n", stderr);
    if (!visible) lastPercent_.store(-1);
}

void StderrProgress::report() {
    if (quiet_ || !textVisible()) return;
    const std::int64_t maximum = this->maximum();
    if (maximum <= 0) return;
    std::int64_t pos = position();
    if (pos > maximum) pos = maximum;
    int percent = static_cast<int>(pos * 100 / maximum);
    // On a terminal the line is redrawn each percent; in a log, every ten percent is enough.
    static const bool terminal = isatty(fileno(stderr)) != 0;
    if (!terminal) percent -= percent % 10;
    int last = lastPercent_.load();
    // Only the thread that moves the shown percentage prints it.
    while (percent > last) {
        if (lastPercent_.compare_exchange_weak(last, percent)) {
            std::fprintf(stderr, "\r%s %3d%%", label_.c_str(), percent);
            std::fflush(stderr);
            break;
        }
    }
}

void CliContext::ensureProcessed() {
    if (project.exposureCount == 0) throw CliError(kBadInput, "no picture has been opened");
    if (!processedStale) return;
    if (!process) throw CliError(kUsage, "this build cannot render the stack");
    process(*this);
    processedStale = false;
}

std::string countOf(long long count, const std::string& one, const std::string& many) {
    if (count == 0) return "no " + many;
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

int parseInt(const std::string& text, const std::string& what) {
    int value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    if (!text.empty() && text[0] == '+') ++first;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) {
        throw CliError(kUsage, what + ": '" + text + "' is not a whole number");
    }
    return value;
}

int parseIntInRange(const std::string& text, int low, int high, const std::string& what) {
    const int value = parseInt(text, what);
    if (value < low || value > high) {
        throw CliError(kUsage, what + " must lie in " + std::to_string(low) + ".." + std::to_string(high) +
                                   ", not " + text);
    }
    return value;
}

std::vector<std::string> splitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

std::map<std::string, std::string> parseKeyValues(const std::string& text, const std::vector<std::string>& keys,
                                                  const std::string& what) {
    std::map<std::string, std::string> values;
    if (text.empty()) return values;
    for (const std::string& item : splitList(text, ',')) {
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) throw CliError(kUsage, what + ": expected key=value, got '" + item + "'");
        const std::string key = item.substr(0, eq);
        bool known = false;
        for (const std::string& k : keys) known = known || k == key;
        if (!known) throw CliError(kUsage, what + ": unknown setting '" + key + "'");
        values[key] = item.substr(eq + 1);
    }
    return values;
}

std::string parameterSyntax(ParameterList parameters) {
    std::string text;
    for (const ParameterDescriptor& p : parameters) {
        if (!text.empty()) text += ',';
        text.append(p.key);
        text += '=';
        if (p.isChoice()) {
            for (std::size_t i = 0; i < p.choices.size(); ++i) {
                if (i) text += '|';
                text.append(p.choices[i]);
            }
        } else {
            text += "POS";
        }
    }
    return text;
}

std::string parameterRanges(ParameterList parameters) {
    std::string text;
    for (const ParameterDescriptor& p : parameters) {
        if (p.isChoice()) continue;  // the syntax lists its names
        if (!text.empty()) text += ", ";
        text.append(p.key);
        text += ' ' + std::to_string(p.minimum) + ".." + std::to_string(p.maximum);
    }
    return text;
}

ParameterValues parseParameters(ParameterList parameters, const std::string& text, const std::string& what) {
    std::vector<std::string> keys;
    for (const ParameterDescriptor& p : parameters) keys.emplace_back(p.key);
    const std::map<std::string, std::string> given = parseKeyValues(text, keys, what);
    ParameterValues values;
    // In the descriptors' order, so that of two mistakes the first one listed is reported.
    for (const ParameterDescriptor& p : parameters) {
        const std::string key(p.key);
        const auto it = given.find(key);
        if (it == given.end()) continue;
        if (!p.isChoice()) {
            values[key] = parseIntInRange(it->second, p.minimum, p.maximum, what + " " + key);
            continue;
        }
        const int index = choiceIndex(p, it->second);
        if (index < 0) {
            std::string names;
            for (std::size_t i = 0; i < p.choices.size(); ++i) {
                if (i) names += i + 1 == p.choices.size() ? " or " : ", ";
                names.append(p.choices[i]);
            }
            throw CliError(kUsage, what + " " + key + " must be " + names + ", not " + it->second);
        }
        values[key] = p.minimum + index;
    }
    return values;
}

std::string parameterRangesWithDefaults(ParameterList parameters) {
    std::string text;
    for (const ParameterDescriptor& p : parameters) {
        text += (text.empty() ? "" : ", ") + std::string(p.key) + " " + std::to_string(p.minimum) + ".." +
                std::to_string(p.maximum) + " (default " + std::to_string(p.defaultPosition) + ")";
    }
    return text;
}

}  // namespace sv::cli
