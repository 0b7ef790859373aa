// Any byte sequence as a NIfTI image, plain and as the first bytes of a gzip
// stream: refused with a message, or a header whose dimensions are positive
// and whose volumes read to the end or stop with a message. Memory follows
// the data read, not the header's claim (libFuzzer's -rss_limit_mb holds it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/nifti_image.h"
#include "fuzz_check.h"
#include "fuzz_file.h"

using namespace ldi;

namespace {

void readImage(const std::string& path) {
    NiftiReader reader;
    std::string problem;
    if (!reader.open(path, problem)) {
        FUZZ_CHECK(!problem.empty());
        return;
    }
    const NiftiHeader& h = reader.header();
    FUZZ_CHECK(h.rank >= 1 && h.rank <= 7);
    for (std::size_t i = 1; i < 8; ++i) FUZZ_CHECK(h.dim[i] >= 1);
    if (h.voxelsPerVolume() > (int64_t{1} << 22)) return;  // the reader's own check is on open
    std::vector<float> volume(static_cast<std::size_t>(h.voxelsPerVolume()));
    for (int64_t t = 0; t < h.volumes() && t < 64; ++t) {
        if (!reader.readVolume(volume.data(), problem)) {
            FUZZ_CHECK(!problem.empty());
            return;
        }
    }
    NiftiHeader header;
    std::vector<float> values;
    if (!readNiftiVolume(path, header, values, true, problem)) FUZZ_CHECK(!problem.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FuzzFile plain("image.nii");
    readImage(plain.write(data, size));
    // The same bytes behind a gzip magic: the inflater's errors, not a crash.
    static FuzzFile packed("image.nii.gz");
    std::vector<uint8_t> gz = {0x1f, 0x8b, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03};
    gz.insert(gz.end(), data, data + size);
    readImage(packed.write(gz.data(), gz.size()));
    return 0;
}
