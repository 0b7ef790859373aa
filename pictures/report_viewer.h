// The slice viewer of the HTML reports: NiiVue's bundled JavaScript (npm
// @niivue/niivue, installed by scripts/bootstrap into pictures/report/),
// built into ldi so that a report carries it inline and opens offline.
#pragma once

#include <string_view>

namespace ldi {

// The bundle as npm ships it (build/index.min.js: one module whose source is
// the URL-encoded string it exports); empty when ldi was built without it.
std::string_view niivueBundle();

}  // namespace ldi
