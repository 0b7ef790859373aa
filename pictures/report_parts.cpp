#include "pictures/report_parts.h"
#include "stats/sorting.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ldi {

namespace {

constexpr const char* SHADE_COLOURS[] = {"#f4a261", "#2a9d8f", "#e76f51", "#8ab17d", "#9d4edd", "#e9c46a"};

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

std::string label(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
}

// An SVG document's opening with its title.
std::string svgOpen(int width, int height, const std::string& title) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) + "\" height=\"" +
           std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
           "\" role=\"img\" aria-label=\"" + htmlText(title) + "\"><title>" + htmlText(title) +
           "</title><rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>";
}

std::string line(double x1, double y1, double x2, double y2, const std::string& style) {
    return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" + number(y2) +
           "\" " + style + "/>";
}

std::string textAt(double x, double y, const std::string& content, const std::string& anchor = "middle") {
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" font-size=\"11\" font-family=\"sans-serif\" "
           "text-anchor=\"" + anchor + "\">" + htmlText(content) + "</text>";
}

// The frame of a plot: axes with their end values and names.
struct Axes {
    double left = 48, top = 24, width = 0, height = 0;
    double x(double f) const { return left + f * width; }
    double y(double f) const { return top + (1.0 - f) * height; }
};

std::string drawAxes(const Axes& a, const std::string& xName, const std::string& yName, double xTop, double yTop,
                     const std::string& title, double yLow = 0.0) {
    const std::string axis = "stroke=\"#333\" stroke-width=\"1\"";
    std::string svg = line(a.x(0), a.y(0), a.x(1), a.y(0), axis) + line(a.x(0), a.y(0), a.x(0), a.y(1), axis);
    svg += textAt(a.x(0), a.y(0) + 14, "0") + textAt(a.x(1), a.y(0) + 14, label(xTop));
    svg += textAt(a.x(0) - 4, a.y(0), label(yLow), "end") + textAt(a.x(0) - 4, a.y(1) + 4, label(yTop), "end");
    svg += textAt(a.x(0.5), a.y(0) + 28, xName);
    svg += "<text x=\"12\" y=\"" + number(a.y(0.5)) + "\" font-size=\"11\" font-family=\"sans-serif\" "
           "text-anchor=\"middle\" transform=\"rotate(-90 12 " + number(a.y(0.5)) + ")\">" + htmlText(yName) + "</text>";
    svg += textAt(a.x(0.5), 14, title);
    return svg;
}

}  // namespace

