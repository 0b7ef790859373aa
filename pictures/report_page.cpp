#include "pictures/report_page.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "analysis/map_outputs.h"
#include "pictures/report_viewer.h"

namespace ldi {

namespace {

const char STYLE[] = R"(<style>
html{background:#fafafa}
body{font-family:sans-serif;margin:0 auto;max-width:1200px;padding:0 16px 40px}
/* NiiVue colours the page's body when it starts; the report keeps its own. */
html body{color:#222 !important;background:#fafafa !important}
h1{font-size:1.5em;margin:18px 0 4px}h2{border-bottom:1px solid #ccc;padding-bottom:4px;margin-top:32px}
h3{font-size:1.05em;margin:18px 0 6px}code,pre{background:#eee;padding:2px 4px;border-radius:3px}
pre{padding:8px;overflow-x:auto}table{border-collapse:collapse;margin:6px 0}
td,th{border:1px solid #ccc;padding:3px 8px;text-align:left;font-size:.92em}th{background:#eee}
figure{margin:10px 0 22px}figure img{max-width:100%;border:1px solid #999}
figcaption{font-size:.9em;margin-top:4px}.plots{display:flex;flex-wrap:wrap;gap:8px}
.pair{display:flex;gap:6px;align-items:flex-start}.pair img{min-width:0;flex:1 1 0;max-width:50%}
.warning{color:#8a4b00}nav a{margin-right:12px}
/* NiiVue fills the canvas's parent: the box gives the viewer its size. */
#viewer-box{width:100%;height:560px;background:#000}#viewer-box canvas{display:block;width:100%;height:100%}
@media print{#viewer,#viewer-box,nav{display:none}}
</style>
)";

// Runs when the page has loaded: an image that did not decode is an error
// the reader (and the browser test) must see.
const char IMAGE_CHECK[] = R"(<script>
window.addEventListener('load', () => {
  const missing = [...document.images].filter(i => !(i.complete && i.naturalWidth > 0));
  for (const i of missing) console.error('missing image: ' + i.alt);
  document.body.dataset.images = missing.length ? 'missing' : 'ok';
});
</script>
)";

// NiiVue from its bundle, read from the page itself (a blob: module: the
// bundle exports its own source, URL-encoded).
const char VIEWER_SCRIPT[] = R"(<script type="module">
const status = document.getElementById('viewer-status');
const data = JSON.parse(document.getElementById('viewer-data').textContent);
const canvas = document.getElementById('viewer-canvas');
const choice = document.getElementById('viewer-map');
if (!canvas.getContext('webgl2')) {
  status.textContent = 'This browser offers no WebGL2, which the viewer needs; the pictures above show every map.';
  document.body.dataset.viewer = 'unavailable';
} else {
  try {
    const raw = document.getElementById('niivue-bundle').textContent;
    const source = decodeURIComponent(raw.slice(raw.indexOf('"') + 1, raw.lastIndexOf('"')));
    const url = URL.createObjectURL(new Blob([source], {type: 'text/javascript'}));
    const {Niivue, NVImage} = await import(url);
    const nv = new Niivue({backColor: [0, 0, 0, 1], isRadiologicalConvention: false, logLevel: 'error',
      crosshairWidth: 0.3, crosshairColor: [0.2, 0.8, 1, 0.7], isColorbar: true});
    await nv.attachToCanvas(canvas);
    if (data.underlay)
      nv.addVolume(await NVImage.loadFromBase64({base64: data.underlay, name: 'underlay.nii.gz', colormap: 'gray'}));
    let overlay = null;
    // -1: the mean image alone; else a map over it.
    const show = async index => {
      if (overlay) nv.removeVolume(overlay);
      overlay = null;
      if (index >= 0) {
        const m = data.maps[index];
        overlay = await NVImage.loadFromBase64({base64: m.data, name: 'map.nii.gz', colormap: 'warm',
          colormapNegative: m.signed ? 'winter' : '', cal_min: m.min, cal_max: m.max});
        nv.addVolume(overlay);
      }
      nv.setSliceType(nv.sliceTypeMultiplanar);
    };
    choice.addEventListener('change', () => show(Number(choice.value)));
    await show(Number(choice.value));
    status.textContent = 'Click or drag to move through the slices; the list chooses the image.';
    // Where the viewer lies on the page, for whoever checks that it is shown.
    const box = canvas.getBoundingClientRect();
    document.body.dataset.viewerRect = [box.left, box.top, box.width, box.height].map(Math.round).join(',');
    document.body.dataset.viewer = 'ready';
  } catch (error) {
    status.textContent = 'The slice viewer could not start: ' + error;
    console.error('the slice viewer could not start: ' + error);
  }
}
</script>
)";

std::string h(const std::string& text) { return htmlText(text); }

std::string png(const std::string& bytes, const std::string& alt) {
    return "<img src=\"data:image/png;base64," + base64(bytes) + "\" alt=\"" + h(alt) + "\">";
}

std::string table(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::string html = "<table>";
    for (const auto& row : rows) html += "<tr><th>" + h(row.first) + "</th><td>" + h(row.second) + "</td></tr>";
    return html + "</table>\n";
}

std::string shortNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", value);
    return buffer;
}

std::string thresholdTable(const MapFigure& map) {
    if (map.levels.empty()) return "<p>No FDR thresholds: the map is shown at its display threshold.</p>";
    std::string html = "<table><tr><th>q</th><th>threshold</th><th>voxels passing</th></tr>";
    for (const auto& level : map.levels)
        html += "<tr><td>" + shortNumber(level[0]) + "</td><td>" +
                (std::isfinite(level[1]) ? shortNumber(level[1]) : std::string("none")) + "</td><td>" +
                (level[2] < 0 ? std::string("unknown") : std::to_string(static_cast<long long>(level[2]))) +
                "</td></tr>";
    return html + "</table>" + (map.method.empty() ? "" : "<p>FDR method: " + h(map.method) + "</p>") +
           (map.tail.empty() ? "" : "<p>" + h(map.tail) + "</p>");
}

std::string qualitySection(const ReportPage& page) {
    if (page.quality.empty() && page.qualityTable.rows.empty()) return std::string();
    std::string html = "<h2 id=\"quality\">Data quality</h2>\n";
    if (!page.qualityTable.rows.empty()) {
        html += "<p>One row a subject's run: a subject far from the others in a column is worth a look before "
                "its maps are trusted.</p><table><tr>";
        for (const std::string& column : page.qualityTable.columns) html += "<th>" + h(column) + "</th>";
        html += "</tr>";
        for (const auto& row : page.qualityTable.rows) {
            html += "<tr>";
            for (const std::string& cell : row) html += "<td>" + h(cell) + "</td>";
            html += "</tr>";
        }
        html += "</table>\n";
    }
    if (!page.quality.empty())
        html += "<p>Per run: the temporal SNR (each voxel's mean over its standard deviation in time, from the first "
                "analysed volume on) of the analysed voxels, and a carpet plot: a sample of voxels in rows (the "
                "seeds', the analysed, the others), each as z over time, under the global signal and, when the "
                "confounds give it, the framewise displacement; the skipped volumes shaded red, the conditions "
                "marked in their colours. Stripes across the carpet are volumes where much of the brain moved "
                "together: motion, or a scanner artefact.</p>\n";
    for (const QualitySection& run : page.quality) {
        html += "<h3>" + h(run.run) + "</h3>\n" + table(run.numbers);
        if (!run.tsnrPng.empty()) html += "<figure>" + png(run.tsnrPng, "temporal SNR: " + run.run) + "</figure>\n";
        if (!run.carpetPng.empty()) html += "<figure>" + png(run.carpetPng, "carpet plot: " + run.run) + "</figure>\n";
    }
    return html;
}

std::string seedsSection(const ReportPage& page) {
    if (page.seeds.empty()) return std::string();
    std::string html = "<h2 id=\"seeds\">Seeds</h2>\n";
    for (const SeedSection& seed : page.seeds) {
        html += "<h3>" + h(seed.name) + ": " + std::to_string(seed.voxels) + " voxels</h3>\n";
        if (!seed.png.empty()) html += "<figure>" + png(seed.png, "seed " + seed.name) + "</figure>\n";
        html += "<div class=\"plots\">";
        for (const std::string& svg : seed.timeCourses) html += svg;
        html += "</div><p>The seed's mean time course in every run; shaded: the volumes of each condition.</p>\n";
    }
    return html;
}

std::string mapsSection(const ReportPage& page) {
    std::string html = "<h2 id=\"maps\">Maps</h2>\n<p>Each map at its FDR threshold at q = 0.05 (or its first "
                       "level), values below it hidden; beside it, where shown, the same map unthresholded (every "
                       "value, the colours saturating at the 99th percentile of |value|, the same scale both sides), "
                       "so that a weak effect can be told from none. In a run's report the seed's own voxels are "
                       "outlined in green. "
                       "Axial slices from inferior to superior, world z in mm, neurological convention (the head's "
                       "left on the left).</p>\n";
    for (const MapFigure& map : page.maps) {
        const std::string title = (map.seed.empty() ? "" : "seed " + map.seed + ", ") + map.name;
        const std::string pictures =
            map.unthresholdedPng.empty()
                ? png(map.png, title)
                : "<div class=\"pair\">" + png(map.png, title) + png(map.unthresholdedPng, title + ", unthresholded") +
                      "</div>";
        html += "<figure>" + pictures + "<figcaption><b>" + h(title) + "</b>" + thresholdTable(map) +
                "</figcaption></figure>\n";
    }
    return html;
}

std::string calibrationSection(const ReportPage& page) {
    std::string html = "<h2 id=\"calibration\">Calibration</h2>\n<p>The p-values of the voxels that have a value, "
                       "against the uniform distribution they follow where nothing is coupled: a histogram (dashed: "
                       "the uniform's height) and a QQ plot (dashed: the identity). An excess of small p-values is "
                       "the signal; a bulk away from the uniform says the null does not fit.</p>\n";
    if (!page.calibrationNote.empty()) html += "<p>" + h(page.calibrationNote) + "</p>\n";
    for (const auto& entry : page.calibration)
        html += "<h3>" + h(entry.first) + " (" + std::to_string(entry.second.count) + " voxels)</h3><div class=\"plots\">" +
                histogramSvg(entry.second, "p-values: " + entry.first) + qqSvg(entry.second, "QQ: " + entry.first) +
                "</div>\n";
    return html;
}

// The viewer's data as JSON that cannot end its script element.
std::string viewerData(const ReportPage& page) {
    nlohmann::json data;
    data["underlay"] = page.viewerUnderlay.empty() ? std::string() : base64(page.viewerUnderlay);
    data["maps"] = nlohmann::json::array();
    for (const ViewerMap& map : page.viewerMaps)
        data["maps"].push_back({{"name", map.name},
                                {"data", base64(map.nifti)},
                                {"min", map.threshold},
                                {"max", map.top > map.threshold ? map.top : map.threshold + 1.0f},
                                {"signed", map.isSigned}});
    // A name that is no UTF-8 is shown with a replacement character rather than stopping the report.
    std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at)) text.replace(at, 1, "\\u003c");
    return text;
}

std::string viewerSection(const ReportPage& page) {
    if (page.viewerMaps.empty()) return std::string();
    std::string html = "<h2 id=\"viewer\">Slice viewer</h2>\n";
    const std::string_view bundle = niivueBundle();
    if (bundle.empty()) return html + "<p>This ldi was built without the slice viewer (NiiVue, installed from npm by "
                                      "scripts/bootstrap); the pictures above show every map.</p>\n";
    html += "<p><label>Image: <select id=\"viewer-map\">";
    for (std::size_t m = 0; m < page.viewerMaps.size(); ++m)
        html += "<option value=\"" + std::to_string(m) + "\">" + h(page.viewerMaps[m].name) + "</option>";
    if (!page.viewerUnderlay.empty()) html += "<option value=\"-1\">the mean image alone</option>";
    html += "</select></label> <span id=\"viewer-status\">Loading the viewer...</span></p>\n"
            "<div id=\"viewer-box\"><canvas id=\"viewer-canvas\"></canvas></div>\n";
    html += "<script type=\"application/json\" id=\"viewer-data\">" + viewerData(page) + "</script>\n";
    html += "<script type=\"text/plain\" id=\"niivue-bundle\">" + std::string(bundle) + "</script>\n";
    return html + VIEWER_SCRIPT;
}

}  // namespace

std::string renderReportPage(const ReportPage& page) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
                       h(page.title) + "</title>\n" + STYLE + "</head><body>\n";
    html += "<h1>" + h(page.title) + "</h1>\n<p>ldi " + h(ldiVersion) + "</p>\n";
    // The seeds' link only where the page has their section (a group report has none).
    const bool quality = !page.quality.empty() || !page.qualityTable.rows.empty();
    html += std::string("<nav><a href=\"#summary\">Summary</a>") +
            (quality ? "<a href=\"#quality\">Data quality</a>" : "") +
            (page.seeds.empty() ? "" : "<a href=\"#seeds\">Seeds</a>") + "<a href=\"#maps\">Maps</a>"
            "<a href=\"#calibration\">Calibration</a><a href=\"#warnings\">Warnings</a><a href=\"#viewer\">Viewer</a></nav>\n";
    html += "<h2 id=\"summary\">Summary</h2>\n";
    if (!page.commandLine.empty()) html += "<p>Command:</p><pre>" + h(page.commandLine) + "</pre>\n";
    html += table(page.facts);
    html += "<h3>Inputs</h3>\n" + table(page.inputs);
    if (!page.orderTable.empty()) html += "<h3>Model order</h3><pre>" + h(page.orderTable) + "</pre>\n";
    html += qualitySection(page) + seedsSection(page) + mapsSection(page) + calibrationSection(page);
    html += "<h2 id=\"warnings\">Warnings</h2>\n";
    if (page.warnings.empty()) html += "<p>None.</p>\n";
    else {
        html += "<ul>";
        for (const std::string& warning : page.warnings) html += "<li class=\"warning\">" + h(warning) + "</li>";
        html += "</ul>\n";
    }
    html += viewerSection(page);
    return html + IMAGE_CHECK + "</body></html>\n";
}

}  // namespace ldi
