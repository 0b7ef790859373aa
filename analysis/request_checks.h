// The checks every analysis request passes before any file is read, made
// here once so that every front end (ldi map, ldi bids, ldi demo, Python)
// refuses the same input with the same words. The messages name the
// request's fields (runs, seeds, conditions, threads, ...); a front end may
// add its own spelling of the option in front.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/analysis_request.h"

namespace ldi {

// The request's values on their own: runs and seeds given, names that can
// become file names (valid UTF-8, at most MAX_TRIAL_TYPE_BYTES, something
// left once made safe), spheres with finite centres and positive radii,
// event tables with finite onsets and durations not below 0, skip, shift,
// repetition time, threads, random seed, the statistics, the grids and
// affines of runs held in memory. False with a message.
bool checkRequestValues(const AnalysisRequest& request, std::string& problem);

// The volumes skipped at the start of every run: 0 or more. For callers that
// use the skip before the request is made (the confounds tables are read
// from it).
bool checkSkip(int32_t skip, std::string& problem);

// An array handed over as a run or a mask, by what its front end knows of
// it: the kind of its values ('f' float, 'i' / 'u' integer, 'b' boolean,
// 'c' complex, anything else refused), its bytes per value and its
// dimensions (`wanted`: 4 for a run, 3 for a mask). `what` names it.
bool checkArrayKind(const std::string& what, char kind, int64_t itemBytes, int64_t dimensions, int64_t wanted,
                    std::string& problem);

// Whether `text` is UTF-8 as it should be (no stray or overlong bytes, no
// surrogates).
bool isValidUtf8(const std::string& text);

}  // namespace ldi
