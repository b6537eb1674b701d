#pragma once

#include <optional>
#include <string>

namespace sv {

// What the camera recorded about one exposure (EXIF, or the raw decoder's own values for camera
// raw files). Each value is absent when the file did not carry it.
struct ExposureExif {
    std::optional<double> exposureTime;  // seconds
    std::optional<double> fNumber;       // the aperture's f-number
    std::optional<double> iso;           // ISO speed
    std::optional<double> exposureBias;  // exposure compensation in EV
    std::string captureTime;             // "YYYY:MM:DD HH:MM:SS" as the camera wrote it; empty if unknown

    bool empty() const {
        return !exposureTime && !fNumber && !iso && !exposureBias && captureTime.empty();
    }
};

// The exposure value of `exposure` relative to `first`, in the sense of exposure values (more
// light recorded gives a lower value):
//   log2(t_first / t) + 2 log2(N / N_first) + log2(ISO_first / ISO)
// with t the exposure time, N the f-number and ISO the speed. The aperture and ISO terms count
// only when both exposures carry that value (else they are taken as equal); without both
// exposure times there is no value.
std::optional<double> relativeExposureValue(const ExposureExif& first, const ExposureExif& exposure);

// One line for the window: "1/250 s  f/8  ISO 100  -1 EV  2024:05:01 10:00:00"; the parts that
// are not known are left out; empty when nothing is known.
std::string exposureSummary(const ExposureExif& exif);

// An exposure time as photographers write it: "1/250 s" below half a second, "0.5 s", "2 s".
std::string exposureTimeText(double seconds);

}  // namespace sv
