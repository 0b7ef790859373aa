// The group level of ldi bids: the subjects' maps of one seed, condition and
// map kind found in the participant level's output, tested voxel by voxel
// against zero (signFlipTest, stats/sign_flip.h), and written as group maps
// with their sidecars and a map set for ldi show.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "stats/sign_flip.h"

namespace ldi {

struct GroupRequest {
    std::string bidsDir;                    // the dataset: its subjects are the group's ("" : the output's)
    std::string outputDir;                  // holds sub-<label>/... from the participant level
    std::vector<std::string> participants;  // labels; empty for every subject there
    int64_t permutations = 5000;
    GroupStatistic statistic = GroupStatistic::flooredT;
    int64_t rngSeed = -1;  // -1: from the clock, printed and recorded
    std::vector<double> q{0.01, 0.05, 0.1};
    int threads = 0;
    bool quiet = false;
};

// Finds the subjects' maps (of the dataset's subjects whose participant level
// finished, the seeds and conditions its summary names), tests each seed, condition and map kind that at
// least two subjects have, and writes the group maps with their sidecars and
// a map set for ldi show into OUTPUT/group. A kind whose subjects lie on
// different grids is refused with a message naming them; the others go on.
// Who was left out of a key, and why, is said and recorded in its sidecars.
// Returns the exit status.
int runGroupLevel(const GroupRequest& request, std::ostream& out, std::ostream& err);

// The warning for the plain t on subject maps whose skewness (subjectSkewness)
// exceeds kLargestSymmetricSkewness in magnitude, naming the measure and its
// value; "" for the floored t or symmetric maps.
std::string skewedMapsWarning(GroupStatistic statistic, double skewness, const std::string& keyName);

}  // namespace ldi
