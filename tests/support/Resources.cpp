#include "support/Resources.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "Simulator/SimBus.h"

namespace fs = std::filesystem;

namespace vocam::test {

TempResources::TempResources() {
    std::string pattern = (fs::temp_directory_path() / "vocam-resources-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    fs::copy(VOCAM_TEST_RESOURCES, root_, fs::copy_options::recursive);
}

TempResources::~TempResources() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void TempResources::write(const std::string &name, const std::string &contents) const {
    fs::create_directories(path(name).parent_path());
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out << contents;
}

void TempResources::remove(const std::string &name) const {
    fs::remove(path(name));
}

void useSimulatedBus() {
    setenv("VOCAM_SIM", "model_02:state=ready", 0);
    sim::Bus::instance().clear();
}

}  // namespace vocam::test
