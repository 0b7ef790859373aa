// What leaves the plug-in for each reference VOI: the parameter block of its
// run log, its map set in the host (created empty here, filled by map
// assembly) and its two result files, the host's map file ".ldi" and the run
// log ".log".
#pragma once

#include <cstddef>
#include <iosfwd>
#include <sstream>
#include <string>
#include <vector>

namespace ldi {

struct AnalysisSetup;
struct SelectedVoi;

// Appends the block of global parameters that opens every run log. Always true.
bool writeParameterLog(const AnalysisSetup& setup, std::ostream& runLog);

// Number of maps of one VOI: conditions times computed map kinds, in 64 bits
// so that an absurd product is seen rather than wrapped.
long long mapSetSize(const AnalysisSetup& setup);

// Replaces the current VMR's maps by an empty map set for this VOI: one map
// per condition and map kind, one threshold level per q value, each level
// labelled "thres q=..." in the configured order of the q values.
// Returns 1; 2 when there is nothing to compute; 3 when the host refuses the
// map set or hands out one whose grid differs from the set-up's.
int createMapSet(const SelectedVoi& voi, const AnalysisSetup& setup,
                 std::ostream& errorStream);

// Bytes of a VOI's name kept in its file names; the rest is left out so that
// the names stay within what file systems take.
constexpr std::size_t MAX_VOI_NAME_BYTES_IN_FILE_NAMES = 100;
// A file name's limit on the common file systems, and the longest ending the
// plug-in puts after a base name (the log's temporary name).
constexpr std::size_t MAX_FILE_NAME_BYTES = 255;
constexpr std::size_t LONGEST_RESULT_SUFFIX = 20;

// Path and name of every selected VOI's result files without extension, in
// VOI order: the output prefix, "_" and the VOI's name made safe for a file
// name (safeFileNamePart) and cut to MAX_VOI_NAME_BYTES_IN_FILE_NAMES. A name
// an earlier VOI already has (ignoring case) gets "_" and the VOI's menu number
// (host index + 1), and then "_2", "_3", ... until it differs from all, so
// that no two VOIs of a run ever write the same files.
std::vector<std::string> resultBaseNames(const AnalysisSetup& setup);

// The base name of one selected VOI (see resultBaseNames).
std::string resultBaseName(const AnalysisSetup& setup, const SelectedVoi& voi);

// Checked before anything is computed: 1 when every result file name fits the
// file system's limit, else 2 with a message naming the first that does not.
int checkResultNames(const AnalysisSetup& setup, std::ostream& errorStream);

// Saves the VOI's map set through the host as BASE.ldi and the run log as
// BASE.log (the log's text followed by one NUL character). The log is written
// under a temporary name and renamed, so it is either complete or absent.
// Returns 1, or 3 with a message naming the file when the host's save or the
// log file fails. Files of VOIs saved earlier are never touched.
int saveResults(const SelectedVoi& voi, const AnalysisSetup& setup,
                const std::ostringstream& runLog, std::ostream& errorStream);

}  // namespace ldi
