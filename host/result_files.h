// The save of `ldi run`'s host: a map set the plug-in hands over becomes
// NAME.ldi, one NIfTI-1 file per map and NAME.json, all or none of them.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "formats/ldi_file.h"
#include "formats/result_index.h"

namespace ldi {

// What the host knows of the run beyond the map set being saved.
struct SaveRecord {
    std::vector<std::string> warnings;  // the run's warnings in the log pane, for the JSON index
    // The files the run has written so far (paths, case folded); a save adds
    // its own and gives none of its files a name already in the set.
    std::set<std::string>* namesInRun = nullptr;
    long long rngSeed = -1;  // the run's seed for the JSON index (negative: unknown)
};

// Saves a map set under `mapFilePath` (NAME.ldi; NAME is the path without a
// trailing ".ldi"), with NAME_LABEL.nii.gz per map and NAME.json.
// - Names: the label is cut (keeping the map kind at its end) so that every
//   file name fits 255 bytes, and gets "_2", "_3", ... when another file of
//   this save or of the run (record.namesInRun) already has the name.
// - Every file is written under a temporary name in the destination folder,
//   checked, and renamed only when all of them were written. A file of an
//   earlier save with the same name is kept aside until all are renamed and
//   put back should one rename fail, so a failure leaves neither a partial
//   save nor a damaged earlier one.
// - Files that the earlier NAME.json listed and this save does not write are
//   removed; temporary files left by processes that no longer run too.
// On failure returns false and explains in `problem`, naming the path.
bool saveResultFiles(const std::string& mapFilePath, const LdiFile& file,
                     const ResultIdentity& identity, std::string& problem, const SaveRecord& record = {});

}  // namespace ldi
