// The BIDS validator (npm's bids-validator) run on the input dataset before
// the participant level, as BIDS Apps do: a dataset it finds errors in is
// refused with its report. ldi runs it when it is installed (on PATH, or in a
// node_modules/.bin of the source tree's install folders, where
// scripts/bootstrap puts it) and says so when it is not.
#pragma once

#include <string>
#include <vector>

namespace ldi {

// The validator's program: the first executable `bids-validator` in the
// folders of `searchPath` (PATH's syntax), else in ROOT/node_modules/.bin,
// ROOT/*/node_modules/.bin or ROOT/*/*/node_modules/.bin of each root
// (folders in name order); "" when there is none.
std::string findBidsValidator(const std::string& searchPath, const std::vector<std::string>& installRoots);

// The roots searched by default: the source tree ldi was built from.
std::vector<std::string> defaultValidatorRoots();

struct ValidationOutcome {
    bool ran = false;    // false: it could not be started (`report` says why)
    bool valid = false;  // it ran and reported no error
    int status = 0;      // its exit status (-1 when a signal ended it)
    std::string report;  // what it printed, both streams (at most 4 MB of it)
};

// Runs `program bidsDir` with nothing on its standard input and waits for it.
ValidationOutcome validateDataset(const std::string& program, const std::string& bidsDir);

// A report cut for a terminal: its first `head` lines (the validator lists
// errors first), a note of how many were left out, and its last `tail` lines
// (its summary).
std::string shortReport(const std::string& report, std::size_t head, std::size_t tail);

}  // namespace ldi
