// The camera's wire protocol: every request, endpoint, register and bit that
// crosses the cable between the library and a camera. The library's transport
// speaks it and the simulated camera answers it from this one header, so the
// two ends cannot drift apart. It includes nothing of the library.
#pragma once

#include <cstdint>

namespace vocam::wire {

// ---- Control requests ----

// bmRequestType of a vendor request to the device, and of one from it.
inline constexpr std::uint8_t kVendorOut = 0x40;
inline constexpr std::uint8_t kVendorIn = 0xC0;
// A standard request from the device (descriptors).
inline constexpr std::uint8_t kStandardIn = 0x80;
inline constexpr std::uint8_t kGetDescriptor = 6;
// wValue of GET_DESCRIPTOR for string descriptor n: this OR n.
inline constexpr std::uint16_t kStringDescriptor = 0x0300;
// Type byte of a string descriptor.
inline constexpr std::uint8_t kStringType = 3;

// Register reads and writes: wValue 0, wIndex the register address, wLength
// four bytes a word.
inline constexpr std::uint8_t kRegisterRequest = 0x12;
// The FX2 controller's own load request, answered by its boot code: wValue
// is the RAM address the data stage is written to.
inline constexpr std::uint8_t kFirmwareLoadRequest = 0xA0;

// ---- The FX2 controller before it runs the camera's firmware ----

// Its program and data RAM, the only place firmware goes.
inline constexpr std::uint32_t kFx2RamSize = 0x4000;
// CPU control and status: 1 holds the CPU in reset, 0 lets it run (and the
// controller leaves the bus to come back as the camera).
inline constexpr std::uint16_t kFx2CpuControl = 0xE600;
// A controller still in its boot code shows this device subclass, and bit
// 15 set in its product ID.
inline constexpr std::uint8_t kBootSubclass = 0xFF;
inline constexpr std::uint16_t kBootProductBit = 0x8000;

// ---- Pipes and endpoints ----

// Pipe 0 is the default control pipe; pipe 1 is the first endpoint of the
// alternate setting in force: the FPGA image going out on setting 1, frames
// coming in while streaming.
inline constexpr std::uint8_t kControlPipe = 0;
inline constexpr std::uint8_t kDataPipe = 1;
inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;
inline constexpr std::uint8_t kBulkInEndpoint = 0x86;
inline constexpr std::uint16_t kBulkPacketSize = 512;

inline constexpr std::uint8_t kAlternateIdle = 0;
inline constexpr std::uint8_t kAlternateFpgaLoad = 1;
// Frames arrive on setting 2 of a model with an FPGA, on setting 1 of one
// without.
inline constexpr std::uint8_t kAlternateStream = 2;
inline constexpr std::uint8_t kAlternateStreamNoFpga = 1;

// ---- Registers ----

// A register is a 16-bit address of 32-bit little-endian words; two 16-bit
// quantities share a word, the low half first. `name` is what log lines call
// it.
struct Register {
    std::uint16_t address;
    const char *name;
};

// FPGA control and status: reads bit 5 once configured; a configuration
// begins with kFpgaBegin written and ends with kFpgaEnd.
inline constexpr Register kFpga{0x0008, "VOCAM_FPGA"};
inline constexpr std::uint32_t kFpgaConfigured = 0x20;
inline constexpr std::uint32_t kFpgaBegin = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFpgaEnd = 0;
// Low 16 bits firmware version, high 16 bits FPGA version.
inline constexpr Register kFirmwareVersion{0x000C, "VOCAM_FIRMWARE_VERSION"};
// Video control: kVideoOn sends frames on the data pipe, 0 stops them.
inline constexpr Register kVideo{0x0214, "VOCAM_VIDEO"};
inline constexpr std::uint32_t kVideoOn = 0x80;

// Property blocks: four words (flags, value, minimum, maximum); a write
// takes the flags and the value.
inline constexpr Register kExposure{0x04A0, "VOCAM_EXPOSURE"};  // microseconds
inline constexpr Register kGain{0x04F0, "VOCAM_GAIN"};          // 1/4096
inline constexpr Register kGainRed{0x0500, "VOCAM_GAIN_RED"};
inline constexpr Register kGainGreen1{0x0510, "VOCAM_GAIN_GREEN1"};
inline constexpr Register kGainGreen2{0x0520, "VOCAM_GAIN_GREEN2"};
inline constexpr Register kGainBlue{0x0530, "VOCAM_GAIN_BLUE"};
inline constexpr Register kAutoExposureTarget{0x0640, "VOCAM_AUTO_EXPOSURE_TARGET"};
// 1000 x (degrees Celsius + 273); the value word reads the sensor, a write
// sets the cooler's target.
inline constexpr Register kTemperature{0x0690, "VOCAM_TEMPERATURE"};
// One word: kFlagPresent when a fan is fitted, kFlagOn while it runs.
inline constexpr Register kFan{0x0730, "VOCAM_FAN"};

// Byte offsets of a block's words.
inline constexpr std::uint16_t kBlockFlags = 0;
inline constexpr std::uint16_t kBlockValue = 4;
inline constexpr std::uint16_t kBlockMin = 8;
inline constexpr std::uint16_t kBlockMax = 12;
inline constexpr std::uint32_t kBlockWords = 4;

// Flags of a block: the control is fitted (read only), it offers automatic
// exposure (read only), automatic exposure is on (the exposure block), it is
// on (cooling, fan).
inline constexpr std::uint32_t kFlagPresent = 0x80000000u;
inline constexpr std::uint32_t kFlagAutoCapable = 0x40000000u;
inline constexpr std::uint32_t kFlagAutoOn = 0x00004000u;
inline constexpr std::uint32_t kFlagOn = 0x00008000u;

// The frame window and its inquiries (FO: frame output).
inline constexpr Register kMaxSize{0x1000, "VOCAM_FO_MAX_SIZE"};        // sensor width, height
inline constexpr Register kUnitSize{0x1004, "VOCAM_FO_UNIT_SIZE"};      // steps of sizes, positions
inline constexpr Register kPosition{0x1008, "VOCAM_FO_POSITION"};       // x, y
inline constexpr Register kSize{0x100C, "VOCAM_FO_SIZE"};               // sensor pixels
inline constexpr Register kColorId{0x1010, "VOCAM_FO_COLOR_ID"};        // layout chosen at open
inline constexpr Register kColorInquiry{0x1014, "VOCAM_FO_COLOR_INQ"};  // the sensor's code
inline constexpr Register kSubsampling{0x1018, "VOCAM_FO_SUBSAMPLING"};  // x, y factors
// Low 8 bits: the largest subsampling factor (1: none).
inline constexpr Register kSubsamplingInquiry{0x101C, "VOCAM_FO_SUBSAMPLING_INQ"};
// Data rates in kilopixels per second: the lowest and highest, the current
// one, the length of the list, and the list itself, whose each read hands
// out the next two entries (the count's read starts it over).
inline constexpr Register kRateMinMax{0x1040, "VOCAM_FO_KPS_MINMAX_INQ"};
inline constexpr Register kRate{0x1048, "VOCAM_FO_KPS"};
inline constexpr Register kRateCount{0x104C, "VOCAM_FO_KPS_ARRAY_CNT"};
inline constexpr Register kRateArray{0x1050, "VOCAM_FO_KPS_ARRAY"};

// ---- Messages ----

// A message goes out as its identifier written to the selector, then its
// bytes written to the window from its base on; the support mask has bit
// (identifier mod 32) set for each message the camera takes. The window is
// 4 KiB: the register after its end is not the message's.
inline constexpr Register kMessageSupport{0x4FF8, "VOCAM_MESSAGE_SUPPORT"};
inline constexpr Register kMessageSelect{0x4FFC, "VOCAM_MESSAGE_SELECT"};
inline constexpr Register kMessageData{0x5000, "VOCAM_MESSAGE_DATA"};
inline constexpr std::uint32_t kMessageWindowBytes = 0x1000;
// Message 0: the 256-entry tone curve the camera applies to its frames. The
// camera takes it in pieces of kToneCurvePiece bytes, other messages in
// pieces of up to kMessagePiece.
inline constexpr std::uint32_t kToneCurveMessage = 0;
inline constexpr std::uint32_t kToneCurvePiece = 64;
inline constexpr std::uint32_t kMessagePiece = 256;

}  // namespace vocam::wire
