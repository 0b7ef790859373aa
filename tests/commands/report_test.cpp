// The HTML reports: their pieces (base64 against the standard's vectors, the
// p-value summary against a direct count, text made safe), and the reports
// ldi map and ldi bids write: one file each, named after the run, that
// refers to nothing outside itself and holds what it promises.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "support/host_test_support.h"
#include "pictures/report.h"
#include "pictures/report_parts.h"
#include "simulation/simulate.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

namespace fs = std::filesystem;

// Every src and href of a page: data: URIs and links within the page only.
void expectSelfContained(const std::string& html, const std::string& what) {
    int references = 0;
    for (const std::string attribute : {"src=\"", "href=\""})
        for (std::size_t at = html.find(attribute); at != std::string::npos; at = html.find(attribute, at + 1)) {
            const std::string target = html.substr(at + attribute.size(), 40);
            EXPECT_TRUE(target.rfind("data:", 0) == 0 || target.rfind("#", 0) == 0) << what << ": " << target;
            ++references;
        }
    EXPECT_GT(references, 0) << what;
    // The only address is the SVG namespace, a name that is never fetched.
    std::string rest = html;
    for (std::size_t at; (at = rest.find("http://www.w3.org/2000/svg")) != std::string::npos;) rest.erase(at, 26);
    EXPECT_EQ(rest.find("http://"), std::string::npos) << what;
    EXPECT_EQ(rest.find("https://"), std::string::npos) << what;
    EXPECT_EQ(rest.find("@import"), std::string::npos) << what;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(ReportParts, Base64AndHtmlText) {
    // RFC 4648, section 10.
    const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) EXPECT_EQ(base64(plain), encoded) << plain;
    EXPECT_EQ(base64(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(htmlText("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
}

TEST(ReportParts, PValueSummaryAgainstADirectCount) {
    std::vector<float> p;
    for (int i = 0; i < 1000; ++i) p.push_back((i + 0.5f) / 1000.0f);
    p.push_back(1.0f);                    // in the last bin
    p.push_back(0.0f);                    // in the first
    p.push_back(std::nanf(""));           // left out
    p.push_back(1.5f);                    // left out
    const PValueSummary s = summarisePValues(p, 10, 50);
    EXPECT_EQ(s.count, 1002);
    ASSERT_EQ(s.histogram.size(), 10u);
    for (std::size_t b = 0; b < 10; ++b) {
        int64_t expected = 0;
        for (float v : p)
            if (v >= 0.0f && v <= 1.0f && std::min<std::size_t>(std::size_t(v * 10), 9) == b) ++expected;
        EXPECT_EQ(s.histogram[b], expected) << b;
    }
    ASSERT_EQ(s.observed.size(), 50u);
    EXPECT_EQ(s.observed.front(), 0.0f);
    EXPECT_EQ(s.observed.back(), 1.0f);
    EXPECT_TRUE(std::is_sorted(s.observed.begin(), s.observed.end()));
    EXPECT_TRUE(std::is_sorted(s.expected.begin(), s.expected.end()));
    // Uniform p-values lie on the identity.
    for (std::size_t i = 0; i < s.observed.size(); ++i) EXPECT_NEAR(s.observed[i], s.expected[i], 0.002) << i;
    const std::string svg = qqSvg(s, "QQ <map>") + histogramSvg(s, "p") + timeCourseSvg({1, 2, 3}, {{1, 2, 0}}, {"Task"}, "t");
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    EXPECT_NE(svg.find("QQ &lt;map&gt;"), std::string::npos);
    EXPECT_EQ(count(svg, "<svg"), count(svg, "</svg>"));
    // Nothing to summarise: no bins filled, no points, still a plot.
    const PValueSummary none = summarisePValues({});
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(none.observed.empty());
    EXPECT_EQ(histogramSvg(none, "none").find("nan"), std::string::npos);
}

// The demo's NIfTI run through ldi map: the report beside the maps.
TEST(Report, LdiMapWritesOneSelfContainedReport) {
    TestTempDir dir;
    ASSERT_EQ(runLdi({"simulate", "sim", "--format", "nifti", "--seed", "3"}, dir.root()).status, 0);
    const std::vector<std::string> map{"map", "--bold", "sim/sub-sim/func/sub-sim_task-blocks_bold.nii.gz",
                                       "--events", "sim/sub-sim/func/sub-sim_task-blocks_events.tsv",
                                       "--seed", "Reference=sim/reference_mask.nii.gz", "--rng-seed", "5",
                                       "--surrogates", "200", "--quiet"};
    std::vector<std::string> permutation = map;
    permutation.insert(permutation.end(), {"--out", "perm"});
    const ProcessResult run = runLdi(permutation, dir.root());
    ASSERT_EQ(run.status, 0) << run.all();
    const std::string path = dir.path("perm/sub-sim_task-blocks_ldi-report.html");
    ASSERT_TRUE(fs::exists(path));
    const std::string html = readWholeFile(path);
    expectSelfContained(html, path);
    EXPECT_NE(html.find("ldi map --bold sim/sub-sim/func/sub-sim_task-blocks_bold.nii.gz"), std::string::npos);
    EXPECT_NE(html.find("sub-sim_task-blocks_bold.nii.gz"), std::string::npos) << "the inputs";
    EXPECT_NE(html.find("Reference: "), std::string::npos) << "the seed's voxels";
    // Two conditions, six kinds: twelve maps, each thresholded and
    // unthresholded, the seed, the run's temporal SNR and carpet plot, each a
    // picture; the seed's time course; the five kinds with p-values each a
    // histogram and a QQ plot.
    EXPECT_EQ(count(html, "<img src=\"data:image/png;base64,"), 27u);
    EXPECT_EQ(count(html, ", unthresholded\">"), 12u) << "every map also unthresholded";
    EXPECT_EQ(count(html, "alt=\"temporal SNR: sub-sim_task-blocks_bold.nii.gz\""), 1u);
    EXPECT_EQ(count(html, "alt=\"carpet plot: sub-sim_task-blocks_bold.nii.gz\""), 1u);
    EXPECT_NE(html.find("<th>time points</th><td>240 (0 skipped)</td>"), std::string::npos);
    EXPECT_NE(html.find("<th>median temporal SNR</th>"), std::string::npos);
    EXPECT_NE(html.find("<th>time points per condition</th><td>Rest 120, Task 120</td>"), std::string::npos);
    // The simulated run's report, the NiiVue bundle within it, stays under 5 MB.
    EXPECT_LT(html.size(), 5000000u);
    EXPECT_EQ(count(html, "aria-label=\"seed Reference, run 1"), 1u);
    EXPECT_EQ(count(html, "aria-label=\"p-values: "), 10u);
    EXPECT_EQ(count(html, "aria-label=\"QQ: "), 10u);
    EXPECT_NE(html.find("<h2 id=\"warnings\">"), std::string::npos);

    // The maps' pictures are drawn side by side: on one thread the report is
    // the same, picture for picture and in the same order, but for the date
    // and the command that made it.
    std::vector<std::string> alone = map;
    alone.insert(alone.end(), {"--threads", "1", "--out", "one"});
    ASSERT_EQ(runLdi(alone, dir.root()).status, 0);
    const auto comparable = [](std::string page) {
        page = std::regex_replace(page, std::regex("<th>date</th><td>[^<]*</td>"), "");
        return std::regex_replace(page, std::regex("<pre>ldi map [^<]*</pre>"), "");
    };
    const std::string aloneHtml = readWholeFile(dir.path("one/sub-sim_task-blocks_ldi-report.html"));
    EXPECT_EQ(count(aloneHtml, "<img src=\"data:image/png;base64,"), 27u);
    EXPECT_TRUE(comparable(aloneHtml) == comparable(html));
    // ... and in the order of the maps (as the viewer lists them): per
    // condition, the six kinds in turn.
    std::vector<std::string> kinds;
    const std::regex heading("<option value=\"[0-9]+\">Reference: [^:<]*: ([^<]*)</option>");
    for (std::sregex_iterator at(html.begin(), html.end(), heading), end; at != end; ++at) kinds.push_back((*at)[1]);
    const std::vector<std::string> six{"Ref2Vox", "Vox2Ref", "Inst", "dLDI", "dLDI IT", "dLDI RC"};
    std::vector<std::string> twice = six;
    twice.insert(twice.end(), six.begin(), six.end());
    EXPECT_EQ(kinds, twice);

    // The plug-in's rule has no p-values: the calibration says so.
    std::vector<std::string> plugin = map;
    plugin.insert(plugin.end(), {"--fdr", "plugin", "--out", "plugin"});
    ASSERT_EQ(runLdi(plugin, dir.root()).status, 0);
    const std::string pluginHtml = readWholeFile(dir.path("plugin/sub-sim_task-blocks_ldi-report.html"));
    EXPECT_EQ(count(pluginHtml, "aria-label=\"QQ: "), 0u);
    EXPECT_NE(pluginHtml.find("gives no p-value per voxel"), std::string::npos);
    EXPECT_EQ(reportFileName(""), "ldi-report.html");
}

// A simulated study: a report per subject and task, and one of the group.
TEST(Report, BidsParticipantAndGroupReports) {
    TestTempDir dir;
    ASSERT_EQ(runLdi({"simulate", "--bids", "data", "--subjects", "3"}, dir.root()).status, 0);
    const ProcessResult participant =
        runLdi({"bids", "data", "out", "participant", "--seed", "Reference=data/" + std::string(SIM_SEED_MASK_FILE), "--rng-seed", "2",
                "--surrogates", "100", "--quiet"}, dir.root());
    ASSERT_EQ(participant.status, 0) << participant.all();
    for (const std::string subject : {"01", "02", "03"}) {
        const std::string path =
            dir.path("out/sub-" + subject + "/func/sub-" + subject + "_task-blocks_ldi-report.html");
        ASSERT_TRUE(fs::exists(path)) << path;
        const std::string html = readWholeFile(path);
        expectSelfContained(html, path);
        EXPECT_NE(html.find("ldi bids data out participant"), std::string::npos);
    }
    const ProcessResult group =
        runLdi({"bids", "data", "out", "group", "--rng-seed", "2", "--permutations", "200"}, dir.root());
    ASSERT_EQ(group.status, 0) << group.all();
    EXPECT_NE(group.out.find("report in out/group/group_ldi-report.html"), std::string::npos) << group.out;
    const std::string html = readWholeFile(dir.path("out/group/group_ldi-report.html"));
    expectSelfContained(html, "group report");
    EXPECT_GT(count(html, "<img src=\"data:image/png;base64,"), 2u);
    EXPECT_GT(count(html, "aria-label=\"QQ: "), 0u);
    EXPECT_EQ(html.find("not in the report"), std::string::npos);
    // What the group level warned of on standard error, the report lists.
    std::istringstream lines(group.err);
    std::size_t warnings = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string prefix = "ldi: warning: ";
        if (line.rfind(prefix, 0) != 0) continue;
        ++warnings;
        EXPECT_NE(html.find("<li class=\"warning\">" + line.substr(prefix.size()) + "</li>"), std::string::npos)
            << line;
    }
    EXPECT_GT(warnings, 0u) << group.err;  // three subjects reach no q
    EXPECT_EQ(html.find("<p>None.</p>"), std::string::npos);
    // A level no voxel reaches has no threshold, as the sidecars' null says.
    EXPECT_NE(html.find("<td>none</td>"), std::string::npos);
    // No link to a section the group report does not have.
    EXPECT_EQ(html.find("href=\"#seeds\""), std::string::npos);
    // A row of data-quality numbers per subject's run, from its participant record.
    for (const std::string subject : {"01", "02", "03"}) {
        EXPECT_EQ(count(html, "<tr><td>sub-" + subject + "</td><td>sub-" + subject + "_task-blocks_bold.nii.gz</td>"), 1u)
            << subject;
        const std::string record = readWholeFile(dir.path("out/sub-" + subject + "/sub-" + subject + "_participant.json"));
        EXPECT_NE(record.find("\"MedianTemporalSNR\""), std::string::npos) << subject;
    }
}
