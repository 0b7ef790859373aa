// The pieces of ldi's HTML reports that need no drawing library: text made
// safe for HTML, base64 for the data: URIs that keep a report in one file,
// the summary of a map's p-values, and the plots drawn as inline SVG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ldi {

// `text` with &, <, >, " and ' as character references.
std::string htmlText(std::string_view text);

// RFC 4648 base64 with padding.
std::string base64(std::string_view bytes);

// What a calibration plot needs of a map's p-values: their histogram and
// evenly spaced order statistics for a QQ plot against the uniform.
struct PValueSummary {
    int64_t count = 0;
    std::vector<int64_t> histogram;  // equal bins over [0, 1]; p = 1 falls in the last
    std::vector<double> expected;    // uniform quantiles (i + 0.5) / n of the ranks kept
    std::vector<double> observed;    // the p-values at those ranks, ascending
};

// The summary of the finite p-values in [0, 1] (`bins` bins, at most
// `points` order statistics, the smallest and largest always among them).
PValueSummary summarisePValues(std::vector<float> pValues, std::size_t bins = 20, std::size_t points = 400);

// The histogram as an SVG bar chart with the uniform's height marked.
std::string histogramSvg(const PValueSummary& summary, const std::string& title);

// Observed against expected -log10 p, with the identity line.
std::string qqSvg(const PValueSummary& summary, const std::string& title);

// The lowest and highest finite values; false (low and high untouched)
// when there is none.
bool finiteRange(const std::vector<float>& values, double& low, double& high);

// A shaded span of volumes (1-based, both ends included) of one condition.
struct Shade {
    int32_t first = 0, last = 0;
    std::size_t condition = 0;  // index into the legend's names
};

// A time course against its volumes, the conditions' spans shaded beneath
// it in their own colours, with a legend.
std::string timeCourseSvg(const std::vector<float>& values, const std::vector<Shade>& shades,
                          const std::vector<std::string>& conditions, const std::string& title);

}  // namespace ldi
