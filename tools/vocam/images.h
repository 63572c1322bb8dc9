// Picture files written whole or not at all: each goes to a temporary name
// beside its destination and is renamed into place once complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vocam::cli {

enum class ImageType { Png, Tiff, Raw, Fits };

// From the file name's extension; usage failure for any other.
ImageType imageTypeOf(const std::string &path);

// A name template's counter: "%d" with an optional zero-padded width
// ("frame-%04d.png"). A lone "%%" stands for "%"; any other "%" is refused,
// so the template can never act as a format string.
class NameTemplate {
  public:
    // With `frames` above 1 and no counter in `text`, "-%04d" goes before
    // the extension so the frames do not overwrite each other.
    NameTemplate(const std::string &text, int frames);
    std::string name(int counter) const;

  private:
    std::string before_, after_;
    int width_ = 0;
    bool counted_ = false;
};

// What a failed write tells the user to do, after the reason; the tool's
// "(choose another file with -o)" unless a program sets its own.
void setWriteAdvice(const std::string &advice);

// The folder of `path` exists and takes files; a failure line otherwise.
void checkWritable(const std::string &path);

// A picture of 8-bit red, green, blue samples (rows `stride` bytes apart),
// or 16-bit ones in host order when `bits` is 16.
struct Rgb {
    std::uint32_t width = 0, height = 0;
    std::size_t stride = 0;
    int bits = 8;
    const std::uint8_t *pixels = nullptr;
};

void writePng(const std::string &path, const Rgb &picture);
void writeTiff(const std::string &path, const Rgb &picture);
// The raw frame as it arrived, and beside it (path + ".txt") one line that
// says how to read it.
void writeRaw(const std::string &path, const std::uint8_t *data, std::size_t size,
              const std::string &layout);

// Removes the temporary files of the pictures being written, from any
// thread: for a program that is about to exit in the middle of a write.
void removeTemporaryFiles();

// Writes `bytes` to `path` through a temporary file and a rename.
void writeWhole(const std::string &path, const std::vector<std::uint8_t> &bytes);
void writeWhole(const std::string &path, const std::uint8_t *data, std::size_t size);

}  // namespace vocam::cli
