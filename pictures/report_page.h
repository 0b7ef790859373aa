// The HTML page of a report, from plain records: every picture as a PNG
// data: URI, every plot as inline SVG, the slice viewer's script and images
// inline. The page holds no reference to anything outside itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pictures/report_parts.h"

namespace ldi {

// Per q level: q, threshold, voxels passing (-1: unknown).
using ThresholdRows = std::vector<std::array<double, 3>>;

struct MapFigure {
    std::string seed, condition, name;
    std::string png;
    ThresholdRows levels;  // empty: no FDR thresholds
    std::string method;
    std::string unthresholdedPng;  // every value, shown beside the thresholded picture; empty: none
    std::string tail;      // the permutation null's fitted tail in words; "" for none
};

struct SeedSection {
    std::string name;
    int64_t voxels = 0;
    std::string png;                       // its voxels over the underlay; empty: none drawn
    std::vector<std::string> timeCourses;  // SVG, one per run
};

// A map for the viewer: gzipped NIfTI bytes and how to colour them.
struct ViewerMap {
    std::string name;
    std::string nifti;
    float threshold = 0.0f, top = 0.0f;
    bool isSigned = false;
};

// A run's data quality: its numbers, its temporal-SNR montage and its carpet plot.
struct QualitySection {
    std::string run;  // the run's file name
    std::vector<std::pair<std::string, std::string>> numbers;
    std::string tsnrPng, carpetPng;  // empty: not drawn
};

// Per subject (or run) of a group: its data-quality numbers, one row each.
struct QualityTable {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
};

struct ReportPage {
    std::string title;
    std::string commandLine;
    std::vector<std::pair<std::string, std::string>> facts;   // the parameters and what was found
    std::vector<std::pair<std::string, std::string>> inputs;  // path, what it is
    std::vector<QualitySection> quality;
    QualityTable qualityTable;
    std::vector<SeedSection> seeds;
    std::vector<MapFigure> maps;
    std::vector<std::pair<std::string, PValueSummary>> calibration;
    std::string calibrationNote;  // said instead of the plots, or beside them
    std::string orderTable;
    std::vector<std::string> warnings;
    std::string viewerUnderlay;  // gzipped NIfTI; empty: none
    std::vector<ViewerMap> viewerMaps;
};

std::string renderReportPage(const ReportPage& page);

}  // namespace ldi
