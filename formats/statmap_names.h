// The names of the statistical maps ldi writes, in the form of BIDS
// statistical derivatives that FitLins and nilearn write:
//   <entities>_seed-<seed>_cond-<condition>_contrast-<kind>_stat-<statistic>[_desc-<d>]_statmap.nii.gz
// where <entities> are those the analysed runs share, each once, in the BIDS
// schema's order, without the runs' own desc- (the map is no "preproc").
#pragma once

#include <string>
#include <vector>

#include "formats/bids_inputs.h"

namespace ldi {

// The entities of `paths` that every one of them has, in the BIDS schema's
// order (entities the schema does not know after those it does, in the first
// path's order), each once, desc- left out, joined as a file-name prefix
// ("sub-01_task-rest_space-MNI152NLin2009cAsym"); "" when they share none.
std::string derivativeEntities(const std::vector<std::string>& paths);

// The statistics a map file holds, as its stat- label: the measure's value
// ("effect"), its z score or p-value, or at the group level the t statistic.
extern const char* const kStatEffect;
extern const char* const kStatZ;
extern const char* const kStatP;
extern const char* const kStatT;

// "<prefix>_seed-<seed>_cond-<condition>_contrast-<kind>_stat-<statistic>[_desc-<desc>]",
// without the suffix and extension (the sidecar takes ".json" after
// "_statmap", the image ".nii.gz").
std::string statMapStem(const std::string& prefix, const std::string& seed, const std::string& condition,
                        const std::string& kind, const std::string& statistic, const std::string& desc = "");

// What a map file's name says. `key` is its entities without sub-, desc- and
// stat- in the order of statMapStem ("task-rest_seed-A_cond-A_contrast-dldi"):
// what the group level pools the subjects' maps by.
struct StatMapName {
    std::string subject, seed, condition, kind, statistic, desc, key;
    bool current = false;  // the statmap form, not the earlier one
};

// Reads a map file's name: the statmap form above, or the form ldi wrote
// before it ("..._seed-S_cond-C_stat-<kind>[_desc-z|_desc-p]_ldi.nii.gz",
// whose runs' desc- also stayed in), so that earlier results stay usable.
// False for any other file.
bool parseStatMapName(const std::string& fileName, StatMapName& name);

}  // namespace ldi
