// The reports in a real browser: headless Chromium opens each kind of report
// (ldi map's, a participant's, the group's) from the disk with the network
// unused; the test fails on any console error (a script that throws, an
// image that does not decode, the slice viewer failing to start) and on a
// screenshot that is all one colour. Skipped when Chromium is not installed
// (scripts/bootstrap installs it with the test packages).
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "support/host_test_support.h"
#include "simulation/simulate.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

namespace fs = std::filesystem;

std::string chromiumPath() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (fs::exists(path)) return path;
    return std::string();
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs Chromium on a page with the flags of a machine without a network or
// a GPU (WebGL through SwiftShader); `mode` is --dump-dom or --screenshot=PATH.
// Its standard error (the console, logged) goes to `log`.
int runChromium(const std::string& page, const std::string& mode, const std::string& folder, const std::string& out,
                const std::string& log, const std::string& windowHeight = "2400") {
    const std::string profile = folder + "/profile";
    fs::remove_all(profile);
    fs::create_directories(profile);
    const std::string command =
        "timeout 180 " + quoted(chromiumPath()) +
        " --headless --no-sandbox --disable-gpu --enable-unsafe-swiftshader --use-angle=swiftshader --disable-quic"
        " --no-first-run --disable-background-networking --disable-component-update --disable-sync"
        " --disable-dev-shm-usage --user-data-dir=" + quoted(profile) +
        " --enable-logging=stderr --v=0 --window-size=1280," + windowHeight + " --virtual-time-budget=30000 " + mode + " " +
        quoted("file://" + fs::absolute(page).string()) + " >" + quoted(out) + " 2>" + quoted(log);
    return std::system(command.c_str());
}

// The console's messages in Chromium's log: lines holding ":CONSOLE".
std::vector<std::string> consoleLines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find(":CONSOLE") != std::string::npos) lines.push_back(line);
    return lines;
}

// The distinct colours (up to 100) of a screenshot, or of the part of it
// inside `box` (left, top, width, height) when one is given.
std::size_t distinctColours(const std::string& path, std::vector<int> box = {}) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return 0;
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return 0;
    }
    const int width = int(image.width), height = int(image.height);
    if (box.size() != 4) box = {0, 0, width, height};
    std::set<uint32_t> colours;
    for (int y = std::max(box[1], 0); y < std::min(box[1] + box[3], height) && colours.size() < 100; ++y)
        for (int x = std::max(box[0], 0); x < std::min(box[0] + box[2], width); ++x) {
            const std::size_t i = (std::size_t(y) * width + x) * 3;
            colours.insert((uint32_t(rgb[i]) << 16) | (uint32_t(rgb[i + 1]) << 8) | rgb[i + 2]);
        }
    return colours.size();
}

// The numbers of a data attribute of the page's body ("1,2,3,4"); empty when absent.
std::vector<int> attributeNumbers(const std::string& dom, const std::string& name) {
    const std::string key = name + "=\"";
    const std::size_t at = dom.find(key);
    std::vector<int> numbers;
    if (at == std::string::npos) return numbers;
    std::istringstream in(dom.substr(at + key.size(), dom.find('"', at + key.size()) - at - key.size()));
    for (std::string part; std::getline(in, part, ',');) numbers.push_back(std::atoi(part.c_str()));
    return numbers;
}

// The slice viewer is as wide as the page and at least 500 pixels high, and
// what it draws is not one colour: a screenshot of a window tall enough to
// hold it, cut to the place the page reported for it (less a margin, in
// case the page's scroll bar differs between the runs).
void checkViewer(const std::string& page, const std::string& dom, const std::string& folder) {
    const std::vector<int> box = attributeNumbers(dom, "data-viewer-rect");
    ASSERT_EQ(box.size(), 4u) << "the viewer did not say where it is";
    EXPECT_GE(box[2], 1100) << "the viewer is narrower than the page";
    EXPECT_GE(box[3], 500) << "the viewer is a strip";
    const std::string shot = folder + "/viewer.png", log = folder + "/viewer.log";
    ASSERT_EQ(runChromium(page, "--screenshot=" + quoted(shot), folder, folder + "/viewer.out", log,
                          std::to_string(box[1] + box[3] + 20)),
              0)
        << readWholeFile(log);
    EXPECT_GT(distinctColours(shot, {box[0] + 20, box[1] + 20, box[2] - 40, box[3] - 40}), 10u)
        << "the viewer shows nothing";
}

