// Any byte sequence as an fMRIPrep confounds table: the chosen columns, each
// with one finite value a row after the first ones dropped, or a message
// naming the file.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/confounds.h"
#include "fuzz_check.h"
#include "fuzz_file.h"

using namespace ldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FuzzFile file("desc-confounds_timeseries.tsv");
    const std::string& path = file.write(data, size);
    const std::vector<std::string> patterns = {"trans_?", "csf", "a_comp_cor_0*"};
    for (const int32_t first : {0, 2}) {
        ConfoundTable table;
        std::string problem;
        if (!readConfounds(path, patterns, first, table, problem)) {
            FUZZ_CHECK(problem.find(path) != std::string::npos);
            continue;
        }
        FUZZ_CHECK(table.columns.size() == table.names.size());
        FUZZ_CHECK(table.missing.size() == table.names.size());
        for (const std::vector<double>& column : table.columns) {
            FUZZ_CHECK(column.size() == table.columns.front().size());
            for (const double value : column) FUZZ_CHECK(std::isfinite(value));
        }
    }
    return 0;
}