std::string htmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string base64(std::string_view bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) | uint8_t(bytes[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (two ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0u);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += two ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

PValueSummary summarisePValues(std::vector<float> pValues, std::size_t bins, std::size_t points) {
    PValueSummary summary;
    pValues.erase(std::remove_if(pValues.begin(), pValues.end(), [](float p) { return !(p >= 0.0f && p <= 1.0f); }),
                  pValues.end());
    sortAscending(pValues);
    summary.count = static_cast<int64_t>(pValues.size());
    summary.histogram.assign(std::max<std::size_t>(bins, 1), 0);
    for (float p : pValues) {
        const auto bin = static_cast<std::size_t>(static_cast<double>(p) * summary.histogram.size());
        ++summary.histogram[std::min(bin, summary.histogram.size() - 1)];
    }
    const std::size_t n = pValues.size();
    const std::size_t kept = std::min(n, std::max<std::size_t>(points, 2));
    for (std::size_t k = 0; k < kept; ++k) {
        const std::size_t rank = kept == 1 ? 0 : (k * (n - 1) + (kept - 1) / 2) / (kept - 1);
        summary.expected.push_back((static_cast<double>(rank) + 0.5) / static_cast<double>(n));
        summary.observed.push_back(pValues[rank]);
    }
    return summary;
}

std::string histogramSvg(const PValueSummary& summary, const std::string& title) {
    Axes a;
    a.width = 240;
    a.height = 140;
    std::string svg = svgOpen(300, 200, title);
    const auto bins = summary.histogram.size();
    int64_t highest = 1;
    for (int64_t c : summary.histogram) highest = std::max(highest, c);
    const double uniform = static_cast<double>(summary.count) / static_cast<double>(bins);
    const double top = std::max(static_cast<double>(highest), uniform) * 1.05;
    for (std::size_t b = 0; b < bins; ++b) {
        const double f = static_cast<double>(summary.histogram[b]) / top;
        svg += "<rect x=\"" + number(a.x(double(b) / bins)) + "\" y=\"" + number(a.y(f)) + "\" width=\"" +
               number(a.width / bins - 1) + "\" height=\"" + number(f * a.height) + "\" fill=\"#4a7ab5\"/>";
    }
    svg += line(a.x(0), a.y(uniform / top), a.x(1), a.y(uniform / top),
                "stroke=\"#c0392b\" stroke-dasharray=\"4 3\" stroke-width=\"1.5\"");
    svg += drawAxes(a, "p", "voxels", 1.0, top, title);
    return svg + "</svg>";
}

std::string qqSvg(const PValueSummary& summary, const std::string& title) {
    Axes a;
    a.width = 200;
    a.height = 140;
    std::string svg = svgOpen(300, 200, title);
    double top = 0.5;
    const auto minusLog = [](double p) { return -std::log10(std::max(p, 1e-300)); };
    for (std::size_t i = 0; i < summary.observed.size(); ++i)
        top = std::max({top, minusLog(summary.expected[i]), minusLog(summary.observed[i])});
    top *= 1.05;
    svg += line(a.x(0), a.y(0), a.x(1), a.y(1), "stroke=\"#c0392b\" stroke-dasharray=\"4 3\" stroke-width=\"1.5\"");
    for (std::size_t i = 0; i < summary.observed.size(); ++i)
        svg += "<circle cx=\"" + number(a.x(minusLog(summary.expected[i]) / top)) + "\" cy=\"" +
               number(a.y(minusLog(summary.observed[i]) / top)) + "\" r=\"1.8\" fill=\"#4a7ab5\"/>";
    svg += drawAxes(a, "expected -log10 p", "observed -log10 p", top, top, title);
    return svg + "</svg>";
}

bool finiteRange(const std::vector<float>& values, double& low, double& high) {
    bool any = false;
    for (float v : values)
        if (std::isfinite(v)) {
            low = any ? std::min(low, double(v)) : v;
            high = any ? std::max(high, double(v)) : v;
            any = true;
        }
    return any;
}

std::string timeCourseSvg(const std::vector<float>& values, const std::vector<Shade>& shades,
                          const std::vector<std::string>& conditions, const std::string& title) {
    Axes a;
    a.left = 60;
    a.width = 620;
    a.height = 150;
    std::string svg = svgOpen(700, 230, title);
    const double n = std::max<double>(static_cast<double>(values.size()), 1.0);
    double low = 0.0, high = 1.0;
    finiteRange(values, low, high);
    if (!(high > low)) high = low + 1.0;
    for (const Shade& s : shades)
        svg += "<rect x=\"" + number(a.x((s.first - 1) / n)) + "\" y=\"" + number(a.top) + "\" width=\"" +
               number(a.width * (s.last - s.first + 1) / n) + "\" height=\"" + number(a.height) + "\" fill=\"" +
               SHADE_COLOURS[s.condition % 6] + "\" fill-opacity=\"0.3\"/>";
    std::string path;
    for (std::size_t t = 0; t < values.size(); ++t) {
        if (!std::isfinite(values[t])) continue;
        path += (path.empty() ? "M" : " L") + number(a.x((t + 0.5) / n)) + " " + number(a.y((values[t] - low) / (high - low)));
    }
    svg += "<path d=\"" + path + "\" fill=\"none\" stroke=\"#222\" stroke-width=\"1.2\"/>";
    svg += drawAxes(a, "volume", "seed mean", n, high, title, low);
    double x = a.left;
    for (std::size_t c = 0; c < conditions.size(); ++c) {
        svg += "<rect x=\"" + number(x) + "\" y=\"214\" width=\"12\" height=\"10\" fill=\"" +
               std::string(SHADE_COLOURS[c % 6]) + "\" fill-opacity=\"0.6\"/>" + textAt(x + 16, 223, conditions[c], "start");
        x += 28 + 7.0 * static_cast<double>(conditions[c].size());
    }
    return svg + "</svg>";
}

}  // namespace ldi
