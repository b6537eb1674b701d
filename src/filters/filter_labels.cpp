#include "filters/filter_labels.h"

namespace sv {

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
