// The twelve global parameters of a run, their defaults, and the reader of
// the optional settings file "LDIPlugin.ini" that overrides them.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace ldi {

// The six kinds of map. The values fix the order in which a set of kinds is
// walked (and so the order of the maps in the host); the names are the texts
// of the settings file and of the result logs.
enum MapType : int32_t {
    REF2VOX = 0,
    VOX2REF = 1,
    INST = 2,
    DLDI = 3,
    DLDI_IT = 4,
    DLDI_RC = 5
};

constexpr int mapTypeCount = 6;

// "REF2VOX", "VOX2REF", "INST", "DLDI", "DLDI_IT" or "DLDI_RC"; "" for a
// value outside the enumeration.
const char* mapTypeName(MapType type);

// Finds the kind whose name is exactly `name` (case-sensitive).
bool mapTypeFromName(const std::string& name, MapType& type);

struct GlobalParameters {
    // Walked in ascending enumeration order, whatever order the file gave.
    std::set<MapType> mapTypesComputed{REF2VOX, VOX2REF, INST, DLDI, DLDI_IT, DLDI_RC};
    std::vector<float> qThresholdsForFDR{0.01f, 0.05f, 0.1f};
    int32_t cvConstantForFDR = 2;
    int32_t autoRegressionOrder = 1;
    uint16_t firstTimePointInclusionThres = 100;
    bool showVerboseProgressLog = true;
    uint32_t numSurrogateSimulations = 1000;
    uint32_t numDiscardedSimulatedTimePoints = 100;
    float dldiITInstLowerThres = 0.05f;
    float dldiRCUpperThres = 0.7f;
    bool separateSourceTargetVTCs = false;
    float mapScaleFactor = 100.0f;
};

// The longest settings line the reader accepts, line end not counted.
constexpr std::size_t maxSettingsLineLength = 255;

// Reads a settings file into `parameters`. Returns true when every line
// was valid. At the first bad line it appends one message (no line end) to
// errorStream, stops reading and returns false; `parameters` is then left
// exactly as it was before the call, so a rejected file changes nothing.
bool readSettingsFile(std::istream& input, GlobalParameters& parameters, std::ostream& errorStream);

}  // namespace ldi
