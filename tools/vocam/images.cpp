#include "images.h"

#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "common.h"

namespace vocam::cli {

namespace {

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

std::string writeAdvice = " (choose another file with -o)";

std::string folderOf(const std::string &path) {
    const auto parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

// The temporary files being written, for removeTemporaryFiles.
std::mutex liveLock;
std::vector<std::string> live;

// A file next to its destination that disappears unless it is committed.
class TempFile {
  public:
    explicit TempFile(const std::string &path) : path_(path) {
        const auto p = std::filesystem::path(path);
        temp_ = (p.parent_path() / ("." + p.filename().string() + ".XXXXXX")).string();
        fd_ = mkstemp(temp_.data());
        if (fd_ < 0) fail("cannot create a file");
        std::lock_guard lock(liveLock);
        live.push_back(temp_);
        // mkstemp makes the file private; the picture gets what any new
        // file of the user would.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, 0666 & ~mask);
    }
    ~TempFile() {
        if (fd_ >= 0) close(fd_);
        if (!committed_) unlink(temp_.c_str());
        std::lock_guard lock(liveLock);
        std::erase(live, temp_);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    int fd() const { return fd_; }
    // The descriptor now belongs to someone who closes it.
    void handOver() { fd_ = -1; }
    void writeAll(const std::uint8_t *data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("cannot write");
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    void commit() {
        if (fd_ >= 0) {
            const int r = close(fd_);
            fd_ = -1;
            if (r != 0) fail("cannot write");
        }
        if (std::rename(temp_.c_str(), path_.c_str()) != 0) fail("cannot write");
        committed_ = true;
    }
    [[noreturn]] void fail(const char *what) const {
        throw Failure("error: " + std::string(what) + " '" + path_ + "': " + std::strerror(errno) +
                      writeAdvice);
    }

  private:
    std::string path_, temp_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace

void removeTemporaryFiles() {
    std::lock_guard lock(liveLock);
    for (const auto &path : live) unlink(path.c_str());
}

void setWriteAdvice(const std::string &advice) {
    writeAdvice = advice;
}

ImageType imageTypeOf(const std::string &path) {
    const std::string extension = lower(std::filesystem::path(path).extension().string());
    if (extension == ".png") return ImageType::Png;
    if (extension == ".tif" || extension == ".tiff") return ImageType::Tiff;
    if (extension == ".raw") return ImageType::Raw;
    if (extension == ".fits" || extension == ".fit" || extension == ".fts") return ImageType::Fits;
    usage("error: '" + path + "': the file name must end in .png, .tif, .tiff, .raw or .fits");
}

NameTemplate::NameTemplate(const std::string &text, int frames) {
    std::string *part = &before_;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *part += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            *part += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int width = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && width < 100)
            width = width * 10 + (text[j++] - '0');
        if (counted_ || j >= text.size() || text[j] != 'd' || width >= 100)
            usage("error: '" + text + "': the only counter a file name may hold is one %d or %0Nd");
        counted_ = true;
        width_ = width;
        part = &after_;
        i = j;
    }
    if (!counted_ && frames > 1) {
        const auto p = std::filesystem::path(before_);
        const std::string extension = p.extension().string();
        after_ = extension;
        before_ = before_.substr(0, before_.size() - extension.size()) + "-";
        width_ = 4;
        counted_ = true;
    }
}

std::string NameTemplate::name(int counter) const {
    if (!counted_) return before_;
    char digits[128];
    std::snprintf(digits, sizeof digits, "%0*d", width_, counter);
    return before_ + digits + after_;
}

void checkWritable(const std::string &path) {
    const std::string folder = folderOf(path);
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw Failure("error: cannot write '" + path + "': folder '" + folder +
                      "' does not exist (create it or choose another file with -o)");
    if (access(folder.c_str(), W_OK) != 0)
        throw Failure("error: cannot write '" + path + "': " + std::strerror(errno) +
                      " (choose another file with -o)");
    if (std::filesystem::is_directory(path, error))
        throw Failure("error: cannot write '" + path + "': it is a folder (name a file with -o)");
}

void writeWhole(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    writeWhole(path, bytes.data(), bytes.size());
}

void writeWhole(const std::string &path, const std::uint8_t *data, std::size_t size) {
    TempFile file(path);
    file.writeAll(data, size);
    file.commit();
}

void writePng(const std::string &path, const Rgb &picture) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = PNG_FORMAT_RGB | (picture.bits == 16 ? PNG_FORMAT_FLAG_LINEAR : 0);
    const auto stride = static_cast<png_int_32>(picture.stride / (picture.bits == 16 ? 2 : 1));
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, picture.pixels, stride, nullptr))
        throw Failure(std::string("error: cannot encode the picture: ") + image.message);
    std::vector<std::uint8_t> bytes(size);
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, picture.pixels, stride, nullptr))
        throw Failure(std::string("error: cannot encode the picture: ") + image.message);
    bytes.resize(size);
    writeWhole(path, bytes);
}

void writeTiff(const std::string &path, const Rgb &picture) {
    TempFile file(path);
    // libtiff owns the descriptor from here and closes it with the TIFF.
    TIFF *tiff = TIFFFdOpen(file.fd(), path.c_str(), "w");
    if (tiff == nullptr) file.fail("cannot write");
    file.handOver();
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, picture.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, picture.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, picture.bits);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    bool ok = true;
    std::vector<std::uint8_t> row(picture.stride);
    for (std::uint32_t y = 0; ok && y < picture.height; ++y) {
        std::memcpy(row.data(), picture.pixels + y * picture.stride, picture.stride);
        ok = TIFFWriteScanline(tiff, row.data(), y, 0) == 1;
    }
    ok = TIFFWriteDirectory(tiff) == 1 && ok;
    TIFFClose(tiff);
    if (!ok) file.fail("cannot write");
    file.commit();
}

void writeRaw(const std::string &path, const std::uint8_t *data, std::size_t size,
              const std::string &layout) {
    writeWhole(path, data, size);
    const std::string line = layout + "\n";
    writeWhole(path + ".txt", std::vector<std::uint8_t>(line.begin(), line.end()));
}

}  // namespace vocam::cli
