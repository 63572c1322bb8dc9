// A simulated camera: the device side of the wire protocol (descriptors,
// vendor requests, register file, bulk endpoints), with a log of all traffic
// and faults that tests switch on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Simulator/SimLens.h"
#include "Simulator/SimProperties.h"
#include "Simulator/SimVideo.h"
#include "usbhost/UsbHost.h"

namespace vocam::sim {

using usbhost::IOReturn;
using usbhost::Setup;

enum class BootState { Boot, Fpga, Ready };

// What a simulated camera is; filled from the model's defaults and the
// VOCAM_SIM keys.
struct CameraConfig {
    int model = 0;  // index into the model table
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0;
    bool hasFpga = true;
    std::uint32_t serial = 0;
    BootState state = BootState::Boot;
    std::string productName;
    std::uint32_t colorCode = 8;
    std::uint16_t width = 1280, height = 1024;
    std::uint16_t unitWidth = 8, unitHeight = 2;
    std::uint8_t maxSubsample = 1;
    bool cooling = false;
    bool fan = false;
    std::uint32_t messageMask = 0;
    std::uint32_t firmwareVersion = 0;
    std::vector<std::uint16_t> dataRates;
    // Status reads after the end of a valid configuration until the FPGA
    // reports itself configured.
    int fpgaPolls = 3;
    // Frames per second; -1 paces frames by the data rate and the exposure
    // (none sooner than its exposure after the last), 0 sends them as fast
    // as they are read.
    int fps = -1;

    // Property side (SimProperties): automatic exposure offered (unset: the
    // model's default) and the cooler's speed in mK per second.
    std::optional<bool> autoExposure;
    std::uint32_t coolRate = 1000;

    // Opens refused as if another program held the device, before the
    // device lets anyone in.
    int busyOpens = 0;

    // Video: each frame's number stamped into the picture (for tests that
    // prove frames whole), and faults staged from VOCAM_SIM.
    VideoFaults video;

    // When not empty, the configuration descriptor the device shows instead
    // of the model's: a damaged or unusual device.
    std::vector<std::uint8_t> configuration;
};

// The model's defaults, for the model table entry with this index.
CameraConfig defaultCameraConfig(int model);

// One record of the traffic log.
struct LogEntry {
    enum class Kind {
        Control,  // setup packet and data stage on the default pipe
        BulkOut,
        BulkIn,
        Open,
        Close,
        Claim,
        Release,
        SetConfiguration,
        SetAlternate,
        PipeStatus,
        ClearStall,
        Abort,
    };
    Kind kind = Kind::Control;
    bool deviceLevel = false;  // a device request rather than an interface one
    Setup setup;
    std::uint8_t endpoint = 0;  // bulk and pipe operations: endpoint address
    std::uint32_t value = 0;    // configuration or alternate setting
    std::uint32_t length = 0;   // bytes asked for
    std::uint32_t done = 0;     // bytes moved
    std::uint32_t noDataTimeoutMs = 0;
    std::uint32_t completionTimeoutMs = 0;
    IOReturn result = 0;
    std::vector<std::uint8_t> data;  // the data stage as it crossed the wire (bulk: first 64 KiB)
};

// Malformed string descriptors a device may send.
enum class StringFault { None, Empty, WrongType, OddLength, Overlong };

class CameraDevice : public std::enable_shared_from_this<CameraDevice> {
  public:
    explicit CameraDevice(CameraConfig config);
    ~CameraDevice();
    CameraDevice(const CameraDevice &) = delete;
    CameraDevice &operator=(const CameraDevice &) = delete;

    const CameraConfig &config() const { return config_; }

    // Identity as the bus shows it now.
    std::uint16_t vendor() const;
    std::uint16_t product() const;
    std::uint16_t release() const;
    std::uint8_t subclass() const;
    std::vector<std::uint8_t> deviceDescriptor() const;
    std::vector<std::uint8_t> configurationDescriptor() const;

    // Host-side operations, as the simulated host objects forward them.
    IOReturn open();
    IOReturn close();
    IOReturn claim();
    IOReturn release_();
    IOReturn setConfiguration(std::uint8_t value);
    IOReturn setAlternate(std::uint8_t alternate);
    IOReturn control(const Setup &setup, void *data, std::uint32_t &done,
                     std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs,
                     bool deviceLevel);
    IOReturn pipeStatus(std::uint8_t pipe);
    // `moved`, when given, receives the count the device took.
    IOReturn bulkOut(std::uint8_t pipe, const void *data, std::uint32_t length,
                     std::uint32_t timeoutMs, std::uint32_t completionTimeoutMs,
                     std::uint32_t *moved = nullptr);
    IOReturn bulkIn(std::uint8_t pipe, void *data, std::uint32_t &length, std::uint32_t timeoutMs,
                    std::uint32_t completionTimeoutMs);
    IOReturn clearStall(std::uint8_t pipe);
    IOReturn abort(std::uint8_t pipe);

    // Asynchronous bulk IN: `post` runs the completion on the right event loop.
    using Post = std::function<void(IOReturn, std::uint32_t)>;
    // `keep` is held until the device no longer writes into `buffer`.
    IOReturn submitRead(std::uint8_t pipe, void *buffer, std::uint32_t size, Post post,
                        std::shared_ptr<void> keep = nullptr);
    // Takes back a read submitted with this buffer that has not completed;
    // false once its completion is under way.
    bool withdrawRead(const void *buffer);
    // True when a bulk IN on this pipe is answered at once (data queued, a
    // fault armed, a stall, a bad pipe or no device) rather than waiting for data.
    bool bulkInAnswersNow(std::uint8_t pipe) const;

