// vocam: list, bring up, inspect, tune and capture from the cameras.
//
// Exit status: 0 success, 1 failure (one line on standard error), 2 usage.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "commands.h"
#include "common.h"
#include "vocamversion.h"

using namespace vocam::cli;

int main(int argc, char **argv) {
    CLI::App app{"Lists, brings up, inspects, tunes and captures from VoCam cameras.", "vocam"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string sim;
    bool simGiven = false;
    app.add_option_function<std::string>(
           "--sim",
           [&](const std::string &value) {
               sim = value;
               simGiven = true;
           },
           "Use the simulated camera bus for this run (same grammar as VOCAM_SIM)")
        ->type_name("SPEC");
    app.add_option("--resources", globals.resources, "Folder of the firmware and FPGA images")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->type_name("DIR");
    app.add_flag("-v,--verbose", globals.verbose, "Show the library's own messages");
    const std::uint32_t library = vocam_library_version();
    app.set_version_flag("--version", "vocam " VOCAM_VERSION_STRING " (library " +
                                          std::to_string(library >> 16) + "." +
                                          std::to_string((library >> 8) & 0xFF) + "." +
                                          std::to_string(library & 0xFF) + ")");

    bool json = false;
    std::uint32_t serial = 0;

    auto *list =
        app.add_subcommand("list", "List every camera on the bus, with those waiting for firmware");
    list->add_flag("--json", json, "Print JSON");

    auto *init = app.add_subcommand("init", "Bring the cameras up: firmware, re-enumeration, FPGA");

    auto *info =
        app.add_subcommand("info", "Show a camera's model, geometry, data rates and properties");
    info->add_option("--serial", serial, "Camera serial number (default: the first)");
    info->add_flag("--json", json, "Print JSON");

    std::string property, value;
    auto *get = app.add_subcommand(
        "get", "Read a property (exposure in ms, gains as factors, temperature in C)");
    get->add_option("property", property, "Property name or number")
        ->required()
        ->type_name("NAME|ID");
    get->add_option("--serial", serial, "Camera serial number (default: the first)");

    auto *set = app.add_subcommand(
        "set", "Write a property (exposure in ms, gains as factors, temperature in C)");
    set->add_option("property", property, "Property name or number")
        ->required()
        ->type_name("NAME|ID");
    set->add_option("value", value, "New value")->required()->type_name("VALUE");
    set->add_option("--serial", serial, "Camera serial number (default: the first)");

    // The camera settings a capture sets up before it streams; files carry them.
    const auto addSettings = [](CLI::App *command, Settings &settings) {
        static const struct {
            const char *option, *property, *unit, *what;
        } options[] = {
            {"--exposure", "exposure", "MS", "Exposure in milliseconds"},
            {"--gain", "gain", "X", "Analogue gain as a factor"},
            {"--gain-red", "gain-red", "X", "Analogue gain of red as a factor"},
            {"--gain-blue", "gain-blue", "X", "Analogue gain of blue as a factor"},
            {"--gain-green1", "gain-green1", "X", "Analogue gain of green 1 as a factor"},
            {"--gain-green2", "gain-green2", "X", "Analogue gain of green 2 as a factor"},
            {"--temperature", "temperature", "C", "Cool the sensor toward this temperature"},
        };
        for (const auto &o : options)
            command
                ->add_option_function<std::string>(
                    o.option,
                    [&settings, property = o.property](const std::string &value) {
                        settings.emplace_back(property, value);
                    },
                    o.what)
                ->type_name(o.unit);
    };

    GrabOptions grabOptions;
    auto *grab = app.add_subcommand(
        "grab", "Save converted stills (.png, .tif), raw frames (.raw) or FITS (.fits)");
    grab->add_option("--serial", grabOptions.serial, "Camera serial number (default: the first)");
    addSettings(grab, grabOptions.settings);
    grab->add_option("-n,--frames", grabOptions.frames, "Number of frames")->type_name("N");
    grab->add_option("--window", grabOptions.window, "Sensor window")->type_name("WxH+X+Y");
    grab->add_option("--subsample", grabOptions.subsample,
                     "Subsampling factor, 1 to the camera's largest (vocam info shows it)")
        ->type_name("S");
    grab->add_option("--method", grabOptions.method, "Demosaic: fast, good, best, block or none")
        ->type_name("METHOD");
    grab->add_option("--light", grabOptions.light,
                     "Colour correction: none, fluorescent, daylight, incandescent, xenon, halogen")
        ->type_name("LIGHT");
    grab->add_option(
            "-o,--output", grabOptions.output,
            "Output file; %d or %04d in the name numbers the frames (default vocam_frame.png)")
        ->type_name("FILE");
    grab->add_flag("--keep-raw", grabOptions.keepRaw,
                   "Also save each raw frame beside its picture (NAME.raw and NAME.raw.txt)");
    grab->add_option("--threads", grabOptions.threads,
                     "Threads converting a large frame: 0 the cores (at most 8, default), 1 to 8")
        ->type_name("N");
    grab->add_flag("--cube", grabOptions.cube,
                   "A .fits file holds the converted picture as three planes, not the raw frame");

    ConvertOptions convertOptions;
    auto *convert = app.add_subcommand(
        "convert", "Convert a raw frame saved by grab (IN.raw and IN.raw.txt) without a camera");
    convert->add_option("input", convertOptions.input, "The raw frame")
        ->required()
        ->type_name("IN.raw");
    convert
        ->add_option("-o,--output", convertOptions.output,
                     "Output file: .png, .tif/.tiff (16 bits a sample from a 16-bit frame) or "
                     ".raw (default vocam_frame.png)")
        ->type_name("FILE");
    convert
        ->add_option("--method", convertOptions.method, "Demosaic: fast, good, best, block or none")
        ->type_name("METHOD");
    convert
        ->add_option("--light", convertOptions.light,
                     "Colour correction: none, fluorescent, daylight, incandescent, xenon, halogen")
        ->type_name("LIGHT");
    convert
        ->add_option("--threads", convertOptions.threads,
                     "Threads converting a large frame: 0 the cores (at most 8, default), 1 to 8")
        ->type_name("N");

    StreamOptions streamOptions;
    auto *stream = app.add_subcommand(
        "stream", "Stream, show frames/s, MB/s and CPU, and record to SER; Ctrl-C ends");
    stream->add_option("--serial", streamOptions.serial,
                       "Camera serial number (default: the first)");
    addSettings(stream, streamOptions.settings);
    stream
        ->add_option("--seconds", streamOptions.seconds,
                     "Stop after this long (default: until Ctrl-C)")
        ->type_name("S");
    stream->add_option("--frames", streamOptions.frames, "Stop after this many frames")
        ->type_name("N");
    stream->add_option("--record", streamOptions.record, "Record the raw frames to a SER file")
        ->type_name("FILE.ser");

    int port = 0;
    std::string folder = ".";
    auto *receive =
        app.add_subcommand("receive", "Save the capture application's socket images as PNG");
    receive->add_option("--port", port, "TCP port on 127.0.0.1 (0: any free port)")
        ->required()
        ->type_name("N");
    receive->add_option("--out", folder, "Folder for the images (default: here)")->type_name("DIR");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "error: %s (vocam --help)\n", e.what());
        return kExitUsage;
    }

    // A file-size limit fails the write that reaches it, which the writers
    // report and recover from, instead of ending the tool.
    signal(SIGXFSZ, SIG_IGN);
    // The library reads the bus choice at its first call.
    if (simGiven) setenv("VOCAM_SIM", sim.c_str(), 1);
    routeLibraryLines();
    installSignalThread();
    try {
        if (*list) return listCommand(json);
        if (*init) return initCommand();
        if (*info) return infoCommand(serial, json);
        if (*get) return getCommand(serial, property);
        if (*set) return setCommand(serial, property, value);
        if (*grab) return grabCommand(grabOptions);
        if (*convert) return convertCommand(convertOptions);
        if (*stream) return streamCommand(streamOptions);
        if (*receive) return receiveCommand(port, folder);
    } catch (const Failure &e) {
        errorLine(e.what());
        return e.status();
    } catch (const std::bad_alloc &) {
        errorLine("error: out of memory");
        return kExitFailure;
    } catch (const std::exception &e) {
        errorLine(std::string("error: ") + e.what());
        return kExitFailure;
    }
    return kExitUsage;
}
