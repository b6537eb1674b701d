#include "imagefiles/exif_metadata.h"

#include <exiv2/exiv2.hpp>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>

#include "imagefiles/picture_decoder.h"

namespace sv {

namespace {

// Exiv2 0.27 keeps global state (its XMP toolkit, the log level): one call at a time.
std::mutex& exivMutex() {
    static std::mutex mutex;
    return mutex;
}

void prepareExiv2() {
    static const bool prepared = [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        return true;
    }();
    (void)prepared;
}

const Exiv2::Exifdatum* findAny(const Exiv2::ExifData& exif, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const auto it = exif.findKey(Exiv2::ExifKey(key));
        if (it != exif.end() && it->count() > 0) return &*it;
    }
    return nullptr;
}

std::optional<double> rationalValue(const Exiv2::Exifdatum* datum) {
    if (!datum) return std::nullopt;
    const Exiv2::Rational r = datum->toRational(0);
    if (r.second == 0) return std::nullopt;
    const double v = static_cast<double>(r.first) / static_cast<double>(r.second);
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

std::optional<double> positive(std::optional<double> v) {
    return v && *v > 0.0 ? v : std::nullopt;
}

// Text as a camera writes it, cut at its first NUL and kept only when printable.
std::string plainText(const std::string& text) {
    std::string out = text.substr(0, text.find('\0'));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > 64) return {};
    for (const char c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
    }
    return out;
}

ExposureExif exposureOf(const Exiv2::ExifData& exif) {
    ExposureExif e;
    e.exposureTime = positive(rationalValue(findAny(exif, {"Exif.Photo.ExposureTime", "Exif.Image.ExposureTime"})));
    e.fNumber = positive(rationalValue(findAny(exif, {"Exif.Photo.FNumber", "Exif.Image.FNumber"})));
    if (!e.fNumber) {
        // APEX aperture value: N = 2^(AV / 2).
        if (const auto av = rationalValue(findAny(exif, {"Exif.Photo.ApertureValue", "Exif.Image.ApertureValue"}));
            av && *av > -2.0 && *av < 64.0) {
            e.fNumber = std::pow(2.0, *av / 2.0);
        }
    }
    if (const Exiv2::Exifdatum* iso = findAny(exif, {"Exif.Photo.ISOSpeedRatings", "Exif.Image.ISOSpeedRatings"})) {
        const long v = iso->toLong(0);
        if (v > 0) e.iso = static_cast<double>(v);
    }
    e.exposureBias = rationalValue(findAny(exif, {"Exif.Photo.ExposureBiasValue", "Exif.Image.ExposureBiasValue"}));
    if (const Exiv2::Exifdatum* time =
            findAny(exif, {"Exif.Photo.DateTimeOriginal", "Exif.Image.DateTimeOriginal", "Exif.Image.DateTime"})) {
        e.captureTime = plainText(time->toString());
    }
    return e;
}

// Of the first directory only what describes the picture or the shot; its layout tags (sizes,
// strips, sub-directories) belong to the source file.
bool keptImageTag(const std::string& tag) {
    static const char* const kept[] = {"Make", "Model", "DateTime", "Artist", "Copyright", "ImageDescription",
                                       "XResolution", "YResolution", "ResolutionUnit", "ExposureTime", "FNumber",
                                       "ExposureProgram", "ISOSpeedRatings", "DateTimeOriginal", "ExposureBiasValue",
                                       "MaxApertureValue", "MeteringMode", "Flash", "FocalLength", "LensInfo"};
    return std::any_of(std::begin(kept), std::end(kept), [&](const char* k) { return tag == k; });
}

bool keptDatum(const Exiv2::Exifdatum& d) {
    const std::string group = d.groupName();
    const std::string tag = d.tagName();
    // Offsets to other directories are laid out anew by the writer.
    if (tag == "ExifTag" || tag == "GPSTag" || tag == "InteroperabilityTag" || tag == "MakerNote") return false;
    if (group == "Photo" || group == "GPSInfo") return true;
    return group == "Image" && keptImageTag(tag);
}

void setRational(Exiv2::ExifData& exif, const char* key, double value, bool isSigned) {
    if (isSigned) {
        exif[key] = Exiv2::floatToRationalCast(static_cast<float>(value));
        return;
    }
    // Exposure times below a second as photographers write them: 1/250.
    if (value > 0.0 && value < 1.0 && std::fabs(1.0 / value - std::round(1.0 / value)) < 1e-3 * (1.0 / value)) {
        exif[key] = Exiv2::URational(1, static_cast<uint32_t>(std::round(1.0 / value)));
        return;
    }
    const Exiv2::Rational r = Exiv2::floatToRationalCast(static_cast<float>(value));
    exif[key] = Exiv2::URational(static_cast<uint32_t>(std::max<int32_t>(0, r.first)),
                                 static_cast<uint32_t>(std::max<int32_t>(1, r.second)));
}

Exiv2::ExifData sourceExif(const std::string& path) {
    Exiv2::ExifData exif;
    std::string bytes;
    if (path.empty() || readPictureFile(path, bytes)) return exif;
    try {
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()),
                                               static_cast<long>(bytes.size()));
        if (!image.get()) return exif;
        image->readMetadata();
        exif = image->exifData();
    } catch (...) {
        exif.clear();
    }
    return exif;
}

