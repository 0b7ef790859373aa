// The block of global parameters that opens every run log, whichever front end
// ran the computation.
#pragma once

#include <iosfwd>

#include "config/global_parameters.h"

namespace ldi {

// Appends "Created by <creator>", a blank line and one line per parameter in
// the settings file's notation, then a blank line.
void writeParameterBlock(const GlobalParameters& parameters, const char* creator, std::ostream& runLog);

}  // namespace ldi
