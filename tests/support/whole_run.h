// Whole runs of the plug-in's driver for the tests of any layer: the set-up
// record, the inputs prepared from it, the driver and the outputs it fills.
// A test of a lower layer that judges its code by the results of a real run
// (the engine's maps, a VTC's time courses as the run reads them, the settings
// as a run applies them) takes the run from here, so that its own folder's
// includes stay within its layer.
#pragma once

#include "output/map_output.h"
#include "output/result_output.h"
#include "plugin/analysis_context.h"
#include "plugin/analysis_driver.h"
#include "plugin/ldi_plugin.h"
#include "plugin/run_inputs.h"
#include "setup/analysis_setup.h"