// Reads back a whole file that Exiv2 has rewritten in memory.
bool takeBytes(Exiv2::Image& image, std::vector<std::uint8_t>& file) {
    Exiv2::BasicIo& io = image.io();
    if (io.open() != 0) return false;
    const long size = static_cast<long>(io.size());
    Exiv2::DataBuf buffer = io.read(size);
    io.close();
    if (buffer.size_ != size || size <= 0) return false;
    file.assign(buffer.pData_, buffer.pData_ + buffer.size_);
    return true;
}

bool addMetadata(std::vector<std::uint8_t>& file, const OutputMetadata& metadata, bool keepFileTags) {
    std::lock_guard lock(exivMutex());
    prepareExiv2();
    try {
        auto image = Exiv2::ImageFactory::open(file.data(), static_cast<long>(file.size()));
        if (!image.get()) return false;
        image->readMetadata();
        Exiv2::ExifData ours;
        if (!metadata.exif.empty()) Exiv2::ExifParser::decode(ours, metadata.exif.data(), static_cast<uint32_t>(metadata.exif.size()));
        if (keepFileTags) {
            // A TIFF's directory describes its own strips: our tags join it.
            Exiv2::ExifData& exif = image->exifData();
            for (const Exiv2::Exifdatum& d : ours) exif[d.key()] = d.value();
        } else {
            image->setExifData(ours);
        }
        if (!metadata.iccProfile.empty()) {
            Exiv2::DataBuf profile(metadata.iccProfile.data(), static_cast<long>(metadata.iccProfile.size()));
            image->setIccProfile(profile, true);
        }
        image->writeMetadata();
        return takeBytes(*image, file);
    } catch (...) {
        return false;
    }
}

std::vector<std::uint8_t> savedProfile(cmsHPROFILE profile) {
    std::vector<std::uint8_t> bytes;
    cmsUInt32Number size = 0;
    if (profile && cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) bytes.clear();
    }
    if (profile) cmsCloseProfile(profile);
    return bytes;
}

}  // namespace

ExposureExif readExposureExif(const unsigned char* data, std::size_t size) {
    if (!data || size == 0 || size > static_cast<std::size_t>(LONG_MAX)) return {};
    std::lock_guard lock(exivMutex());
    prepareExiv2();
    try {
        auto image = Exiv2::ImageFactory::open(data, static_cast<long>(size));
        if (!image.get()) return {};
        image->readMetadata();
        return exposureOf(image->exifData());
    } catch (...) {
        return {};
    }
}

