#pragma once

// One adjustable parameter of a stack operation as the window, the command line and recipes
// show it: an integer position with its range and default, and the English caption.
namespace sv {

struct StackParameter {
    const char* key;      // name in settings, recipes and reports
    int minimum;
    int maximum;
    int defaultValue;
    const char* label;    // English caption; the window takes its texts from the language tables
};

}  // namespace sv
