#include "analysis/quality_numbers.h"

#include <cmath>
#include <filesystem>

#include "formats/confounds.h"

namespace ldi {

std::vector<float> framewiseDisplacement(const RunRequest& run) {
    ConfoundTable table;
    std::string ignored;
    if (run.confoundsPath.empty() || !readConfounds(run.confoundsPath, {"framewise_displacement"}, 0, table, ignored) ||
        table.columns.empty())
        return {};
    return std::vector<float>(table.columns.front().begin(), table.columns.front().end());
}

std::vector<RunQualityNumbers> qualityNumbers(const AnalysisResults& results) {
    std::vector<RunQualityNumbers> numbers;
    for (std::size_t r = 0; r < results.quality.size() && r < results.record.runs.size(); ++r) {
        const RunQuality& quality = results.quality[r];
        RunQualityNumbers run;
        run.run = std::filesystem::path(results.record.runs[r].path).filename().string();
        run.timePoints = quality.volumes;
        run.skipped = quality.skipped;
        run.medianTsnr = medianOf(quality.tsnr, results.analysed);
        run.voxelsAnalysed = results.analysedCount;
        const std::vector<float>& fd = quality.framewiseDisplacement;
        double sum = 0.0;
        int32_t count = 0;
        for (std::size_t t = static_cast<std::size_t>(quality.skipped); t < fd.size(); ++t)
            if (std::isfinite(fd[t])) {
                sum += fd[t];
                ++count;
            }
        run.fdKnown = count > 0 && fd.size() == static_cast<std::size_t>(quality.volumes);
        run.meanFd = run.fdKnown ? sum / count : 0.0;
        numbers.push_back(run);
    }
    return numbers;
}

nlohmann::json qualityJson(const std::vector<RunQualityNumbers>& numbers) {
    nlohmann::json runs = nlohmann::json::array();
    for (const RunQualityNumbers& run : numbers) {
        nlohmann::json entry{{"Run", run.run},
                             {"TimePoints", run.timePoints},
                             {"SkippedVolumes", run.skipped},
                             {"MedianTemporalSNR", std::round(run.medianTsnr * 100.0) / 100.0},
                             {"VoxelsAnalysed", run.voxelsAnalysed}};
        if (run.fdKnown) entry["MeanFramewiseDisplacement"] = std::round(run.meanFd * 1e4) / 1e4;
        runs.push_back(entry);
    }
    return runs;
}

}  // namespace ldi
