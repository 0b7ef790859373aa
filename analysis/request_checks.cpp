#include "analysis/request_checks.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "base/names.h"
#include "base/text.h"
#include "formats/bids_inputs.h"

namespace ldi {

namespace {

// The most threads a request may ask for: more than any machine it runs on
// has cores, few enough that a typo is caught.
constexpr int MAX_THREADS = 4096;

std::string numberText(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A name that becomes part of file names (a seed's, a condition's, a trial
// type's): `what` says whose, in the message.
bool checkName(const std::string& what, const std::string& name, std::string& problem) {
    if (const std::string wrong = nameProblem(name, MAX_TRIAL_TYPE_BYTES); !wrong.empty()) {
        // Quoted only when its bytes can stand in a message as they are.
        const bool quotable = isValidUtf8(name) && wrong.rfind("holds the control", 0) != 0;
        const std::string shown = name.size() <= 40 ? name : utf8Prefix(name, 40) + "...";
        problem = what + (quotable ? " '" + shown + "'" : std::string()) + " " + wrong +
                  " (names are shown in reports and become part of file names)";
        return false;
    }
    bool letterOrDigit = false;
    for (const char c : name) letterOrDigit = letterOrDigit || std::isalnum(static_cast<unsigned char>(c)) != 0;
    if (!letterOrDigit) {
        problem = what + " '" + name + "' has no letter or digit, which file names are made of; give one that has";
        return false;
    }
    return true;
}

bool checkSeeds(const AnalysisRequest& request, std::string& problem) {
    if (request.seeds.empty()) {
        problem = "no seed given: give a seed as a mask (a file, image or flags on the grid) or as a sphere "
                  "(x, y, z and a radius in world mm)";
        return false;
    }
    for (const SeedRequest& seed : request.seeds) {
        if (!checkName("the seed name", seed.name, problem)) return false;
        if (seed.shape == SeedRequest::Shape::maskFile && seed.maskPath.empty()) {
            problem = "seed '" + seed.name + "': its mask file is not named; give the mask's path";
            return false;
        }
        if (seed.shape != SeedRequest::Shape::sphere) continue;
        const auto& s = seed.sphere;
        if (!std::isfinite(s[0]) || !std::isfinite(s[1]) || !std::isfinite(s[2])) {
            problem = "seed '" + seed.name + "': the sphere's centre " + numberText(s[0]) + "," + numberText(s[1]) +
                      "," + numberText(s[2]) + " is not a finite point in world mm";
            return false;
        }
        if (!(std::isfinite(s[3]) && s[3] > 0.0)) {
            problem = "seed '" + seed.name + "': the sphere's radius " + numberText(s[3]) +
                      " is not a positive number of mm; give a radius above 0";
            return false;
        }
    }
    return true;
}

bool checkEventTable(const RunRequest& run, std::string& problem) {
    if (!run.eventTable) return true;
    for (std::size_t e = 0; e < run.eventTable->size(); ++e) {
        const Event& event = (*run.eventTable)[e];
        const std::string where = "the events of " + run.path + ", row " + std::to_string(e + 1);
        if (!std::isfinite(event.onset)) {
            problem = where + ": the onset " + numberText(event.onset) + " is not a finite number of seconds";
            return false;
        }
        if (!(std::isfinite(event.duration) && event.duration >= 0.0)) {
            problem = where + ": the duration " + numberText(event.duration) +
                      " is not a number of seconds of at least 0";
            return false;
        }
        if (!checkName(where + ": the trial type", event.type, problem)) return false;
    }
    return true;
}

// A run held in memory: a grid of volumes, placed by a finite affine.
bool checkRunArray(const RunRequest& run, std::string& problem) {
    if (!run.array) return true;
    const NiftiHeader& header = run.array->header;
    for (int d = 1; d <= 4; ++d)
        if (header.dim[static_cast<std::size_t>(d)] < 1) {
            problem = run.path + ": the run's grid has " + std::to_string(header.dim[static_cast<std::size_t>(d)]) +
                      " values along dimension " + std::to_string(d) + "; a run is a 4D grid of volumes";
            return false;
        }
    bool finite = true;
    for (const auto& row : header.srow)
        for (double value : row) finite = finite && std::isfinite(value);
    for (double value : header.quatern) finite = finite && std::isfinite(value);
    for (double value : header.qoffset) finite = finite && std::isfinite(value);
    for (int d = 1; d <= 3; ++d) finite = finite && std::isfinite(header.pixdim[static_cast<std::size_t>(d)]);
    if (!finite) {
        problem = run.path + ": the run's affine (voxel to world mm) holds a value that is not finite; "
                             "give a finite affine";
        return false;
    }
    return true;
}

bool checkRuns(const AnalysisRequest& request, std::string& problem) {
    if (request.runs.empty()) {
        problem = "no run given: give at least one 4D NIfTI run (a file, image or array)";
        return false;
    }
    for (const RunRequest& run : request.runs) {
        if (run.tr != 0.0 && !(std::isfinite(run.tr) && run.tr > 0.0)) {
            problem = run.path + ": the repetition time " + numberText(run.tr) + " is not a positive number of seconds";
            return false;
        }
        if (!checkEventTable(run, problem) || !checkRunArray(run, problem)) return false;
    }
    return true;
}

bool checkConditionNames(const AnalysisRequest& request, std::string& problem) {
    for (const std::string& name : request.conditions)
        if (!checkName("the condition", name, problem)) return false;
    for (const IntervalCondition& condition : request.intervalConditions)
        if (!checkName("the condition", condition.name, problem)) return false;
    return true;
}

bool checkNumbers(const AnalysisRequest& request, std::string& problem) {
    if (!checkSkip(request.skip, problem)) return false;
    if (!std::isfinite(request.shift))
        problem = "shift " + numberText(request.shift) + ": not a finite number of seconds";
    else if (request.tr != 0.0 && !(std::isfinite(request.tr) && request.tr > 0.0))
        problem = "tr " + numberText(request.tr) + ": not a positive number of seconds";
    else if (request.threads < 0 || request.threads > MAX_THREADS)
        problem = "threads " + std::to_string(request.threads) + ": give 1 to " + std::to_string(MAX_THREADS) +
                  " (0: every core)";
    else if (request.rngSeed < 0)
        problem = "rng seed " + std::to_string(request.rngSeed) + ": give a seed of 0 or more";
    return problem.empty();
}

}  // namespace

bool isValidUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8CharacterLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

bool checkSkip(int32_t skip, std::string& problem) {
    if (skip >= 0) return true;
    problem = "skip " + std::to_string(skip) + ": not a number of volumes; give 0 or more";
    return false;
}

bool checkArrayKind(const std::string& what, char kind, int64_t itemBytes, int64_t dimensions, int64_t wanted,
                    std::string& problem) {
    if (kind == 'c') {
        problem = what + ": the array holds complex values; give real values (the magnitude or the real part, "
                         "as the data mean)";
        return false;
    }
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        problem = what + ": the array holds values of kind '" + std::string(1, kind) +
                  "', not numbers; give floating-point or integer values";
        return false;
    }
    if (kind == 'f' && itemBytes > 8) {
        problem = what + ": the array holds floating-point values of " + std::to_string(itemBytes) +
                  " bytes; give float32 or float64";
        return false;
    }
    if (dimensions != wanted) {
        problem = what + ": a " + (wanted == 4 ? std::string("run is a 4D image of several volumes")
                                               : std::string("mask is a 3D image")) +
                  "; this one has " + std::to_string(dimensions) + " dimensions";
        return false;
    }
    return true;
}

bool checkRequestValues(const AnalysisRequest& request, std::string& problem) {
    return checkRuns(request, problem) && checkSeeds(request, problem) && checkConditionNames(request, problem) &&
           checkNumbers(request, problem);
}

}  // namespace ldi