    // Called (outside the device's lock) when the controller's CPU is released:
    // with the identity it re-enumerates as, or with nothing when the loaded
    // image is not firmware and the device never comes back.
    using Reenumerate = std::function<void(std::optional<CameraConfig>)>;
    void onReenumerate(Reenumerate callback);

    // The device left the bus: every operation fails, pending reads complete.
    void unplug();
    bool present() const;

    // Test controls.
    std::vector<LogEntry> log() const;
    void clearLog();
    std::uint32_t reg(std::uint16_t address) const;
    void setReg(std::uint16_t address, std::uint32_t value);
    // The next `count` requests fail, after `after` more have gone through.
    void failControl(IOReturn code, int count = 1, int after = 0);
    void shortControlRead(std::uint32_t delivered);  // next IN delivers fewer bytes
    void setStringFault(std::uint8_t index, StringFault fault);
    void holdByOtherClient(int opens);          // next opens: exclusive access
    void stallEndpoint(std::uint8_t endpoint);  // pipe status fails until cleared
    void failBulk(IOReturn code, std::uint32_t bytesFirst, int count = 1);
    // The next `count` frame reads are taken and never answered, and an abort
    // does not reach them: a device stuck in the middle of a transfer.
    void hangReads(int count = 1);
    std::size_t hungReads() const;
    // The hung reads go through at last: each fills its whole buffer with
    // `fill` and completes successfully.
    void releaseHungReads(std::uint8_t fill = 0xA5);
    void queueBulkIn(std::vector<std::uint8_t> bytes);
    std::vector<std::uint8_t> bulkOutData() const;
    bool isOpen() const;
    std::uint8_t alternate() const;
    // The endpoint descriptor (address, attributes) behind a pipe of the
    // alternate setting in force; false when there is none.
    bool pipeEndpoint(std::uint8_t pipe, std::uint8_t &address, std::uint8_t &attributes) const;
    bool fpgaConfigured() const;
    // The video side: frame log and video faults.
    SimVideo &video() { return *video_; }
    // The property side: register blocks, cooler, fan and messages.
    SimProperties &properties() { return properties_; }
    std::array<std::uint8_t, 256> toneCurve() const { return properties_.toneCurve(); }
    // A focus lens in front of the sensor (null: none, frames sharp).
    void attachLens(std::shared_ptr<SimLens> lens);

  private:
    struct PendingRead {
        std::uint8_t endpoint;
        std::uint8_t *buffer;
        std::uint32_t size;
        Post post;
        std::shared_ptr<void> keep;
    };

    IOReturn controlLocked(const Setup &setup, void *data, std::uint32_t &done,
                           std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs,
                           bool deviceLevel,
                           std::optional<std::optional<CameraConfig>> &reenumerate);
    std::uint8_t endpointFor(std::uint8_t pipe) const;  // 0 when the pipe does not exist
    bool hasAlternate(std::uint8_t alternate) const;
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;
    IOReturn vendorRequest(const Setup &setup, std::uint8_t *data, std::uint32_t &done,
                           std::optional<std::optional<CameraConfig>> &reenumerate);
    IOReturn firmwareLoad(const Setup &setup, const std::uint8_t *data,
                          std::optional<std::optional<CameraConfig>> &reenumerate);
    std::uint32_t readRegister(std::uint16_t address);
    void writeRegister(std::uint16_t address, std::uint32_t value);
    std::uint32_t takeBulkIn(std::uint8_t *data, std::uint32_t size);  // bytes queued for IN
    void record(LogEntry entry);
    // Logs a request without setup or data stage and returns its result.
    IOReturn recordRequest(LogEntry::Kind kind, IOReturn result, std::uint8_t endpoint = 0,
                           std::uint32_t value = 0);
    void worker();
    // Video (lock held): whether the next pending read is a frame to serve,
    // what the frame looks like, and the time between frames (0: unpaced).
    bool frameReadPending() const;
    VideoSettings videoSettings();
    std::chrono::steady_clock::duration frameInterval();

    CameraConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool present_ = true;
    bool open_ = false;
    bool claimed_ = false;
    std::uint8_t configuration_ = 0;
    std::uint8_t alternate_ = 0;
    std::map<std::uint16_t, std::uint32_t> registers_;
    std::size_t rateCursor_ = 0;
    Reenumerate reenumerate_;

    // The controller: RAM the firmware is loaded into, and its CPU.
    std::vector<std::uint8_t> ram_;
    bool cpuHeld_ = false;
    // The FPGA: configuration data received between the begin and end writes.
    bool fpgaReceiving_ = false;
    bool fpgaConfigured_ = false;
    int fpgaPollsLeft_ = 0;
    std::vector<std::uint8_t> fpgaData_;
    std::vector<LogEntry> log_;

    // Faults.
    IOReturn controlFault_ = 0;
    int controlFaultCount_ = 0;
    int controlFaultAfter_ = 0;
    std::uint32_t shortRead_ = UINT32_MAX;
    std::map<std::uint8_t, StringFault> stringFaults_;
    int heldOpens_ = 0;
    std::map<std::uint8_t, bool> stalled_;
    IOReturn bulkFault_ = 0;
    std::uint32_t bulkFaultBytes_ = 0;
    int bulkFaultCount_ = 0;

    std::deque<std::uint8_t> bulkIn_;
    std::vector<std::uint8_t> bulkOut_;
    std::deque<PendingRead> pending_;
    int hangCount_ = 0;
    std::deque<PendingRead> hung_;
    bool stopping_ = false;
    std::unique_ptr<SimVideo> video_;
    std::chrono::steady_clock::time_point nextFrame_;
    std::thread worker_;

    SimProperties properties_;
    std::shared_ptr<SimLens> lens_;
};

}  // namespace vocam::sim
