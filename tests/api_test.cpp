// What an application asks of the library itself: names for its codes, its
// version, and a camera's model name (its version words are bringup_test's).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "support/Stderr.h"
#include "usbhost/UsbHost.h"
#include "vo_cam/vo_cam.h"
#include "vocamapi.h"

namespace {

// Every code in the ranges the library and the USB layer use has a text of
// its own; a USB code's is the word the USB layer's own log lines use.
TEST(ErrorNames, EveryCodeHasATextOfItsOwn) {
    std::set<std::string> library, usb;
    for (int code = -1000; code < 0; ++code)
        if (const std::string text = vocam_strerror(code); text != "unknown error")
            library.insert(text);
    for (std::uint32_t word = 0xE0000200u; word < 0xE0004100u; ++word) {
        const int code = static_cast<int>(word);
        const std::string text = vocam_strerror(code);
        if (text == "unknown error") continue;
        EXPECT_EQ(text, "USB: " + std::string(vocam::usbhost::resultName(code))) << code;
        usb.insert(text);
    }
    EXPECT_EQ(std::pair(library.size(), usb.size()), std::pair(std::size_t{15}, std::size_t{19}));
    EXPECT_STREQ(vocam_strerror(VOCAM_ENOMEM), "out of memory");

    EXPECT_STREQ(vocam_strerror(0), "success");
    EXPECT_STREQ(vocam_strerror(2), "success");  // a count or an index
    EXPECT_STREQ(vocam_strerror(-2), "unknown error");
    EXPECT_STREQ(vocam_strerror(static_cast<int>(0xE0000001u)), "unknown error");
}

// The loaded library's answer and its soname carry the headers' version.
TEST(Version, RunTimeValueAndSonameAgreeWithTheHeaders) {
    void *lib = dlopen(VOCAM_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto *version = reinterpret_cast<std::uint32_t (*)()>(dlsym(lib, "vocam_library_version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), static_cast<std::uint32_t>(VOCAM_VERSION));

    link_map *map = nullptr;
    ASSERT_EQ(dlinfo(lib, RTLD_DI_LINKMAP, &map), 0);
    const char *strings = nullptr;
    std::optional<ElfW(Xword)> soname;
    for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_STRTAB) strings = reinterpret_cast<const char *>(d->d_un.d_ptr);
        if (d->d_tag == DT_SONAME) soname = d->d_un.d_val;
    }
    ASSERT_TRUE(soname && strings != nullptr);
    EXPECT_EQ(std::string(strings + *soname),
              "libVoCamSDK.so." + std::to_string(VOCAM_VERSION_MAJOR));
    const std::string file = VOCAM_SHARED_LIBRARY;
    const std::string suffix = ".so." VOCAM_VERSION_STRING;
    EXPECT_EQ(file.substr(file.size() - suffix.size()), suffix);
    dlclose(lib);
}

TEST(ModelName, BufferMustHoldNameAndTerminator) {
    _vocam handle;
    strcpy(handle.camera.model_name, "VoCam 1234");
    char exact[11];
    EXPECT_EQ(vocam_get_model_name(&handle, exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "VoCam 1234");

    // One byte short: refused (with the line log_test provokes the same way),
    // the buffer untouched.
    vocam::test::StderrCapture err;
    char shorter[10] = "untouched";
    EXPECT_EQ(vocam_get_model_name(&handle, shorter, sizeof shorter), -22);
    EXPECT_STREQ(shorter, "untouched");
}

}  // namespace
