// The OpenEXR writer of HDR saving (declared in hdr_save.h), through OpenEXR's C++ library.
#include <ImfChannelList.h>
#include <ImfChromaticities.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <Iex.h>
#include <Imath/half.h>

#include <algorithm>
#include <cstdint>
#include <vector>
#include <cerrno>
#include <cstdio>
#include <new>

#include "imagefiles/exif_metadata.h"
#include "imagefiles/exr_threads.h"
#include "imagefiles/hdr_save.h"

namespace sv {

namespace {

// Rows handed to the library at once: several ZIP blocks of 16 rows, compressed on its threads.
constexpr int kRowsPerBatch = 256;

// OpenEXR writes through this onto the atomic file's temporary file; it seeks back at the end to
// fill in the offset table.
class FileStream final : public Imf::OStream {
public:
    explicit FileStream(std::FILE* file) : Imf::OStream("sombrel-output"), file_(file) {}
    void write(const char c[], int n) override {
        if (std::fwrite(c, 1, static_cast<std::size_t>(n), file_) != static_cast<std::size_t>(n)) {
            failure_ = errno ? errno : EIO;
            throw Iex::IoExc("the file could not be written");
        }
    }
    uint64_t tellp() override { return static_cast<uint64_t>(ftello(file_)); }
    void seekp(uint64_t position) override {
        if (fseeko(file_, static_cast<off_t>(position), SEEK_SET) != 0) {
            failure_ = errno ? errno : EIO;
            throw Iex::IoExc("the file could not be written");
        }
    }
    int failure() const { return failure_; }

private:
    std::FILE* file_;
    int failure_ = 0;
};

}  // namespace

bool writeExr(const std::string& path, const FloatImage& picture, bool halfSamples, ProgressSink& progress, WriteError& error) {
    const int width = picture.width();
    const int height = picture.height();
    if (picture.empty()) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    int streamFailure = 0;
    bool encoderFailed = false;
    beginProgress(progress, height);
    const bool ok = writeFileAtomically(path, [&](std::FILE* file) {
        FileStream stream(file);
        try {
            Imf::Header header(width, height);
            header.compression() = Imf::ZIP_COMPRESSION;
            const Imf::PixelType type = halfSamples ? Imf::HALF : Imf::FLOAT;
            for (const char* name : {"R", "G", "B"}) header.channels().insert(name, Imf::Channel(type));
            // Rec. 709 primaries and D65 white, the library's default: those of sRGB.
            Imf::addChromaticities(header, Imf::Chromaticities());
            header.insert("software", Imf::StringAttribute(kSoftwareName));
            Imf::OutputFile out(stream, header, openExrThreads());
            // Floats go to the library as they are; half samples are converted a batch of rows at a
            // time (the library converts only when it reads).
            std::vector<half> halves(halfSamples ? static_cast<std::size_t>(kRowsPerBatch) * picture.rowSamples() : 0);
            for (int done = 0; done < height;) {
                const int rows = std::min(kRowsPerBatch, height - done);
                const std::size_t sampleBytes = halfSamples ? sizeof(half) : sizeof(float);
                const std::size_t xStride = 3 * sampleBytes;
                const std::size_t yStride = picture.rowSamples() * sampleBytes;
                const char* first = reinterpret_cast<const char*>(picture.row(done));
                if (halfSamples) {
                    const float* src = picture.row(done);
                    const std::size_t count = static_cast<std::size_t>(rows) * picture.rowSamples();
                    for (std::size_t i = 0; i < count; ++i) halves[i] = half(src[i]);
                    first = reinterpret_cast<const char*>(halves.data());
                }
                // The slices address rows by their number in the picture.
                const std::uintptr_t origin = reinterpret_cast<std::uintptr_t>(first) - static_cast<std::uintptr_t>(done) * yStride;
                char* base = reinterpret_cast<char*>(origin);
                Imf::FrameBuffer frame;
                frame.insert("R", Imf::Slice(type, base, xStride, yStride));
                frame.insert("G", Imf::Slice(type, base + sampleBytes, xStride, yStride));
                frame.insert("B", Imf::Slice(type, base + 2 * sampleBytes, xStride, yStride));
                out.setFrameBuffer(frame);
                out.writePixels(rows);
                done += rows;
                progress.setPosition(done);
            }
            return true;  // the offset table is written as `out` closes
        } catch (const std::bad_alloc&) {
            encoderFailed = true;
            streamFailure = ENOMEM;
        } catch (const std::exception& e) {
            streamFailure = stream.failure();
            encoderFailed = streamFailure == 0;
        }
        return false;
    }, error);
    endProgress(progress, height);
    if (!ok && streamFailure) error = writeErrorFromErrno(streamFailure);
    else if (!ok && encoderFailed) error = WriteError{WriteFailure::EncodingFailed, 0, {}};
    return ok;
}

}  // namespace sv