OutputMetadata outputMetadata(const std::string& sourcePath, const ExposureExif& known, int width, int height) {
    OutputMetadata metadata;
    metadata.iccProfile = srgbIccProfile();
    std::lock_guard lock(exivMutex());
    prepareExiv2();
    try {
        const Exiv2::ExifData source = sourceExif(sourcePath);
        Exiv2::ExifData exif;
        for (const Exiv2::Exifdatum& d : source) {
            if (keptDatum(d)) exif.add(d);
        }
        const ExposureExif have = exposureOf(exif);
        if (!have.exposureTime && known.exposureTime) setRational(exif, "Exif.Photo.ExposureTime", *known.exposureTime, false);
        if (!have.fNumber && known.fNumber) setRational(exif, "Exif.Photo.FNumber", *known.fNumber, false);
        if (!have.iso && known.iso) exif["Exif.Photo.ISOSpeedRatings"] = static_cast<uint16_t>(std::clamp(*known.iso, 1.0, 65535.0));
        if (!have.exposureBias && known.exposureBias) setRational(exif, "Exif.Photo.ExposureBiasValue", *known.exposureBias, true);
        if (have.captureTime.empty() && !known.captureTime.empty()) exif["Exif.Photo.DateTimeOriginal"] = known.captureTime;
        exif["Exif.Image.Orientation"] = static_cast<uint16_t>(1);
        exif["Exif.Image.Software"] = kSoftwareName;
        exif["Exif.Photo.ColorSpace"] = static_cast<uint16_t>(1);
        exif["Exif.Photo.PixelXDimension"] = static_cast<uint32_t>(std::max(0, width));
        exif["Exif.Photo.PixelYDimension"] = static_cast<uint32_t>(std::max(0, height));
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
        metadata.exif.assign(blob.begin(), blob.end());
    } catch (...) {
        metadata.exif.clear();
    }
    return metadata;
}

bool addMetadataToJpeg(std::vector<std::uint8_t>& file, const OutputMetadata& metadata) {
    return addMetadata(file, metadata, false);
}

bool addMetadataToTiff(std::vector<std::uint8_t>& file, const OutputMetadata& metadata) {
    return addMetadata(file, metadata, true);
}

const std::vector<std::uint8_t>& srgbIccProfile() {
    static const std::vector<std::uint8_t> profile = savedProfile(cmsCreate_sRGBProfile());
    return profile;
}

const std::vector<std::uint8_t>& linearSrgbIccProfile() {
    static const std::vector<std::uint8_t> profile = [] {
        const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
        const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
        cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
        cmsToneCurve* curves[3] = {linear, linear, linear};
        cmsHPROFILE p = cmsCreateRGBProfile(&d65, &primaries, curves);
        cmsFreeToneCurve(linear);
        if (p) {
            cmsMLU* description = cmsMLUalloc(nullptr, 1);
            cmsMLUsetASCII(description, "en", "US", "Linear sRGB");
            cmsWriteTag(p, cmsSigProfileDescriptionTag, description);
            cmsMLUfree(description);
        }
        return savedProfile(p);
    }();
    return profile;
}

// ---- the exposure values for people -------------------------------------------------------------

std::optional<double> relativeExposureValue(const ExposureExif& first, const ExposureExif& exposure) {
    if (!first.exposureTime || !exposure.exposureTime || *first.exposureTime <= 0.0 || *exposure.exposureTime <= 0.0) {
        return std::nullopt;
    }
    double ev = std::log2(*first.exposureTime / *exposure.exposureTime);
    if (first.fNumber && exposure.fNumber && *first.fNumber > 0.0 && *exposure.fNumber > 0.0) {
        ev += 2.0 * std::log2(*exposure.fNumber / *first.fNumber);
    }
    if (first.iso && exposure.iso && *first.iso > 0.0 && *exposure.iso > 0.0) ev += std::log2(*first.iso / *exposure.iso);
    // -0 reads oddly in a report.
    return ev == 0.0 ? 0.0 : ev;
}

namespace {
std::string shortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}
}  // namespace

std::string exposureTimeText(double seconds) {
    if (seconds > 0.0 && seconds < 0.5) {
        const double inverse = 1.0 / seconds;
        if (std::fabs(inverse - std::round(inverse)) < 0.05 * inverse || inverse >= 10.0) {
            return "1/" + std::to_string(static_cast<long long>(std::round(inverse))) + " s";
        }
    }
    return shortNumber(seconds) + " s";
}

std::string exposureSummary(const ExposureExif& exif) {
    std::string text;
    auto add = [&](const std::string& part) {
        if (!text.empty()) text += "  ";
        text += part;
    };
    if (exif.exposureTime) add(exposureTimeText(*exif.exposureTime));
    if (exif.fNumber) add("f/" + shortNumber(*exif.fNumber));
    if (exif.iso) add("ISO " + shortNumber(*exif.iso));
    if (exif.exposureBias) add((*exif.exposureBias > 0 ? "+" : "") + shortNumber(*exif.exposureBias) + " EV");
    if (!exif.captureTime.empty()) add(exif.captureTime);
    return text;
}

}  // namespace sv
