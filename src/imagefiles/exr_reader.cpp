#include "imagefiles/exr_reader.h"

#include <Iex.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfThreading.h>
#include <openexr.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "imagefiles/exr_threads.h"
#include "imagefiles/input_scales.h"

namespace sv {

namespace {

struct ExrBytes {
    const unsigned char* data;
    std::size_t size;
    bool ranOut = false;  // something was asked for past the end of the file
};

int64_t readBytes(exr_const_context_t, void* user, void* buffer, uint64_t count, uint64_t offset,
                  exr_stream_error_func_ptr_t) {
    auto* bytes = static_cast<ExrBytes*>(user);
    if (offset >= bytes->size) {
        bytes->ranOut = true;
        return -1;
    }
    const uint64_t n = std::min<uint64_t>(count, bytes->size - offset);
    if (n < count) bytes->ranOut = true;
    std::memcpy(buffer, bytes->data + offset, n);
    return static_cast<int64_t>(n);
}

int64_t sizeOf(exr_const_context_t, void* user) { return static_cast<int64_t>(static_cast<ExrBytes*>(user)->size); }

void quiet(exr_const_context_t, exr_result_t, const char*) {}

// Rows asked of the library at a time, for the gauge.
constexpr int kRowsPerRead = 64;

// The file's bytes for OpenEXR's C++ library.
class MemoryStream final : public Imf::IStream {
public:
    explicit MemoryStream(ExrBytes& bytes) : Imf::IStream("memory"), bytes_(bytes) {}
    bool read(char c[], int n) override {
        if (n < 0 || static_cast<std::uint64_t>(n) > bytes_.size - std::min<std::uint64_t>(position_, bytes_.size)) {
            bytes_.ranOut = true;
            throw Iex::InputExc("the file ends early");
        }
        std::memcpy(c, bytes_.data + position_, static_cast<std::size_t>(n));
        position_ += static_cast<std::uint64_t>(n);
        return position_ < bytes_.size;
    }
    uint64_t tellg() override { return position_; }
    void seekg(uint64_t position) override { position_ = position; }
    void clear() override {}

private:
    ExrBytes& bytes_;
    std::uint64_t position_ = 0;
};

class ExrReader {
public:
    ExrReader(const unsigned char* data, std::size_t size) : bytes_{data, size} {}
    ~ExrReader() {
        if (context_) exr_finish(&context_);
    }
    ExrReader(const ExrReader&) = delete;
    ExrReader& operator=(const ExrReader&) = delete;

    bool start() {
        exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
        init.user_data = &bytes_;
        init.read_fn = readBytes;
        init.size_fn = sizeOf;
        init.error_handler_fn = quiet;
        if (exr_start_read(&context_, "memory", &init) != EXR_ERR_SUCCESS) return false;
        int parts = 0;
        exr_attr_box2i_t window{};
        const exr_attr_chlist_t* channels = nullptr;
        if (exr_get_count(context_, &parts) != EXR_ERR_SUCCESS || parts < 1 ||
            exr_get_storage(context_, 0, &storage_) != EXR_ERR_SUCCESS ||
            exr_get_data_window(context_, 0, &window) != EXR_ERR_SUCCESS ||
            exr_get_channels(context_, 0, &channels) != EXR_ERR_SUCCESS || !channels ||
            exr_get_compression(context_, 0, &compression_) != EXR_ERR_SUCCESS ||
            exr_get_chunk_count(context_, 0, &chunks_) != EXR_ERR_SUCCESS) {
            return false;
        }
        if (storage_ != EXR_STORAGE_SCANLINE && storage_ != EXR_STORAGE_TILED) return false;
        const long long width = static_cast<long long>(window.max.x) - window.min.x + 1;
        const long long height = static_cast<long long>(window.max.y) - window.min.y + 1;
        if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX || chunks_ <= 0) return false;
        width_ = static_cast<int>(width);
        height_ = static_cast<int>(height);
        top_ = window.min.y;
        for (int i = 0; i < channels->num_channels; ++i) {
            const exr_attr_chlist_entry_t& c = channels->entries[i];
            const std::string_view channelName(c.name.str, static_cast<std::size_t>(std::max(0, c.name.length)));
            const int bytes = c.pixel_type == EXR_PIXEL_HALF ? 2 : 4;
            const int xs = std::max(1, c.x_sampling), ys = std::max(1, c.y_sampling);
            storedBytes_ += static_cast<std::uint64_t>(width_ / xs) * static_cast<std::uint64_t>(height_ / ys) * bytes;
            pixelBytes_ += bytes;
            const int slot = slotOf(channelName);
            if (slot < 0) continue;
            if (xs != 1 || ys != 1) return false;  // subsampled colours are not read
            hasSlot_[slot] = true;
        }
        if (!hasSlot_[0] && !hasSlot_[1] && !hasSlot_[2] && !hasSlot_[3]) return false;
        if (storage_ == EXR_STORAGE_SCANLINE) {
            if (exr_get_scanlines_per_chunk(context_, 0, &chunkRows_) != EXR_ERR_SUCCESS || chunkRows_ <= 0) return false;
            chunkColumns_ = width_;
        } else {
            if (exr_get_tile_sizes(context_, 0, 0, 0, &chunkColumns_, &chunkRows_) != EXR_ERR_SUCCESS ||
                chunkColumns_ <= 0 || chunkRows_ <= 0) {
                return false;
            }
        }
        return true;
    }

