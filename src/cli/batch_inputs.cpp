#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli/batch.h"
#include "imagefiles/exif_metadata.h"
#include "imagefiles/picture_decoder.h"

namespace sv::cli {

namespace fs = std::filesystem;

namespace {

bool isPictureName(const std::string& path) { return formatFromPath(path) != PictureFormat::Unknown; }

std::vector<std::string> picturesIn(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        // Hidden files include the "._IMG_0001.JPG" companions other systems leave on memory cards.
        if (name.empty() || name[0] == '.') continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError) || !isPictureName(name)) continue;
        found.push_back(it->path().string());
    }
    if (error) throw CliError(kBadInput, folder + ": the folder cannot be read: " + error.message());
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return fs::path(a).filename().string() < fs::path(b).filename().string();
    });
    return found;
}

}  // namespace

std::vector<std::string> batchInputs(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (error || !fs::exists(status)) throw CliError(kBadInput, path + ": no such file or folder");
        if (fs::is_directory(status)) {
            const std::vector<std::string> found = picturesIn(path);
            files.insert(files.end(), found.begin(), found.end());
        } else if (!isPictureName(path)) {
            throw CliError(kBadInput, englishText(Message{MessageId::UnsupportedFileType, 0, path}));
        } else {
            files.push_back(path);
        }
    }
    return files;
}

BatchPicture describePicture(const std::string& path) {
    BatchPicture picture;
    picture.path = path;
    std::string bytes;
    // A file that cannot be read has no EXIF here; its bracket reports why when it is opened.
    if (readPictureFile(path, bytes)) return picture;
    const ExposureExif exif = readExposureExif(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    picture.exposureBias = exif.exposureBias;
    picture.exposureTime = exif.exposureTime;
    picture.captureSeconds = captureSecondsOf(exif.captureTime);
    return picture;
}

std::optional<PictureSize> probePictureSize(const std::string& path) {
    std::optional<PictureSize> size;
    DecodeHooks hooks;
    hooks.batch = true;
    // The header is all we want: the admission records the size and refuses the decode.
    hooks.admit = [&size](const PictureClaim& claim) -> std::optional<Message> {
        size = PictureSize{claim.width, claim.height};
        return Message{MessageId::NotEnoughMemory};
    };
    NullProgress progress;
    (void)decodePicture(path, hooks, progress);
    return size;
}

}  // namespace sv::cli