void checkInBrowser(const std::string& page, const std::string& folder) {
    SCOPED_TRACE(page);
    ASSERT_TRUE(fs::exists(page));
    const std::string dom = folder + "/dom.html", domLog = folder + "/dom.log";
    ASSERT_EQ(runChromium(page, "--dump-dom", folder, dom, domLog), 0) << readWholeFile(domLog);
    const std::string text = readWholeFile(dom);
    const std::vector<std::string> console = consoleLines(readWholeFile(domLog));
    for (const std::string& line : console) ADD_FAILURE() << "console: " << line;
    // Every image decoded (the page's own check ran), and the viewer started
    // or said that the browser has no WebGL2.
    EXPECT_NE(text.find("data-images=\"ok\""), std::string::npos) << text.substr(0, 400);
    if (text.find("id=\"viewer-canvas\"") != std::string::npos) {
        EXPECT_TRUE(text.find("data-viewer=\"ready\"") != std::string::npos ||
                    text.find("data-viewer=\"unavailable\"") != std::string::npos)
            << "the slice viewer neither started nor said why";
        if (text.find("data-viewer=\"ready\"") == std::string::npos)
            std::cerr << "note: " << page << ": this Chromium offers no WebGL2; the viewer was not started\n";
        else
            checkViewer(page, text, folder);
    }
    const std::string shot = folder + "/shot.png", shotLog = folder + "/shot.log";
    ASSERT_EQ(runChromium(page, "--screenshot=" + quoted(shot), folder, folder + "/shot.out", shotLog), 0)
        << readWholeFile(shotLog);
    for (const std::string& line : consoleLines(readWholeFile(shotLog))) ADD_FAILURE() << "console: " << line;
    EXPECT_GT(distinctColours(shot), 10u) << "the screenshot is blank";
}

}  // namespace

TEST(ReportInBrowser, EveryKindOfReportOpensWithoutAConsoleError) {
    if (chromiumPath().empty()) GTEST_SKIP() << "chromium is not installed (scripts/bootstrap installs it)";
    TestTempDir dir;
    ASSERT_EQ(runLdi({"simulate", "sim", "--format", "nifti", "--seed", "3"}, dir.root()).status, 0);
    const ProcessResult map = runLdi(
        {"map", "--bold", "sim/sub-sim/func/sub-sim_task-blocks_bold.nii.gz", "--events",
         "sim/sub-sim/func/sub-sim_task-blocks_events.tsv", "--seed", "Reference=sim/reference_mask.nii.gz",
         "--rng-seed", "5", "--surrogates", "200", "--quiet", "--out", "map"},
        dir.root());
    ASSERT_EQ(map.status, 0) << map.all();
    ASSERT_EQ(runLdi({"simulate", "--bids", "data", "--subjects", "2"}, dir.root()).status, 0);
    const ProcessResult participant =
        runLdi({"bids", "data", "out", "participant", "--seed", "Reference=data/" + std::string(SIM_SEED_MASK_FILE),
                "--rng-seed", "2", "--surrogates", "100", "--quiet"},
               dir.root());
    ASSERT_EQ(participant.status, 0) << participant.all();
    const ProcessResult group =
        runLdi({"bids", "data", "out", "group", "--rng-seed", "2", "--permutations", "100", "--quiet"}, dir.root());
    ASSERT_EQ(group.status, 0) << group.all();
    for (const std::string page : {"map/sub-sim_task-blocks_ldi-report.html",
                                   "out/sub-01/func/sub-01_task-blocks_ldi-report.html",
                                   "out/group/group_ldi-report.html"})
        checkInBrowser(dir.path(page), dir.root());
}
