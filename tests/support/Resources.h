// A resource folder of its own for a test: copies of the build's images that
// the test may damage, remove or replace.
#pragma once

#include <filesystem>
#include <string>

namespace vocam::test {

class TempResources {
  public:
    TempResources();
    ~TempResources();
    TempResources(const TempResources &) = delete;
    TempResources &operator=(const TempResources &) = delete;
    const std::string &root() const { return root_; }
    std::filesystem::path path(const std::string &name) const {
        return std::filesystem::path(root_) / name;
    }
    void write(const std::string &name, const std::string &contents) const;
    void remove(const std::string &name) const;

  private:
    std::string root_;
};

// Makes the library choose the simulated bus (once per process) and keeps the
// bus empty until a test configures it.
void useSimulatedBus();

}  // namespace vocam::test
