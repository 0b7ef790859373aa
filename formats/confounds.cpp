#include "formats/confounds.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "formats/nifti_image.h"

namespace ldi_host {

namespace {

std::vector<std::string> tabFields(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

bool isMissing(const std::string& text) { return text == "n/a" || text == "NaN" || text == "nan" || text.empty(); }

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};

}  // namespace

bool readConfounds(const std::string& path, const std::vector<std::string>& patterns, int32_t first,
                   ConfoundTable& table, std::string& problem) {
    table = ConfoundTable();
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        problem = "cannot read the confounds table " + path;
        return false;
    }
    const std::vector<std::string> header = tabFields(line);
    // Columns in the table's order, each once however many patterns name it.
    std::vector<std::size_t> chosen;
    for (const std::string& pattern : patterns) {
        bool matched = false;
        for (std::size_t c = 0; c < header.size(); ++c) {
            if (fnmatch(pattern.c_str(), header[c].c_str(), 0) != 0) continue;
            matched = true;
            bool known = false;
            for (const std::size_t k : chosen) known = known || k == c;
            if (!known) chosen.push_back(c);
        }
        if (!matched) {
            std::string names;
            for (std::size_t c = 0; c < header.size() && c < 40; ++c) names += (c == 0 ? "" : ", ") + header[c];
            if (header.size() > 40) names += ", ...";
            problem = path + ": no column matches --confounds " + pattern + " (the columns: " + names + ")";
            return false;
        }
    }
    std::sort(chosen.begin(), chosen.end());
    for (const std::size_t c : chosen) table.names.push_back(header[c]);
    table.columns.assign(chosen.size(), std::vector<double>());
    std::vector<std::vector<bool>> missing(chosen.size());
    for (int lineNumber = 2; std::getline(in, line); ++lineNumber) {
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> fields = tabFields(line);
        if (fields.size() != header.size()) {
            problem = path + ", line " + std::to_string(lineNumber) + ": " + std::to_string(fields.size()) +
                      " fields where the header names " + std::to_string(header.size());
            return false;
        }
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const std::string& text = fields[chosen[k]];
            double value = 0.0;
            const bool absent = isMissing(text);
            if (!absent) {
                errno = 0;
                char* end = nullptr;
                value = std::strtod(text.c_str(), &end);
                if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) {
                    problem = path + ", line " + std::to_string(lineNumber) + ": column " + table.names[k] +
                              " holds '" + text + "', not a number or n/a";
                    return false;
                }
            }
            table.columns[k].push_back(value);
            missing[k].push_back(absent);
        }
    }
    table.missing.assign(chosen.size(), 0);
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        double sum = 0.0;
        std::size_t known = 0;
        for (std::size_t t = static_cast<std::size_t>(std::max(first, 0)); t < missing[k].size(); ++t)
            if (!missing[k][t]) {
                sum += table.columns[k][t];
                ++known;
            }
        if (known == 0) {
            problem = path + ": column " + table.names[k] + " holds no number";
            return false;
        }
        for (std::size_t t = 0; t < missing[k].size(); ++t)
            if (missing[k][t]) {
                table.columns[k][t] = sum / static_cast<double>(known);
                ++table.missing[k];
            }
    }
    return true;
}

bool ConfoundFit::build(const ConfoundTable& table, int32_t volumes, int32_t first, std::string& problem) {
    first_ = first;
    volumes_ = volumes;
    basis_.clear();
    const std::size_t length = static_cast<std::size_t>(volumes - first);
    for (std::size_t k = 0; k < table.columns.size(); ++k)
        if (table.columns[k].size() != static_cast<std::size_t>(volumes)) {
            problem = "the confounds table has " + std::to_string(table.columns[k].size()) + " rows, the run " +
                      std::to_string(volumes) + " volumes";
            return false;
        }
    if (static_cast<std::size_t>(table.columns.size()) + 2 > length) {
        problem = std::to_string(table.columns.size()) + " confounds leave no degrees of freedom in " +
                  std::to_string(length) + " volumes";
        return false;
    }
    // Modified Gram-Schmidt, twice over for accuracy: the constant, then each
    // column in turn. A column that keeps almost nothing of its own length is
    // constant or a combination of the ones before it.
    for (std::size_t k = 0; k <= table.columns.size(); ++k) {
        std::vector<double> v(length);
        for (std::size_t t = 0; t < length; ++t)
            v[t] = k == 0 ? 1.0 : table.columns[k - 1][t + static_cast<std::size_t>(first)];
        double original = 0.0;
        for (const double x : v) original += x * x;
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& q : basis_) {
                double dot = 0.0;
                for (std::size_t t = 0; t < length; ++t) dot += q[t] * v[t];
                for (std::size_t t = 0; t < length; ++t) v[t] -= dot * q[t];
            }
        double norm = 0.0;
        for (const double x : v) norm += x * x;
        if (!(norm > 1e-10 * original) || !(original > 0.0)) {
            problem = "the confound " + table.names[k - 1] +
                      " is constant or a combination of the other confounds over the volumes analysed";
            return false;
        }
        norm = std::sqrt(norm);
        for (double& x : v) x /= norm;
        basis_.push_back(std::move(v));
    }
    return true;
}

