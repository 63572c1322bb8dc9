// The vocam command as a user runs it: a process of its own on the simulated
// bus, judged by its output, its files and its exit status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Pictures.h"
#include "vocamapi.h"

namespace fs = std::filesystem;
using testing::AllOf;
using testing::HasSubstr;
using namespace vocam::test;  // the picture and recording readers
using Picture = TiffPicture;

namespace {

const std::string kReady = "model_02:state=ready:fps=0";

struct Result {
    int status = -1;
    std::string out, err;
};

// A child running vocam with its output going to files of the test's folder,
// its files limited to `fileLimit` bytes.
class Child {
  public:
    Child(const fs::path &folder, std::vector<std::string> args, rlim_t fileLimit = RLIM_INFINITY)
        : folder_(folder) {
        args.insert(args.begin(), {VOCAM_TOOL, "--resources=" VOCAM_TEST_RESOURCES});
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(folder.c_str()) != 0) _exit(127);
            const rlimit limit{fileLimit, fileLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
            const int out = open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            unsetenv("VOCAM_SIM");
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    void signal(int number) const { kill(pid_, number); }
    // Waits until its standard output (or error) holds `text`, at most ten seconds.
    bool waitForOutput(const std::string &text, const char *stream = "stdout") const {
        for (int i = 0; i < 1000; ++i) {
            if (fileBytes(folder_ / stream).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Its end; a tool still running after a minute is killed (status 137).
    Result finish() {
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 6000 && !(ended = waitpid(pid_, &status, WNOHANG) == pid_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        Result r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                 fileBytes(folder_ / "stdout"), fileBytes(folder_ / "stderr")};
        fs::remove(folder_ / "stdout");
        fs::remove(folder_ / "stderr");
        return r;
    }

  private:
    fs::path folder_;
    pid_t pid_ = -1;
};

// A PNG's samples as red, green, blue bytes.
Picture readPng(const fs::path &path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    image.format = PNG_FORMAT_RGB;
    Picture p{image.width, image.height, 8, std::vector<std::uint8_t>(PNG_IMAGE_SIZE(image))};
    return png_image_finish_read(&image, nullptr, p.bytes.data(), 0, nullptr) ? p : Picture{};
}

// The library's picture of a frame, of `bits` 24 or 48, converted without
// the tool: the tool's settings are the method and the daylight matrix.
template <class Sample = std::uint8_t>
std::vector<Sample> libraryRgb(const std::string &raw, std::uint32_t width, std::uint32_t height,
                               std::uint32_t layoutFlags, std::uint32_t method) {
    _VOCAM_IMAGE_FORMAT format{
        sizeof format, width, height, sizeof(Sample) - 1, std::uint32_t(raw.size()), {layoutFlags}};
    conversion_params params{};
    params.size = 12;
    params.demosaicMethod = method;
    params.correctionMatrix = 14;
    std::vector<Sample> rgb(std::size_t{width} * height * 3);
    EXPECT_EQ(vocam_convert_raw_to_rgb(reinterpret_cast<std::uint8_t *>(rgb.data()),
                                       rgb.size() * sizeof(Sample),
                                       reinterpret_cast<const std::uint8_t *>(raw.data()),
                                       raw.size(), &format, &params, 24 * sizeof(Sample), 1),
              0);
    return rgb;
}

// What a run that must succeed printed.
std::string succeeded(const Result &r) {
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

void writeText(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

class VocamTool : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vocam_tool_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override { fs::remove_all(folder); }
    Result run(std::vector<std::string> args) { return Child(folder, std::move(args)).finish(); }
    // The same on a simulated bus of `cameras`.
    Result run(const std::string &cameras, std::vector<std::string> args) {
        args.insert(args.begin(), {"--sim", cameras});
        return run(std::move(args));
    }
    // Every file the test's folder holds, by name.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path folder;
};

using Names = std::vector<std::string>;

TEST_F(VocamTool, ListShowsReadyCamerasAndControllersWaitingForFirmware) {
    EXPECT_THAT(
        succeeded(run("model_02,model_16:state=ready:serial=77,model_05:state=fpga", {"list"})),
        AllOf(HasSubstr("VoCam model_16       77"), HasSubstr("FPGA not configured"),
              HasSubstr("waiting for firmware")));

    EXPECT_EQ(
        succeeded(run({"list", "--json", "--sim", "model_16:state=ready:serial=77"})),
        "[\n  {\"product\": 941, \"name\": \"VoCam model_16\", \"serial\": 77, \"release\": 2, "
        "\"firmware\": 1179919, \"state\": \"ready\", \"speed\": \"high\"}\n]\n");

    // A controller waiting for firmware has no serial number yet.
    EXPECT_THAT(run({"list", "--json", "--sim", "model_16"}).out, HasSubstr("\"serial\": null, "));

    const Result r = run("model_99", {"list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: --sim: unknown model 'model_99'\n");
}

TEST_F(VocamTool, InitReportsEveryStageAndFailsWhenACameraStaysDown) {
    EXPECT_THAT(
        succeeded(run("model_02,model_16:state=ready", {"init"})),
        AllOf(HasSubstr("firmware: controller 0x80A1: loaded\n"),
              HasSubstr("re-enumeration: VoCam model_02 serial 1000 came back with firmware\n"),
              HasSubstr("fpga: VoCam model_02 serial 1000: configured\n"),
              HasSubstr("fpga: VoCam model_16 serial 1001: none to load\n"),
              HasSubstr("2 camera(s) ready, 0 not brought up\n")));

    fs::create_directory(folder / "empty");
    const Result r = run("model_02", {"init", "--resources", (folder / "empty").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("not loaded (missing or damaged firmware file)"));
    EXPECT_EQ(r.err.rfind("error: 1 camera(s) not brought up: check the files below ", 0), 0u)
        << r.err;
}

TEST_F(VocamTool, InfoGetAndSetSpeakInReadableUnitsAndRefuseBadValues) {
    EXPECT_THAT(
        succeeded(run(kReady, {"info", "--json"})),
        AllOf(HasSubstr("\"model\": \"VoCam model_02\""), HasSubstr("\"layout\": \"RGGB\""),
              HasSubstr("\"temperature\": null,\n  \"cooler\": \"none\","),
              HasSubstr("{\"name\": \"exposure\", \"id\": 20, \"value\": 20, \"raw\": 20000")));

    EXPECT_EQ(run(kReady, {"get", "exposure"}).out, "20 ms\n");
    EXPECT_EQ(run(kReady, {"get", "40"}).out, "1x\n");
    EXPECT_EQ(succeeded(run(kReady, {"set", "exposure", "12.5"})), "exposure 12.5 ms\n");
    // The cooler: switched apart from its target, and the reading apart from both.
    const std::string cooled = kReady + ":cooling=1";
    EXPECT_EQ(run(cooled, {"set", "temperature", "-10"}).out,
              "temperature target -10 C, cooler on\n");
    EXPECT_EQ(run(cooled, {"get", "cooler"}).out, "off\n");
    EXPECT_EQ(run(cooled, {"set", "cooler", "on"}).out,
              "cooler on, target 20.0 C (the temperature now; 'vocam set temperature C' sets "
              "another)\n");
    EXPECT_THAT(run(cooled, {"info"}).out, HasSubstr("temperature    20.0 C now, cooler off\n"));
    Result r = run(kReady, {"info"});
    EXPECT_THAT(r.out, HasSubstr("cooling        none (no cooler, no temperature reading)\n"));
    EXPECT_EQ(r.out.find("\n  temperature"), std::string::npos);  // nor a property row

    r = run("model_02", {"info", "--resources", folder.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: no camera is ready: 1 still wait for firmware (check --resources, run vocam "
              "init)\n");
}

// (The TIFF writer is the same for 8 and 16 bits a sample: convert's case
// reads it back.)
TEST_F(VocamTool, GrabbedPngHoldsTheConversionOfTheFrameKeptBesideIt) {
    EXPECT_EQ(succeeded(run(kReady, {"grab", "-o", "still.png", "--keep-raw", "--method", "good"})),
              "saved still.png (1280 x 1024)\nsaved still.raw and still.raw.txt (the raw frame as "
              "sent)\n");
    const Picture picture = readPng(folder / "still.png");
    ASSERT_EQ(picture.width, 1280u);
    ASSERT_EQ(picture.height, 1024u);
    EXPECT_TRUE(picture.samples<std::uint8_t>() ==
                libraryRgb(fileBytes(folder / "still.raw"), 1280, 1024, 0, 2));
}

TEST_F(VocamTool, GrabNumbersItsFilesAndAppliesTheWindow) {
    succeeded(run(kReady, {"grab", "-n", "3", "--window", "640x480+8+2", "-o", "f%02d.raw"}));
    EXPECT_EQ(files(), (Names{"f01.raw", "f01.raw.txt", "f02.raw", "f02.raw.txt", "f03.raw",
                              "f03.raw.txt"}));
    EXPECT_EQ(fs::file_size(folder / "f02.raw"), 640u * 480u);
    // The window's offset moves the Bayer phase: row 2, column 8 is still red.
    EXPECT_EQ(fileBytes(folder / "f02.raw.txt"),
              "width=640 height=480 bits=8 layout=RGGB bytes=307200\n");
}

// A refusal is one line on standard error, status 2 for a bad command line
// and 1 for what the camera or the file system refuses, and no file.
struct Refusal {
    std::string args;  // after --sim, separated by spaces
    int status;
    std::string err;
};

class Refusals : public VocamTool, public testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, SayWhyInOneLineAndLeaveNoFile) {
    const Refusal &c = GetParam();
    fs::create_directory(folder / "locked");
    fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (c.args.ends_with("locked/x.png") && geteuid() == 0)
        GTEST_SKIP() << "root writes into a read-only folder";
    std::istringstream words(c.args);
    const Result r = run(kReady, {std::istream_iterator<std::string>(words), {}});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(files(), (Names{"locked"}));
    EXPECT_TRUE(fs::is_empty(folder / "locked"));
}

const std::string kRefusedWindow =
    " subsampling 1: it must lie inside 1280x1024 with sizes in steps of 8x2, subsampling 1 to 4\n";

INSTANTIATE_TEST_SUITE_P(
    Commands, Refusals,
    testing::Values(
        Refusal{"list --frobnicate", 2,
                "error: The following argument was not expected: --frobnicate (vocam --help)\n"},
        Refusal{"get shutter", 2,
                "error: unknown property 'shutter' (vocam info lists them, or give a number)\n"},
        Refusal{"set exposure fast", 2, "error: 'fast' is not a number\n"},
        Refusal{"set exposure 5000000", 1,
                "error: exposure 5000000 is outside 0.01 ms .. 10000 ms\n"},
        Refusal{"set max-width 8", 2, "error: max-width is read only\n"},
        Refusal{"set temperature -10", 1,
                "error: this camera has no cooler (and no temperature to read or set)\n"},
        Refusal{"set cooler warm", 2, "error: the cooler is 'on' or 'off', not 'warm'\n"},
        Refusal{"get exposure --serial 5", 1,
                "error: no camera with serial 5 (vocam list shows the cameras)\n"},
        Refusal{"grab --window 640x480", 2,
                "error: window '640x480' is not WIDTHxHEIGHT+X+Y (for example 640x480+0+0)\n"},
        Refusal{"grab --window 641x480+0+0", 1,
                "error: the camera refused window 641x480+0+0" + kRefusedWindow},
        Refusal{"grab --subsample 0", 2,
                "error: --subsample must be a whole number from 1 to the camera's largest (vocam "
                "info shows it)\n"},
        Refusal{"grab --subsample 65537", 1,
                "error: the camera refused window 1280x1024+0+0 subsampling 65537: it must lie "
                "inside 1280x1024 with sizes in steps of 8x2, subsampling 1 to 4\n"},
        Refusal{"grab --window 640x2+0+0", 1,
                "error: window 640x2+0+0 subsampling 1 gives frames of 640 x 2 pixels; a picture "
                "needs at least 4 x 4 with even sides (or grab .raw)\n"},
        Refusal{"grab --method slow", 2,
                "error: method 'slow' is not none, fast, good, best or block\n"},
        Refusal{"grab -o x.jpg", 2,
                "error: 'x.jpg': the file name must end in .png, .tif, .tiff, .raw or .fits\n"},
        Refusal{"grab --exposure fast", 2, "error: --exposure 'fast' is not a number\n"},
        Refusal{"grab -o x%s.png", 2,
                "error: 'x%s.png': the only counter a file name may hold is one %d or %0Nd\n"},
        Refusal{"grab -o missing/x.png", 1,
                "error: cannot write 'missing/x.png': folder 'missing' does not exist (create it "
                "or choose another file with -o)\n"},
        Refusal{"grab -o locked/x.png", 1,
                "error: cannot write 'locked/x.png': Permission denied (choose another file with "
                "-o)\n"},
        Refusal{"grab --threads 9", 2, "error: --threads must be 0 (the cores, up to 8) to 8\n"},
        Refusal{"convert in.raw -o again.fits", 2,
                "error: 'again.fits': FITS files come from a camera (vocam grab -o again.fits)\n"},
        Refusal{"stream --record x.avi", 2,
                "error: 'x.avi': a recording's name must end in .ser\n"}),
    [](const testing::TestParamInfo<Refusal> &p) {
        std::string name = p.param.args;  // unique, and readable in a failure
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// (Ctrl-C ending a stream is the recording's case.)
TEST_F(VocamTool, CtrlCEndsGrabCleanlyWithEveryFileComplete) {
    Child grab(folder, {"--sim", "model_02:state=ready:fps=20", "grab", "-n", "1000", "--subsample",
                        "2", "-o", "g.png"});
    ASSERT_TRUE(grab.waitForOutput("saved g-0002.png"));
    grab.signal(SIGINT);
    Result r = grab.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("error: interrupted after "));
    const auto names = files();
    EXPECT_GE(names.size(), 2u);
    EXPECT_LT(names.size(), 1000u);
    for (const auto &name : names) {
        EXPECT_EQ(name.rfind("g-", 0), 0u) << name;             // no temporary file left
        EXPECT_EQ(readPng(folder / name).width, 640u) << name;  // subsampled by 2
    }

    const std::string out =
        succeeded(run("model_02:state=ready:fps=50", {"stream", "--seconds", "1.2"}));
    EXPECT_THAT(out, HasSubstr("frames/s  "));  // the per-second line
    EXPECT_THAT(out, HasSubstr(" frames in 1."));
    // Drops are the library's count of frames read over before being taken;
    // both lines carry it as a number.
    EXPECT_TRUE(std::regex_search(out, std::regex("  dropped [0-9]+  CPU "))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(" MB/s, [0-9]+ dropped, CPU "))) << out;
}

// A camera that stops sending ends grab with a line and stream on time.
// Ctrl-C during bring-up ends the tool at once; a second Ctrl-C while a
// picture is being written leaves no temporary file behind.
TEST_F(VocamTool, SilentCamerasAndCtrlCOutsideTheStreamEndTheTool) {
    const std::string stalling = "model_02:state=ready:fps=50:stall=0.2";
    Result r = run(stalling, {"grab", "-n", "1000", "-o", "s.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_THAT(succeeded(run(stalling, {"stream", "--seconds", "1.5"})),
                HasSubstr(" frames in 1."));

    Child bringUp(folder, {"-v", "--sim", "model_02", "grab", "-o", "b.png"});
    ASSERT_TRUE(bringUp.waitForOutput("FW was downloaded", "stderr"));
    bringUp.signal(SIGINT);
    r = bringUp.finish();
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(r.err.ends_with("\nerror: interrupted\n")) << r.err;

    for (const auto &e : fs::directory_iterator(folder)) fs::remove(e.path());
    Child writing(folder,
                  {"--sim", "model_25:state=ready:fps=0", "grab", "-n", "100", "-o", "w.tif"});
    const auto temporary = [&] {
        return std::ranges::any_of(files(),
                                   [](const auto &name) { return name.starts_with(".w-"); });
    };
    for (int i = 0; i < 60000 && !temporary(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    writing.signal(SIGINT);  // stops the stream; the picture goes on being written
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    writing.signal(SIGINT);
    r = writing.finish();
    EXPECT_NE(r.status, 137);
    for (const auto &name : files()) EXPECT_NE(name[0], '.') << name;
}

TEST_F(VocamTool, GrabbedFitsHoldTheRawFrameAndWhatTheCommandSet) {
    succeeded(run(kReady + ":cooling=1",
                  {"grab", "-o", "s.fits", "--keep-raw", "--window", "640x480+8+2", "--exposure",
                   "12.5", "--gain", "2", "--gain-blue", "1.5", "--temperature", "-10"}));
    EXPECT_TRUE(fitsverifyPasses(folder / "s.fits"));
    const auto still = readFits(folder / "s.fits");
    EXPECT_TRUE(still.data.substr(0, 640 * 480) == fileBytes(folder / "s.raw"));
    const std::map<std::string, double> numbers{
        {"BITPIX", 8},   {"NAXIS1", 640},   {"NAXIS2", 480},   {"EXPTIME", 0.0125},
        {"GAIN", 2},     {"BLUEGAIN", 1.5}, {"SET-TEMP", -10}, {"XORGSUBF", 8},
        {"YORGSUBF", 2}, {"XBAYROFF", 0},   {"YBAYROFF", 0}};
    for (const auto &[key, value] : numbers) EXPECT_EQ(still.number(key), value) << key;
    EXPECT_EQ(still.cards.at("BAYERPAT"), "RGGB    ");
    EXPECT_EQ(still.cards.at("ROWORDER"), "TOP-DOWN");
    EXPECT_EQ(still.cards.at("INSTRUME"), "VoCam model_02");
    EXPECT_EQ(still.cards.at("SERIALNO"), "1000    ");

    succeeded(run(kReady, {"grab", "-o", "cube.fits", "--cube", "--window", "64x32+0+0"}));
    EXPECT_TRUE(fitsverifyPasses(folder / "cube.fits"));
    const auto cube = readFits(folder / "cube.fits");
    EXPECT_EQ(cube.number("NAXIS3"), 3);
    EXPECT_EQ(cube.cards.count("BAYERPAT"), 0u);
    EXPECT_EQ(cube.cards.count("CCD-TEMP"), 0u);  // no temperature control
}

// A camera paced by its exposure sends nothing for 5 s: the grab waits for
// that one frame instead of ending the stream as silent. A monochrome frame
// has no mosaic to name.
TEST_F(VocamTool, GrabWaitsOutALongExposure) {
    succeeded(run("model_04:state=ready", {"grab", "--exposure", "5000", "-o", "long.fits"}));
    const auto fits = readFits(folder / "long.fits");
    EXPECT_EQ(fits.number("EXPTIME"), 5);
    EXPECT_EQ(fits.cards.count("BAYERPAT") + fits.cards.count("REDGAIN"), 0u);
}

TEST_F(VocamTool, RecordedSerFilesStayReadableWhateverEndsTheRecording) {
    // The colour code follows the model's mosaic.
    const std::map<std::string, std::uint32_t> colours{
        {"model_04", 0}, {"model_02", 8}, {"model_03", 9}, {"model_05", 10}, {"model_06", 11}};
    for (const auto &[model, colour] : colours) {
        EXPECT_THAT(
            succeeded(run(model + ":state=ready:fps=0",
                          {"stream", "--record", "r.ser", "--frames", "3", "--exposure", "5"})),
            HasSubstr("\nrecorded 3 frame(s) to r.ser\n"));
        const auto ser = readSer(folder / "r.ser");
        EXPECT_EQ(ser.colour, colour) << model;
        EXPECT_EQ(ser.depth, 8u);
        EXPECT_EQ(ser.count, 3u);
        EXPECT_TRUE(ser.whole);
        EXPECT_EQ(ser.instrument, "VoCam " + model);
        ASSERT_EQ(ser.times.size(), 3u);
        EXPECT_TRUE(ser.times[0] < ser.times[1] && ser.times[1] < ser.times[2]);
        // The header's time in UTC is the first frame's, and now.
        EXPECT_EQ(fileBytes(folder / "r.ser").substr(170, 8),
                  fileBytes(folder / "r.ser").substr(178 + 3 * ser.frames[0].size(), 8));
        EXPECT_NEAR(double(Ser::unixSeconds(ser.times[0])), double(std::time(nullptr)), 60);
    }

    Child stream(folder, {"--sim", "model_02:state=ready:fps=20", "stream", "--record", "c.ser"});
    ASSERT_TRUE(stream.waitForOutput("frames/s"));
    stream.signal(SIGINT);
    const std::string out = succeeded(stream.finish());
    const std::string tail = " frame(s) to c.ser (stopped by Ctrl-C)\n";
    ASSERT_TRUE(out.ends_with(tail)) << out;
    const std::size_t count = out.rfind("recorded ") + 9;
    auto ser = readSer(folder / "c.ser");
    EXPECT_EQ(ser.count, std::stoul(out.substr(count)));
    EXPECT_TRUE(ser.whole);
    EXPECT_EQ(ser.times.size(), ser.count);

    // Room for four frames and half their times: the fifth frame fails, and
    // the fourth gives way to the times of the other three.
    const rlim_t limit = 178 + 4 * 1310720 + 16;
    const Result r =
        Child(folder, {"--sim", kReady, "stream", "--record", "f.ser"}, limit).finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: recording stopped: cannot write 'f.ser': " +
                         std::string(std::strerror(EFBIG)) +
                         "; it holds 3 frame(s) and their times (the last 1 made room for them)\n");
    ser = readSer(folder / "f.ser");
    EXPECT_EQ(ser.count, 3u);
    EXPECT_TRUE(ser.whole);
    EXPECT_EQ(ser.times.size(), 3u);
}

TEST_F(VocamTool, ConvertKeepsSixteenBitSamplesInATiffAndReadsBothByteOrders) {
    constexpr std::uint32_t w = 64, h = 48;
    struct Case {
        bool lsbFirst;
        std::string order;  // as the description gives it; empty: an older description
        std::string layout;
        std::uint32_t flags;
        std::string method;
        std::uint32_t methodId;
    };
    for (const Case &c : std::vector<Case>{
             {true, " order=lsb-first", "RGGB", 0, "best", 3},
             {false, " order=msb-first", "GBRG", VOCAM_LAYOUT_GREEN_FIRST | VOCAM_LAYOUT_BLUE_ROW,
              "good", 2},
             {true, "", "BGGR", VOCAM_LAYOUT_BLUE_ROW, "fast", 1},
         }) {
        const std::string raw = syntheticDeepFrame(w, h, c.lsbFirst);
        writeText(folder / "in.raw", raw);
        writeText(folder / "in.raw.txt",
                  "width=64 height=48 bits=16 layout=" + c.layout + " bytes=6144" + c.order + "\n");
        EXPECT_EQ(succeeded(run({"convert", "in.raw", "-o", "out.tiff", "--method", c.method,
                                 "--threads", "3"})),
                  "saved out.tiff (64 x 48, 48 bits)\n");
        const Picture picture = readTiff(folder / "out.tiff");
        ASSERT_EQ(picture.width, w) << c.layout;
        ASSERT_EQ(picture.height, h);
        const std::uint32_t flags = c.flags | (c.lsbFirst ? VOCAM_LAYOUT_LSB_FIRST : 0);
        EXPECT_TRUE(picture.samples<std::uint16_t>() ==
                    libraryRgb<std::uint16_t>(raw, w, h, flags, c.methodId))
            << c.layout;
    }

    // PNG stays 8 bits a sample; a raw copy gets today's description.
    succeeded(run({"convert", "in.raw", "-o", "out.png"}));
    EXPECT_EQ(readPng(folder / "out.png").width, w);
    succeeded(run({"convert", "in.raw", "-o", "copy.raw"}));
    EXPECT_EQ(fileBytes(folder / "copy.raw"), fileBytes(folder / "in.raw"));
    EXPECT_EQ(fileBytes(folder / "copy.raw.txt"),
              "width=64 height=48 bits=16 layout=BGGR bytes=6144 order=lsb-first\n");
}

TEST_F(VocamTool, ConvertRefusesDamagedFramesWithOneLineAndLeavesNoPicture) {
    writeText(folder / "in.raw", std::string(6144, '\x11'));
    const std::string hint = " (expected the .raw and .raw.txt that vocam grab writes)\n";
    struct Refusal {
        std::string description;  // of in.raw; the frame itself is 6144 bytes
        std::string err;
    };
    for (const Refusal &c : std::vector<Refusal>{
             {"width=64 height=48 bits=16 layout=RGGB bytes=8192",
              "error: 'in.raw.txt': bytes= does not match width x height x 2" + hint},
             {"width=64 height=24 bits=16 layout=RGGB bytes=3072",
              "error: 'in.raw': the frame holds 6144 bytes, its description says 3072" + hint},
             {"width=64 height=48 bits=12 layout=RGGB bytes=6144",
              "error: 'in.raw.txt': bits must be 8 or 16" + hint},
             {std::string("\x89PNG\0\0", 6),
              "error: 'in.raw.txt': the description is not one line of text" + hint},
             {std::string(5000, 'w'),
              "error: 'in.raw.txt': the description is not one line of text" + hint},
         }) {
        writeText(folder / "in.raw.txt", c.description);
        const Result r = run({"convert", "in.raw", "-o", "out.tif"});
        EXPECT_EQ(r.status, 1) << c.description;
        EXPECT_EQ(r.err, c.err);
    }
    fs::remove(folder / "in.raw.txt");
    const Result r = run({"convert", "in.raw", "-o", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: cannot read 'in.raw.txt': " + std::string(std::strerror(ENOENT)) + "\n");
    EXPECT_EQ(files(), (Names{"in.raw"}));  // no picture left behind
}

// Every command opens its camera alike. With -v the library's lines come
// first, and the tool's line still says why.
TEST_F(VocamTool, ACameraHeldByAnotherProgramIsNamedAsInUse) {
    const Result r = run("model_02:state=ready:busy=1000", {"-v", "grab", "-o", "x.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_GT(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_THAT(r.err, testing::EndsWith(
                           " is in use by another program (close that program and try again)\n"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(files(), Names{});
}

// The capture application's side of the frame socket: one connection per
// message.
void sendMessage(int port, const std::string &bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

int listeningPort(const fs::path &folder) {
    const std::string out = fileBytes(folder / "stdout");
    const auto at = out.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::stoi(out.substr(at + 10));
}

TEST_F(VocamTool, ReceiveSavesEachImageMessageAndRejectsMalformedOnes) {
    std::string pixels(4 * 3 * 2, '\0');
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>(i * 10);
    fs::create_directory(folder / "in");
    Child receiver(folder, {"receive", "--port", "0", "--out", "in"});
    ASSERT_TRUE(receiver.waitForOutput("listening on 127.0.0.1:"));
    const int port = listeningPort(folder);
    sendMessage(port, "@Image width=4 height=2 type=BMP\n" + pixels);
    sendMessage(port, "@Image width=4 height=-2 type=BMP\n" + pixels);
    sendMessage(port, "@Image width=4 height=2 type=BMP\n" + pixels.substr(5));
    sendMessage(port, "@Image width=4");
    sendMessage(port, "@Quit\n");
    const Result r = receiver.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(
        r.out,
        HasSubstr("saved in/image-0001.png (4 x 2)\n1 image(s) saved, 3 message(s) rejected\n"));
    EXPECT_EQ(
        r.err,
        "error: rejected a message: malformed header '@Image width=4 height=-2 type=BMP' (expected "
        "'@Image width=W height=H type=BMP' or '@Quit')\n"
        "error: rejected a message: short image body, 19 of 24 bytes\n"
        "error: rejected a message: no complete header line (got '@Image width=4')\n"
        "error: 3 message(s) were rejected\n");
    const Picture saved = readPng(folder / "in/image-0001.png");
    EXPECT_EQ(std::string(saved.bytes.begin(), saved.bytes.end()), pixels);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "in"), {}), 1);  // nothing else

    Child clean(folder, {"receive", "--port", "0", "--out", "in"});
    ASSERT_TRUE(clean.waitForOutput("listening"));
    sendMessage(listeningPort(folder),
                "@Image width=640 height=480 type=BMP\n" + std::string(921600, 'x'));
    sendMessage(listeningPort(folder), "@Quit\n");
    EXPECT_EQ(clean.finish().status, 0);
    EXPECT_EQ(readPng(folder / "in/image-0001.png").width, 640u);
}

}  // namespace
