// The plug-in's version, shown in the run banner and written into every result log.
#pragma once

namespace ldi {

constexpr const char* pluginVersion = "1.5";

}  // namespace ldi
