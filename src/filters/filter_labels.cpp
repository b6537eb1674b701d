#include "filters/filter_labels.h"

#include <cstdio>

namespace sv {

std::string fixedLabel(double value, int decimals, const std::string& decimalSeparator) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text(buffer);
    const std::size_t dot = text.find('.');
    if (dot != std::string::npos) text.replace(dot, 1, decimalSeparator);
    return text;
}

std::string percentLabel(int position) { return std::to_string(position) + "%"; }

std::string sigmaLabel(int position, const std::string& decimalSeparator) {
    return fixedLabel(position * 0.1, 1, decimalSeparator);
}

std::string medianThresholdLabel(int position, const std::string& decimalSeparator) {
    return fixedLabel(position * 0.01, 2, decimalSeparator);
}

std::string medianSizeLabel(int sizePosition) { return std::to_string(2 * sizePosition + 1); }

std::string bilateralThresholdLabel(int position, const std::string& decimalSeparator) {
    return fixedLabel(position * 0.1, 1, decimalSeparator);
}

}  // namespace sv
