// The vocam commands. Each returns the exit status or throws a Failure.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vocam::cli {

int listCommand(bool json);
int initCommand();
int infoCommand(std::uint32_t serial, bool json);
int getCommand(std::uint32_t serial, const std::string &property);
int setCommand(std::uint32_t serial, const std::string &property, const std::string &value);

// Properties a capture command sets before it streams, as `vocam set` would:
// each a property's name and the value as given.
using Settings = std::vector<std::pair<std::string, std::string>>;

struct GrabOptions {
    std::uint32_t serial = 0;
    Settings settings;
    int frames = 1;
    std::string window;     // WxH+X+Y, empty: keep
    std::string subsample;  // empty: keep
    std::string method = "good";
    std::string light = "none";
    std::string output = "vocam_frame.png";
    bool keepRaw = false;  // also the raw frame beside each picture
    int threads = 0;       // conversion threads; 0: the cores, up to 8
    bool cube = false;     // a .fits holds the converted picture, not the raw frame
};
int grabCommand(const GrabOptions &options);

struct ConvertOptions {
    std::string input;  // a .raw beside its .raw.txt
    std::string output = "vocam_frame.png";
    std::string method = "good";
    std::string light = "none";
    int threads = 0;
};
int convertCommand(const ConvertOptions &options);

struct StreamOptions {
    std::uint32_t serial = 0;
    Settings settings;
    double seconds = 0;  // 0: until Ctrl-C
    int frames = 0;      // 0: no limit
    std::string record;  // a .ser file, empty: none
};
int streamCommand(const StreamOptions &options);

int receiveCommand(int port, const std::string &folder);

}  // namespace vocam::cli
