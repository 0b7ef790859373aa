// Any byte sequence as a run's JSON sidecar: a repetition time that is a
// positive finite number when one is found, or a message naming the file.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "formats/bids_inputs.h"
#include "fuzz_check.h"
#include "fuzz_file.h"

using namespace ldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FuzzFile image("sub-01_task-rest_bold.nii.gz");
    static FuzzFile sidecar("sub-01_task-rest_bold.json");
    sidecar.write(data, size);
    double seconds = 0.0;
    bool found = false;
    std::string problem;
    if (sidecarRepetitionTime(image.path(), seconds, found, problem)) {
        if (found) FUZZ_CHECK(std::isfinite(seconds) && seconds > 0.0);
    } else {
        FUZZ_CHECK(problem.find(sidecar.path()) != std::string::npos);
    }
    nlohmann::json document;
    if (!readJsonSidecar(sidecar.path(), document, problem)) FUZZ_CHECK(!problem.empty());
    return 0;
}
