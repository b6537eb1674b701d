#pragma once
// A control's integer positions described once, so that the window's track bar and its label,
// the CLI's key=POS and recipes all read the same numbers.

namespace sv {

struct ParameterDescription {
    const char* key;      // the name on the command line and in recipes: "contrast"
    int minimum;
    int maximum;
    int defaultPosition;
    double scale;         // the value a position stands for: position x scale
    int decimals;         // digits after the decimal separator in the control's label
    const char* unit;     // written after the number in the label: "" or " %"

    constexpr bool contains(int position) const { return position >= minimum && position <= maximum; }
    constexpr int clamp(int position) const {
        return position < minimum ? minimum : position > maximum ? maximum : position;
    }
};

}  // namespace sv
