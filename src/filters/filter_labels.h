#pragma once

#include <string>

#include "image/parameters.h"

namespace sv {

// The texts of the filter labels. decimalSeparator is the user's locale separator ("," or ".").
std::string percentLabel(int position);                                              // "100%"
std::string sigmaLabel(int position, const std::string& decimalSeparator);           // "1,0"
std::string medianThresholdLabel(int position, const std::string& decimalSeparator); // "0,80"
std::string medianSizeLabel(int sizePosition);                                       // "5"
// Shows ten times the range sigma the filter uses ("1,0" for 0.10).
std::string bilateralThresholdLabel(int position, const std::string& decimalSeparator);

}  // namespace sv
