// The vocam command as a user runs it: a process of its own on the simulated
// bus, judged by its output, its files and its exit status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/OpenCamera.h"
#include "vocamapi.h"
#include "votf.h"

namespace fs = std::filesystem;

namespace {

const std::string kReady = "model_02:state=ready:fps=0";

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A child running vocam with its output going to files of the test's folder.
class Child {
  public:
    Child(const fs::path &folder, std::vector<std::string> args) : folder_(folder) {
        args.insert(args.begin(), "--resources=" VOCAM_TEST_RESOURCES);
        args.insert(args.begin(), VOCAM_TOOL);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(folder.c_str()) != 0) _exit(127);
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
    // Waits until its standard output holds `text`, at most ten seconds.
    bool waitForOutput(const std::string &text) const {
        for (int i = 0; i < 1000; ++i) {
            if (slurp(folder_ / "stdout").find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    Result finish() {
        int status = 0;
        waitpid(pid_, &status, 0);
        Result r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(folder_ / "stdout");
        r.err = slurp(folder_ / "stderr");
        fs::remove(folder_ / "stdout");
        fs::remove(folder_ / "stderr");
        return r;
    }

  private:
    fs::path folder_;
    pid_t pid_ = -1;
};

// Red, green, blue samples of 8 or 16 bits (host order), row after row;
// empty when the file is not of that kind.
template <class Sample>
struct PictureOf {
    std::uint32_t width = 0, height = 0;
    std::vector<Sample> rgb;
};
using Picture = PictureOf<std::uint8_t>;
using DeepPicture = PictureOf<std::uint16_t>;

Picture readPng(const fs::path &path) {
    Picture p;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
    image.format = PNG_FORMAT_RGB;
    p.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) return {};
    p.width = image.width;
    p.height = image.height;
    return p;
}

template <class Sample>
PictureOf<Sample> readTiffOf(const fs::path &path) {
    PictureOf<Sample> p;
    TIFF *tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr) return p;
    std::uint16_t bits = 0, samples = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &p.height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (bits == 8 * sizeof(Sample) && samples == 3 &&
        TIFFScanlineSize(tiff) == tmsize_t{p.width} * 3 * tmsize_t{sizeof(Sample)}) {
        p.rgb.resize(std::size_t{p.width} * p.height * 3);
        for (std::uint32_t y = 0; y < p.height; ++y)
            TIFFReadScanline(tiff, p.rgb.data() + std::size_t{y} * p.width * 3, y, 0);
    }
    TIFFClose(tiff);
    return p;
}

// A 16-bit Bayer frame whose samples use the whole range, so that a
// conversion that dropped the low byte, or read the two bytes the wrong way
// round, could not come out equal.
std::string syntheticDeepFrame(std::uint32_t width, std::uint32_t height, bool lsbFirst) {
    std::string bytes;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto v = static_cast<std::uint16_t>((x * 1031 + y * 4099 + (x * y) % 251) * 7);
            const char hi = static_cast<char>(v >> 8), lo = static_cast<char>(v & 0xFF);
            bytes += lsbFirst ? lo : hi;
            bytes += lsbFirst ? hi : lo;
        }
    return bytes;
}

// The colour engine's own 48-bit picture of a frame, without the tool.
std::vector<std::uint16_t> engine48(const std::string &raw, std::uint32_t width,
                                    std::uint32_t height, std::uint32_t layoutFlags,
                                    std::uint32_t method) {
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    format.Width = width;
    format.Height = height;
    format.PixelFormat = 1;
    format.ImageSize = static_cast<std::uint32_t>(raw.size());
    format.VocamReserved[0] = layoutFlags;
    conversion_params params{};
    params.size = sizeof params;
    params.demosaicMethod = method;
    params.correctionMatrix = 14;
    params.saturation = 1.0f;
    params.gainOrGain0 = 1.0f;
    std::vector<std::uint16_t> rgb(std::size_t{width} * height * 3);
    CVotf engine;
    EXPECT_EQ(engine.ConvertToRgb(reinterpret_cast<unsigned char *>(rgb.data()),
                                  reinterpret_cast<const unsigned char *>(raw.data()), 48, &format,
                                  &params),
              0);
    return rgb;
}

void writeText(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// What the library makes of a raw frame with the tool's settings for
// "--method good --light none" on a colour camera.
std::vector<std::uint8_t> convertLikeTheTool(const std::vector<std::uint8_t> &raw) {
    vocam::test::OpenCamera camera(kReady);
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    EXPECT_EQ(vocam_get_image_format(camera.handle(), &format), 0);
    EXPECT_EQ(raw.size(), format.ImageSize);
    conversion_params params{};
    params.size = sizeof params;
    params.demosaicMethod = 2;
    params.correctionMatrix = 14;
    params.saturation = 1.0f;
    params.gainOrGain0 = 1.0f;
    std::vector<std::uint8_t> rgb(std::size_t{format.Width} * format.Height * 3);
    EXPECT_EQ(vocam_enable_streaming(camera.handle()), 0);
    EXPECT_GE(vocam_start_streaming(camera.handle()), 0);
    EXPECT_EQ(vocam_convert_frame_to_rgb(camera.handle(), rgb.data(), raw.data(), &format, &params),
              0);
    vocam_stop_streaming(camera.handle());
    vocam_disable_streaming(camera.handle());
    return rgb;
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
    Result r =
        run({"--sim", "model_02,model_16:state=ready:serial=77,model_05:state=fpga", "list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("VoCam model_16       77"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("FPGA not configured"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("waiting for firmware"), std::string::npos) << r.out;

    r = run({"list", "--json", "--sim", "model_16:state=ready:serial=77"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "[\n  {\"product\": 941, \"name\": \"VoCam model_16\", \"serial\": 77, \"release\": 2, "
        "\"firmware\": 1179919, \"state\": \"ready\", \"speed\": \"high\"}\n]\n");

    r = run({"--sim", "model_99", "list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: --sim: unknown model 'model_99'\n");
    r = run({"list", "--frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    r = run({"grab", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--window"), std::string::npos);
}

TEST_F(VocamTool, InitReportsEveryStageAndFailsWhenACameraStaysDown) {
    Result r = run({"--sim", "model_02,model_16:state=ready", "init"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("firmware: controller 0x80A1: loaded\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("re-enumeration: VoCam model_02 serial 1000 came back with firmware\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("fpga: VoCam model_02 serial 1000: configured\n"), std::string::npos);
    EXPECT_NE(r.out.find("fpga: VoCam model_16 serial 1001: none to load\n"), std::string::npos);
    EXPECT_NE(r.out.find("2 camera(s) ready, 0 not brought up\n"), std::string::npos);

    fs::create_directory(folder / "empty");
    r = run({"--sim", "model_02", "init", "--resources", (folder / "empty").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not loaded (missing or damaged firmware file)"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.err.rfind("error: 1 camera(s) not brought up: check the files below ", 0), 0u)
        << r.err;
}

TEST_F(VocamTool, InfoGetAndSetSpeakInReadableUnitsAndRefuseBadValues) {
    Result r = run({"--sim", kReady, "info", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"model\": \"VoCam model_02\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"layout\": \"RGGB\""), std::string::npos);
    EXPECT_NE(r.out.find("{\"name\": \"exposure\", \"id\": 20, \"value\": 20, \"raw\": 20000"),
              std::string::npos);

    EXPECT_EQ(run({"--sim", kReady, "get", "exposure"}).out, "20 ms\n");
    EXPECT_EQ(run({"--sim", kReady, "get", "40"}).out, "1x\n");
    r = run({"--sim", kReady, "set", "exposure", "12.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "exposure 12.5 ms\n");
    EXPECT_EQ(run({"--sim", kReady, "set", "gain", "2.5"}).out, "gain 2.5x\n");
    EXPECT_EQ(run({"--sim", kReady + ":cooling=1", "set", "temperature", "-10"}).out,
              "temperature -10 C\n");

    struct Refusal {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    for (const Refusal &c : std::vector<Refusal>{
             {{"get", "shutter"},
              2,
              "error: unknown property 'shutter' (vocam info lists them, or give a number)\n"},
             {{"set", "exposure", "fast"}, 2, "error: 'fast' is not a number\n"},
             {{"set", "exposure", "5000000"},
              1,
              "error: exposure 5000000 is outside 0.01 ms .. 10000 ms\n"},
             {{"set", "gain", "-1"}, 1, "error: gain -1 is outside 1x .. 16x\n"},
             {{"set", "max-width", "8"}, 2, "error: max-width is read only\n"},
             {{"set", "temperature", "-10"},
              1,
              "error: the camera refused temperature -10 (" + std::string(vocam_strerror(-22)) +
                  ", -22)\n"},
             {{"get", "exposure", "--serial", "5"},
              1,
              "error: no camera with serial 5 (vocam list shows the cameras)\n"},
         }) {
        std::vector<std::string> args = {"--sim", kReady};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = run(args);
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    r = run({"--sim", "model_02", "info", "--resources", folder.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: no camera is ready: 1 still wait for firmware (check --resources, run vocam "
              "init)\n");
}

TEST_F(VocamTool, GrabbedPngAndTiffHoldTheConversionOfTheFrameKeptBesideThem) {
    for (const std::string name : {"still.png", "still.tif"}) {
        const Result r =
            run({"--sim", kReady, "grab", "-o", name, "--keep-raw", "--method", "good"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "saved " + name + " (1280 x 1024)\n");
        const std::string raw = slurp(folder / "still.raw");
        EXPECT_EQ(slurp(folder / "still.raw.txt"),
                  "width=1280 height=1024 bits=8 layout=RGGB bytes=1310720\n");
        const Picture picture = name.ends_with(".png") ? readPng(folder / name)
                                                       : readTiffOf<std::uint8_t>(folder / name);
        ASSERT_EQ(picture.width, 1280u);
        ASSERT_EQ(picture.height, 1024u);
        EXPECT_TRUE(picture.rgb ==
                    convertLikeTheTool(std::vector<std::uint8_t>(raw.begin(), raw.end())))
            << name;
    }
}

TEST_F(VocamTool, GrabNumbersItsFilesAndAppliesTheWindow) {
    Result r =
        run({"--sim", kReady, "grab", "-n", "3", "--window", "640x480+8+2", "-o", "f%02d.raw"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files(), (Names{"f01.raw", "f01.raw.txt", "f02.raw", "f02.raw.txt", "f03.raw",
                              "f03.raw.txt"}));
    EXPECT_EQ(fs::file_size(folder / "f02.raw"), 640u * 480u);
    // The window's offset moves the Bayer phase: row 2, column 8 is still red.
    EXPECT_EQ(slurp(folder / "f02.raw.txt"),
              "width=640 height=480 bits=8 layout=RGGB bytes=307200\n");
    r = run({"--sim", kReady, "grab", "-n", "2", "--subsample", "2", "-o", "sub.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readPng(folder / "sub-0002.png").width, 640u);
}

TEST_F(VocamTool, GrabRefusesBadInputWithOneLineAndLeavesNoFileBehind) {
    fs::create_directory(folder / "locked");
    fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    struct Refusal {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const bool root = geteuid() == 0;  // root writes into a read-only folder
    std::vector<Refusal> cases = {
        {{"--window", "640x480"},
         2,
         "error: window '640x480' is not WIDTHxHEIGHT+X+Y (for example 640x480+0+0)\n"},
        {{"--window", "641x480+0+0"},
         1,
         "error: the camera refused window 641x480+0+0 subsampling 1: it must lie inside 1280x1024 "
         "with sizes in "
         "steps of 8x2, subsampling 1 to 4\n"},
        {{"--window", "640x480+700+0"},
         1,
         "error: the camera refused window 640x480+700+0 subsampling 1: it must lie inside "
         "1280x1024 with sizes in "
         "steps of 8x2, subsampling 1 to 4\n"},
        {{"--method", "slow"}, 2, "error: method 'slow' is not none, fast, good, best or block\n"},
        {{"-o", "x.jpg"},
         2,
         "error: 'x.jpg': the file name must end in .png, .tif, .tiff or .raw\n"},
        {{"-o", "x%s.png"},
         2,
         "error: 'x%s.png': the only counter a file name may hold is one %d or %0Nd\n"},
        {{"-o", "missing/x.png"},
         1,
         "error: cannot write 'missing/x.png': folder 'missing' does not exist (create it or "
         "choose another file "
         "with -o)\n"},
    };
    if (!root)
        cases.push_back({{"-o", "locked/x.png"},
                         1,
                         "error: cannot write 'locked/x.png': Permission denied (choose another "
                         "file with -o)\n"});
    for (const Refusal &c : cases) {
        std::vector<std::string> args = {"--sim", kReady, "grab"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = run(args);
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(files(), (Names{"locked"}));
    EXPECT_TRUE(fs::is_empty(folder / "locked"));
}

TEST_F(VocamTool, CtrlCEndsStreamAndGrabCleanlyWithEveryFileComplete) {
    Child stream(folder, {"--sim", "model_02:state=ready:fps=50", "stream"});
    ASSERT_TRUE(stream.waitForOutput("frames/s"));
    stream.signal(SIGINT);
    Result r = stream.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" frames in "), std::string::npos) << r.out;

    Child grab(folder,
               {"--sim", "model_02:state=ready:fps=20", "grab", "-n", "1000", "-o", "g.png"});
    ASSERT_TRUE(grab.waitForOutput("saved g-0002.png"));
    grab.signal(SIGINT);
    r = grab.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error: interrupted after "), std::string::npos) << r.err;
    const auto names = files();
    EXPECT_GE(names.size(), 2u);
    EXPECT_LT(names.size(), 1000u);
    for (const auto &name : names) {
        EXPECT_EQ(name.rfind("g-", 0), 0u) << name;  // no temporary file left
        EXPECT_EQ(readPng(folder / name).width, 1280u) << name;
    }

    r = run({"--sim", "model_02:state=ready:fps=50", "stream", "--seconds", "1.2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("frames/s  "), std::string::npos) << r.out;  // the per-second line
    EXPECT_NE(r.out.find(" frames in 1."), std::string::npos) << r.out;
    // Drops are the library's count of frames read over before being taken;
    // both lines carry it as a number.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("  dropped [0-9]+  CPU "))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(" MB/s, [0-9]+ dropped, CPU "))) << r.out;
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
        const Result r =
            run({"convert", "in.raw", "-o", "out.tiff", "--method", c.method, "--threads", "3"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "saved out.tiff (64 x 48, 48 bits)\n");
        const DeepPicture picture = readTiffOf<std::uint16_t>(folder / "out.tiff");
        ASSERT_EQ(picture.width, w) << c.layout;
        ASSERT_EQ(picture.height, h);
        const std::uint32_t flags = c.flags | (c.lsbFirst ? VOCAM_LAYOUT_LSB_FIRST : 0);
        EXPECT_TRUE(picture.rgb == engine48(raw, w, h, flags, c.methodId)) << c.layout;
    }

    // PNG stays 8 bits a sample; a raw copy gets today's description.
    ASSERT_EQ(run({"convert", "in.raw", "-o", "out.png"}).status, 0);
    EXPECT_EQ(readPng(folder / "out.png").width, w);
    ASSERT_EQ(run({"convert", "in.raw", "-o", "copy.raw"}).status, 0);
    EXPECT_EQ(slurp(folder / "copy.raw"), slurp(folder / "in.raw"));
    EXPECT_EQ(slurp(folder / "copy.raw.txt"),
              "width=64 height=48 bits=16 layout=BGGR bytes=6144 order=lsb-first\n");
}

TEST_F(VocamTool, ConvertAndGrabRefuseDamagedFramesAndBadThreadCountsWithOneLine) {
    writeText(folder / "in.raw", std::string(6144, '\x11'));
    const std::string good = "width=64 height=48 bits=16 layout=RGGB bytes=6144";
    const std::string hint = " (expected the .raw and .raw.txt that vocam grab writes)\n";
    struct Refusal {
        std::string description;  // of in.raw; the frame itself is 6144 bytes
        std::string err;
    };
    for (const Refusal &c : std::vector<Refusal>{
             {"width=64 height=48 bits=16 layout=RGGB bytes=8192",
              "error: 'in.raw.txt': bytes= does not match width x height x 2" + hint},
             {"width=64 height=64 bits=16 layout=RGGB bytes=8192",
              "error: 'in.raw': the frame holds 6144 bytes, its description says 8192" + hint},
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
    Result r = run({"convert", "in.raw", "-o", "out.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "error: cannot read 'in.raw.txt': " + std::string(std::strerror(ENOENT)) + "\n");
    EXPECT_EQ(files(), (Names{"in.raw"}));  // no picture left behind

    for (const std::vector<std::string> &command :
         {std::vector<std::string>{"grab"}, {"convert", "in.raw", "-o", "x.png"}}) {
        std::vector<std::string> args = {"--sim", kReady};
        args.insert(args.end(), command.begin(), command.end());
        args.insert(args.end(), {"--threads", "9"});
        r = run(args);
        EXPECT_EQ(r.status, 2) << command[0];
        EXPECT_EQ(r.err, "error: --threads must be 0 (the cores, up to 8) to 8\n") << command[0];
    }
    r = run({"--sim", kReady, "grab", "--threads", "2", "-o", "t.png"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(VocamTool, ACameraHeldByAnotherProgramIsNamedAsInUse) {
    for (const std::vector<std::string> &command :
         {std::vector<std::string>{"info"}, {"grab", "-o", "x.png"}, {"get", "exposure"}}) {
        std::vector<std::string> args = {"--sim", "model_02:state=ready:busy=1000"};
        args.insert(args.end(), command.begin(), command.end());
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << command[0];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("in use by another program"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(files(), Names{});
    // Once the other program lets go the camera is there as always.
    EXPECT_EQ(run({"--sim", "model_02:state=ready:busy=0", "get", "exposure"}).status, 0);
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
    const std::string out = slurp(folder / "stdout");
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
    EXPECT_NE(
        r.out.find("saved in/image-0001.png (4 x 2)\n1 image(s) saved, 3 message(s) rejected\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(
        r.err,
        "error: rejected a message: malformed header '@Image width=4 height=-2 type=BMP' (expected "
        "'@Image width=W height=H type=BMP' or '@Quit')\n"
        "error: rejected a message: short image body, 19 of 24 bytes\n"
        "error: rejected a message: no complete header line (got '@Image width=4')\n"
        "error: 3 message(s) were rejected\n");
    const Picture saved = readPng(folder / "in/image-0001.png");
    EXPECT_EQ(std::string(saved.rgb.begin(), saved.rgb.end()), pixels);
    EXPECT_EQ(fs::directory_iterator(folder / "in")->path().filename(),
              "image-0001.png");  // nothing else

    Child clean(folder, {"receive", "--port", "0", "--out", "in"});
    ASSERT_TRUE(clean.waitForOutput("listening"));
    sendMessage(listeningPort(folder),
                "@Image width=640 height=480 type=BMP\n" + std::string(921600, 'x'));
    sendMessage(listeningPort(folder), "@Quit\n");
    EXPECT_EQ(clean.finish().status, 0);
    EXPECT_EQ(readPng(folder / "in/image-0001.png").width, 640u);
}

}  // namespace
