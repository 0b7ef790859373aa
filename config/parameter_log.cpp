#include "config/parameter_log.h"

#include <ostream>
#include <sstream>

namespace ldi {

void writeParameterBlock(const GlobalParameters& p, const char* creator, std::ostream& runLog) {
    // Formed in a fresh stream so that the numbers always come out in the
    // default format, whatever state the caller's stream is in.
    std::ostringstream block;
    block << "Created by " << creator << '\n'
          << '\n'
          << "Global parameter values " << '\n'
          << "------------------------" << '\n'
          << "MapTypesComputed= ";
    for (MapType type : p.mapTypesComputed) block << mapTypeName(type) << ' ';
    block << '\n' << "DLDI_ITInstLowerThres= " << p.dldiITInstLowerThres << '\n' << "QThresholdsForFDR= ";
    for (float q : p.qThresholdsForFDR) block << q << ' ';
    block << '\n'
          << "CVConstantForFDR= " << p.cvConstantForFDR << '\n'
          << "ShowVerboseProgressLog= " << (p.showVerboseProgressLog ? 1 : 0) << '\n'
          << "MapScaleFactor= " << p.mapScaleFactor << '\n'
          << "AutoRegressionOrder= " << p.autoRegressionOrder << '\n'
          << "FirstTimePointInclusionThres= " << p.firstTimePointInclusionThres << '\n'
          << "NumSurrogateSimulations= " << p.numSurrogateSimulations << '\n'
          << "NumDiscardedSimulatedTimePoints= " << p.numDiscardedSimulatedTimePoints << '\n'
          << '\n';
    runLog << block.str();
}

}  // namespace ldi