    // Whether the last block of the picture lies past the end of the file: the file was cut short
    // (as opposed to damaged within).
    bool endsEarly() const {
        exr_chunk_info_t chunk{};
        exr_result_t rv;
        if (storage_ == EXR_STORAGE_SCANLINE) {
            rv = exr_read_scanline_chunk_info(context_, 0, top_ + (height_ - 1) / chunkRows_ * chunkRows_, &chunk);
        } else {
            rv = exr_read_tile_chunk_info(context_, 0, (width_ - 1) / chunkColumns_, (height_ - 1) / chunkRows_, 0, 0, &chunk);
        }
        return rv != EXR_ERR_SUCCESS || chunk.data_offset + chunk.packed_size > bytes_.size;
    }

    int width() const { return width_; }
    int height() const { return height_; }
    bool ranOut() const { return bytes_.ranOut; }

    // The chunk offset table and the library's chunk buffers: packed and unpacked data of two
    // chunks per thread, and its scratch.
    std::uint64_t scratchBytes() const {
        const std::uint64_t chunkPixels =
            static_cast<std::uint64_t>(std::min(chunkRows_, height_)) * static_cast<std::uint64_t>(std::min(chunkColumns_, width_));
        const std::uint64_t chunksHeld = 4 * static_cast<std::uint64_t>(openExrThreads() + 1);
        return static_cast<std::uint64_t>(chunks_) * 8 + chunksHeld * chunkPixels * pixelBytes_;
    }

    // The least a complete file of this size holds: the offset table and each chunk's leader, and
    // for the compressions whose greatest packing is known, the samples packed at that ratio.
    std::uint64_t leastFileBytes() const {
        const std::uint64_t leader = storage_ == EXR_STORAGE_TILED ? 20 : 8;
        std::uint64_t least = static_cast<std::uint64_t>(chunks_) * (8 + leader);
        switch (compression_) {
            case EXR_COMPRESSION_NONE: least += storedBytes_; break;
            case EXR_COMPRESSION_RLE: least += storedBytes_ / 130; break;  // a run of 128 bytes in two
            case EXR_COMPRESSION_ZIPS:
            case EXR_COMPRESSION_ZIP: least += storedBytes_ / 1032; break;  // Deflate's greatest ratio
            default: break;
        }
        return least;
    }

    void readExposure(ExposureExif& exif) const {
        float value = 0.0f;
        if (exr_attr_get_float(context_, 0, "expTime", &value) == EXR_ERR_SUCCESS && value > 0.0f) exif.exposureTime = value;
        if (exr_attr_get_float(context_, 0, "aperture", &value) == EXR_ERR_SUCCESS && value > 0.0f) exif.fNumber = value;
        if (exr_attr_get_float(context_, 0, "isoSpeed", &value) == EXR_ERR_SUCCESS && value > 0.0f) exif.iso = value;
        int32_t length = 0;
        const char* text = nullptr;
        if (exr_attr_get_string(context_, 0, "capDate", &length, &text) == EXR_ERR_SUCCESS && text && length > 0) {
            exif.captureTime.assign(text, static_cast<std::size_t>(std::min(length, 64)));
        }
    }

