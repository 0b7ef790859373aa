// compare_results EXPECTED.ldi ACTUAL.ldi [TOLERANCE]: exit 0 when the two map
// sets agree (see compare_results.h; the default tolerance is 1e-6 relative),
// 1 when they differ, 2 when a file cannot be read. Prints what it compared.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compare_results.h"
#include "formats/whole_file.h"

using namespace ldi;

namespace {

bool load(const char* path, ldi::LdiFile& file) {
    std::string bytes;
    std::string problem;
    if (!ldi::readWholeFile(path, bytes, problem, std::uintmax_t(1) << 34)) {
        std::fprintf(stderr, "compare_results: %s\n", problem.c_str());
        return false;
    }
    ldi::Parsed<ldi::LdiFile> parsed = ldi::decodeLdi(bytes);
    if (!parsed.ok) {
        std::fprintf(stderr, "compare_results: %s: %s\n", path, parsed.message.c_str());
        return false;
    }
    file = std::move(parsed.value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: compare_results EXPECTED.ldi ACTUAL.ldi [TOLERANCE]\n");
        return 2;
    }
    const double tolerance = argc == 4 ? std::strtod(argv[3], nullptr) : 1e-6;
    ldi::LdiFile expected;
    ldi::LdiFile actual;
    if (!load(argv[1], expected) || !load(argv[2], actual)) return 2;
    const ldi_windows_check::ResultDifference difference =
        ldi_windows_check::compareResults(expected, actual, tolerance);
    for (std::size_t m = 0; m < difference.largestRelativeByMap.size(); ++m)
        std::printf("map %zu \"%s\": %lld numbers not bit-identical, largest relative difference %.3g\n", m,
                    expected.maps[m].name.c_str(), static_cast<long long>(difference.notIdenticalByMap[m]),
                    difference.largestRelativeByMap[m]);
    for (const std::string& problem : difference.problems) std::printf("differs: %s\n", problem.c_str());
    std::printf("%s: %zu maps, %lld numbers compared, %lld not bit-identical, largest relative difference %.3g "
                "(tolerance %.3g)\n",
                difference.agree ? "agree" : "DIFFER", expected.maps.size(),
                static_cast<long long>(difference.numbersCompared),
                static_cast<long long>(difference.numbersNotIdentical), difference.largestRelative, tolerance);
    return difference.agree ? 0 : 1;
}
