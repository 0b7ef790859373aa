// `ldi map` run from another command, with the arguments it would be given on
// the command line: every check and every option of ldi map apply unchanged.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ldi_host {

// `arguments` start with "ldi", "map". Returns ldi map's exit status.
int runMapCommand(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace ldi_host