    // Decodes the first part's first level into `pixels` through OpenEXR's C++ library (the core
    // library of 3.1 mixes up float channels of B44 files and cannot decode DWA); false on any
    // fault. The header has been read and admitted by then.
    bool decode(FloatImage& pixels, ProgressSink& progress) {
        MemoryStream stream(bytes_);
        try {
            Imf::InputFile file(stream, openExrThreads());
            const Imath::Box2i window = file.header().dataWindow();
            if (window.max.x - window.min.x + 1 != width_ || window.max.y - window.min.y + 1 != height_) return false;
            const bool grey = !hasSlot_[0] && !hasSlot_[1] && !hasSlot_[2];
            Imf::FrameBuffer frame;
            const std::size_t xStride = 3 * sizeof(float);
            const std::size_t yStride = pixels.rowSamples() * sizeof(float);
            const char* names[3] = {grey ? "Y" : "R", "G", "B"};
            for (int c = 0; c < (grey ? 1 : 3); ++c) {
                frame.insert(names[c], Imf::Slice::Make(Imf::FLOAT, pixels.data() + c, window, xStride, yStride));
            }
            file.setFrameBuffer(frame);
            for (int done = 0; done < height_;) {
                const int rows = std::min(kRowsPerRead, height_ - done);
                file.readPixels(window.min.y + done, window.min.y + done + rows - 1);
                done += rows;
                progress.setPosition(done);
            }
        } catch (const std::exception&) {
            return false;
        }
        if (!hasSlot_[0] && !hasSlot_[1] && !hasSlot_[2]) spreadGrey(pixels);
        return true;
    }

private:
    // R, G, B go to their own sample; Y (a grey picture) to the first, spread afterwards.
    static int slotOf(std::string_view name) {
        if (name == "R") return 0;
        if (name == "G") return 1;
        if (name == "B") return 2;
        if (name == "Y") return 3;
        return -1;
    }

    void spreadGrey(FloatImage& pixels) const {
        for (int y = 0; y < height_; ++y) {
            float* row = pixels.row(y);
            for (int x = 0; x < width_; ++x) row[3 * x + 1] = row[3 * x + 2] = row[3 * x];
        }
    }

    ExrBytes bytes_;
    exr_context_t context_ = nullptr;
    exr_storage_t storage_ = EXR_STORAGE_SCANLINE;
    exr_compression_t compression_ = EXR_COMPRESSION_NONE;
    int32_t chunks_ = 0;
    int32_t chunkRows_ = 0;
    int32_t chunkColumns_ = 0;
    int width_ = 0;
    int height_ = 0;
    int top_ = 0;
    std::uint64_t storedBytes_ = 0;  // every channel's samples as stored
    std::uint64_t pixelBytes_ = 0;   // one pixel of every channel, as stored
    bool hasSlot_[4] = {};
};

}  // namespace

DecodedPicture decodeExrMemory(const unsigned char* data, std::size_t size, const std::string& name,
                               const DecodeHooks& hooks, ProgressSink& progress) {
    DecodedPicture out;
    out.failure = Message{MessageId::CannotReadFile, 0, name};
    ExrReader reader(data, size);
    if (!reader.start()) {
        if (reader.ranOut()) {
            out.incomplete = true;
            out.failure = Message{MessageId::IncompleteFile, 0, name};
        }
        return out;
    }
    PictureClaim claim;
    claim.name = name;
    claim.width = reader.width();
    claim.height = reader.height();
    claim.scratchBytes = reader.scratchBytes();
    claim.fileTooShort = size < reader.leastFileBytes();
    if (!preparePicture(out, claim, hooks)) return out;
    beginProgress(progress, claim.height);
    const bool decoded = reader.decode(out.pixels, progress);
    endProgress(progress, claim.height);
    if (!decoded) {
        out.pixels.release();
        out.bitmap = DisplayBitmap();
        out.incomplete = reader.ranOut() && reader.endsEarly();
        out.failure = Message{out.incomplete ? MessageId::IncompleteFile : MessageId::DamagedFile, 0, name};
        return out;
    }
    finishHdrPicture(out.pixels, out.bitmap);
    reader.readExposure(out.exif);
    out.ok = true;
    return out;
}

}  // namespace sv