void ConfoundFit::clean(double* values) const {
    const std::size_t length = static_cast<std::size_t>(volumes_ - first_);
    double* y = values + first_;
    double mean = 0.0;
    for (std::size_t t = 0; t < length; ++t) mean += y[t];
    mean /= static_cast<double>(length);
    for (const auto& q : basis_) {
        double dot = 0.0;
        for (std::size_t t = 0; t < length; ++t) dot += q[t] * y[t];
        for (std::size_t t = 0; t < length; ++t) y[t] -= dot * q[t];
    }
    for (std::size_t t = 0; t < length; ++t) y[t] += mean;
}

bool writeRegressedRun(const std::string& boldPath, const ConfoundTable& table, int32_t first, double tr,
                       const std::string& outPath, std::string& problem) {
    NiftiReader reader;
    if (!reader.open(boldPath, problem)) return false;
    const NiftiHeader grid = reader.header();
    const auto volumes = static_cast<int32_t>(grid.volumes());
    const auto voxels = static_cast<std::size_t>(grid.voxelsPerVolume());
    ConfoundFit fit;
    if (!fit.build(table, volumes, first, problem)) {
        problem = boldPath + ": " + problem;
        return false;
    }
    // Pass 1: each voxel's coefficients on the orthonormal basis.
    const auto basisSize = static_cast<std::size_t>(fit.basisSize());
    std::vector<double> coefficients(basisSize * voxels, 0.0);
    std::vector<float> volume(voxels);
    for (int32_t t = 0; t < volumes; ++t) {
        if (!reader.readVolume(volume.data(), problem)) return false;
        if (t < first) continue;
        for (std::size_t j = 0; j < basisSize; ++j) {
            const double q = fit.basis(static_cast<int32_t>(j), t);
            double* c = coefficients.data() + j * voxels;
            for (std::size_t v = 0; v < voxels; ++v) c[v] += q * static_cast<double>(volume[v]);
        }
    }
    if (!reader.finish(problem)) return false;

    // Pass 2: the residuals, volume after volume, each voxel keeping its mean
    // (the constant's coefficient times the constant basis vector).
    NiftiReader again;
    if (!again.open(boldPath, problem)) return false;
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(outPath.c_str(), "wbx"));
    if (!out) {
        problem = "cannot create " + outPath + ": " + std::strerror(errno);
        return false;
    }
    const std::string header =
        encodeNiftiRunHeader(grid, volumes, tr > 0.0 ? tr : headerRepetitionTime(grid), "LDI confound-regressed run");
    std::vector<double> residual(voxels);
    bool written = std::fwrite(header.data(), 1, header.size(), out.get()) == header.size();
    for (int32_t t = 0; t < volumes && written; ++t) {
        if (!again.readVolume(volume.data(), problem)) return false;
        if (t >= first) {
            for (std::size_t v = 0; v < voxels; ++v) residual[v] = volume[v];
            for (std::size_t j = 1; j < basisSize; ++j) {
                const double q = fit.basis(static_cast<int32_t>(j), t);
                const double* c = coefficients.data() + j * voxels;
                for (std::size_t v = 0; v < voxels; ++v) residual[v] -= q * c[v];
            }
            for (std::size_t v = 0; v < voxels; ++v) volume[v] = static_cast<float>(residual[v]);
        }
        written = std::fwrite(volume.data(), sizeof(float), voxels, out.get()) == voxels;
    }
    if (!written || std::fflush(out.get()) != 0 || std::fclose(out.release()) != 0) {
        problem = "cannot write " + outPath + ": " + std::strerror(errno);
        return false;
    }
    return again.finish(problem);
}

}  // namespace ldi_host
