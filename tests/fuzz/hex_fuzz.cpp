// Fuzzes the firmware file checks and the record reader with arbitrary text.
// What a file that passes the checks must never do: fail to read, or put a
// byte outside the controller's RAM.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "device/wire.h"
#include "transport/vo_fx2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string reason;
    const int badLine = hex_validate(text, reason);
    if (badLine != 0 && reason.empty()) std::abort();

    hex_reader reader{text};
    usb_firmware_header header{};
    std::uint8_t record[256];
    int result;
    while ((result = hex_read_section(reader, header, record)) > 0) {
        if (badLine == 0 && header.address + header.length > vocam::wire::kFx2RamSize) std::abort();
    }
    if (badLine == 0 && result < 0) std::abort();
    return 0;
}
