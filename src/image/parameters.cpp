#include "image/parameters.h"

#include <cstdio>
#include <stdexcept>

namespace sv {

std::string fixedLabel(double value, int decimals, const std::string& decimalSeparator) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text(buffer);
    const std::size_t dot = text.find('.');
    if (dot != std::string::npos) text.replace(dot, 1, decimalSeparator);
    return text;
}

const ParameterDescriptor* findParameter(ParameterList parameters, std::string_view key) {
    for (const ParameterDescriptor& p : parameters)
        if (p.key == key) return &p;
    return nullptr;
}

int positionOf(ParameterList parameters, const ParameterValues& values, std::string_view key) {
    const ParameterDescriptor* p = findParameter(parameters, key);
    if (!p) throw std::invalid_argument("no parameter " + std::string(key));
    const auto it = values.find(key);
    return it == values.end() ? p->defaultPosition : it->second;
}

ParameterValues defaultValues(ParameterList parameters) {
    ParameterValues values;
    for (const ParameterDescriptor& p : parameters) values.emplace(std::string(p.key), p.defaultPosition);
    return values;
}

int choiceIndex(const ParameterDescriptor& parameter, std::string_view name) {
    for (std::size_t i = 0; i < parameter.choices.size(); ++i)
        if (parameter.choices[i] == name) return static_cast<int>(i);
    return -1;
}

std::string formatValues(ParameterList parameters, const ParameterValues& values) {
    std::string text;
    for (const ParameterDescriptor& p : parameters) {
        const int position = positionOf(parameters, values, p.key);
        if (!text.empty()) text += ',';
        text.append(p.key);
        text += '=';
        const int index = position - p.minimum;
        if (p.isChoice() && index >= 0 && index < static_cast<int>(p.choices.size())) {
            text.append(p.choices[static_cast<std::size_t>(index)]);
        } else {
            text += std::to_string(position);
        }
    }
    return text;
}

std::string parameterLabel(const ParameterDescriptor& parameter, int position, const std::string& decimalSeparator) {
    const int p = position + parameter.labelOffset;
    switch (parameter.label) {
        case LabelFormat::Percent: return std::to_string(p) + "%";
        case LabelFormat::SpacedPercent: return std::to_string(p) + " %";
        case LabelFormat::OneDecimalPercent: return fixedLabel(p * 0.1, 1, decimalSeparator) + " %";
        case LabelFormat::OneDecimal: return fixedLabel(p * 0.1, 1, decimalSeparator);
        case LabelFormat::TwoDecimals: return fixedLabel(p * 0.01, 2, decimalSeparator);
        case LabelFormat::MaskSize: return std::to_string(2 * p + 1);
        case LabelFormat::Plain: return std::to_string(p);
        case LabelFormat::Choice: return {};
    }
    return {};
}

}  // namespace sv
