// What leaves the plug-in for each reference VOI: the parameter block of its
// run log, its map set in the host (created empty here, filled by map
// assembly) and its two result files, the host's map file ".ldi" and the run
// log ".log".
#pragma once

#include <iosfwd>
#include <sstream>
#include <string>

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

// Path and name of the VOI's result files without extension: the output
// prefix, "_" and the VOI's name. A VOI whose name an earlier selected VOI
// already carries gets "_" and its menu number (host index + 1) after the
// name, so that two VOIs of the same name never write the same files.
std::string resultBaseName(const AnalysisSetup& setup, const SelectedVoi& voi);

// Saves the VOI's map set through the host as BASE.ldi and the run log as
// BASE.log (the log's text followed by one NUL character). The log is written
// under a temporary name and renamed, so it is either complete or absent.
// Returns 1, or 3 with a message naming the file when the host's save or the
// log file fails. Files of VOIs saved earlier are never touched.
int saveResults(const SelectedVoi& voi, const AnalysisSetup& setup,
                const std::ostringstream& runLog, std::ostream& errorStream);
