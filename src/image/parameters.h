#pragma once
// An operation's parameters, each described once next to the operation's params struct: the key
// the command line and recipe files spell, the window control that sets it, its range and default
// in control positions, how a position becomes the value the arithmetic uses, and how its label
// shows it. The window's track bars, the command line's parsing and help, and recipes read these.

#include <map>
#include <span>
#include <string>
#include <string_view>

namespace sv {

// How a control's value label shows a position p.
enum class LabelFormat {
    Percent,      // "100%"
    SpacedPercent,  // "100 %": a share the settings of Step 2 show with a space
    OneDecimal,   // (p + labelOffset) x 0.1 with one decimal: "1,0"
    TwoDecimals,  // (p + labelOffset) x 0.01 with two decimals: "0,80"
    OneDecimalPercent,  // OneDecimal as a share: "2,0 %"
    MaskSize,     // the width of a (2p + 1)-cell mask: "5"
    Plain,        // p itself
    Choice,       // the choice's own caption (the window's combo box items)
};

struct ParameterDescriptor {
    std::string_view key{};    // "sigma": as the command line and recipe files spell it
    std::string_view control{};  // "TrackBar5": the window control that sets it
    std::string_view valueLabel{};  // "Label9": the window label that shows its value, if any
    int minimum = 0;
    int maximum = 0;
    int defaultPosition = 0;
    double scale = 1.0;        // the value the arithmetic uses is (position + offset) x scale
    int offset = 0;
    LabelFormat label = LabelFormat::Plain;
    int labelOffset = 0;
    // A choice: the names of positions minimum, minimum + 1, ... as the command line spells them.
    std::span<const std::string_view> choices{};

    constexpr bool isChoice() const { return !choices.empty(); }
    constexpr bool contains(int position) const { return position >= minimum && position <= maximum; }
    constexpr double value(int position) const { return (position + offset) * scale; }
};

using ParameterList = std::span<const ParameterDescriptor>;

// Parameter values by key, in control positions; a key left out has its default.
using ParameterValues = std::map<std::string, int, std::less<>>;

const ParameterDescriptor* findParameter(ParameterList parameters, std::string_view key);
// The value of `key`, or its default when `values` has none. `key` must be one of `parameters`.
int positionOf(ParameterList parameters, const ParameterValues& values, std::string_view key);
ParameterValues defaultValues(ParameterList parameters);

// "sigma=10,opacity=100" in the descriptors' order, every key given, a choice by its name: the
// text the command line reads back to the same values.
std::string formatValues(ParameterList parameters, const ParameterValues& values);
// The index of `name` among a choice's names, or -1.
int choiceIndex(const ParameterDescriptor& parameter, std::string_view name);

// value in fixed notation with the given number of decimals and separator.
std::string fixedLabel(double value, int decimals, const std::string& decimalSeparator);

// The value label of a position. decimalSeparator is the user's ("," or "."). A choice has no
// label of its own here (the window shows its items).
std::string parameterLabel(const ParameterDescriptor& parameter, int position, const std::string& decimalSeparator);

}  // namespace sv
