// Small synthetic VTC files for tests, written with the data layer's writer
// (data/vtc_writer.h) from a value function or a list of values, and a
// temporary folder that cleans up after itself.
//
// Typical use:
//
//     TestTempDir dir;                           // removed with its contents at scope end
//     VtcWriterOptions vtc;                      // version 3, float32, 2x2x2 grid, 10 volumes
//     vtc.xStart = 57; vtc.xEnd = 63;            // any box and resolution
//     vtc.value = [](int x, int y, int z, int t) { return float(x + 10 * t); };
//     std::string path = dir.path("run1.vtc");
//     ASSERT_TRUE(writeTestVtc(path, vtc));
//
// Values come from `value` (called for every grid voxel and volume) unless
// `values` is non-empty, in which case it is written as is, in file order
// (voxel-major, time fastest, x then y then z), and may hold any number of
// values. For uint16 data each value is rounded to the nearest integer and
// clamped to 0..65535; testVtcStoredValue gives the value as the file holds it.
//
// Awkward headers:
// - version 1, 2, 3 or more, `linkedProtocols` above 1, any dataType;
// - box, resolution and volume counts are written as int16 (cast, so 65535
//   is stored as 0xFFFF and reads back as -1; zero or negative values are fine);
// - names of any length; `terminateSourceName` / `terminateProtocolName` false
//   leave out the NUL, so the following header bytes run into the name;
// - `truncateAt` >= 0 cuts the finished file to that many bytes (inside the
//   header or inside the data section).
// The grid written follows the header fields; a grid that is empty or
// undefined (resolution <= 0, end below start) gets no data unless `values`
// is given.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "data/vtc_writer.h"

namespace ldi {

// The header fields, with defaults for a small sound file, and the data.
struct VtcWriterOptions : VtcHeaderFields {
    VtcWriterOptions();

    std::function<float(int x, int y, int z, int t)> value;  // default: 0 everywhere
    std::vector<float> values;  // when non-empty, replaces `value`
    long long truncateAt = -1;  // cut the file to this many bytes when >= 0
};

// Writes the file; false when it could not be created or written.
bool writeTestVtc(const std::string& path, const VtcWriterOptions& options);

// Bytes of the header the options produce: the data offset a reader must find.
long long testVtcHeaderSize(const VtcWriterOptions& options);

// Grid sizes as the writer computes them (0 for an empty or undefined grid).
int testVtcDimX(const VtcWriterOptions& options);
int testVtcDimY(const VtcWriterOptions& options);
int testVtcDimZ(const VtcWriterOptions& options);

// True when the options write float32 values (version 3+ with dataType 2).
bool testVtcIsFloat(const VtcWriterOptions& options);

// Value of voxel (x, y, z) at volume t as stored in the file (after the uint16
// rounding), from `value` or `values`.
float testVtcStoredValue(const VtcWriterOptions& options, int x, int y, int z, int t);

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes out of scope.
class TestTempDir {
public:
    TestTempDir();
    ~TestTempDir();
    TestTempDir(const TestTempDir&) = delete;
    TestTempDir& operator=(const TestTempDir&) = delete;

    const std::string& root() const { return root_; }
    // root() + "/" + name
    std::string path(const std::string& name) const;

private:
    std::string root_;
};

}  // namespace ldi
