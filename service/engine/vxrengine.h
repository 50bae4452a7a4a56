#ifndef VXRENGINE_H
#define VXRENGINE_H

#include "phmachine.h"
#include "vxrconfig.h"
#include "vxrinventory.h"
#include "vxrlinkcheck.h"
#include "vxrondemandpass.h"
#include "vxroperationlog.h"
#include "vxrpruning.h"
#include "vxrrestore.h"
#include "vxrscheduler.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrsnapshotcycle.h"
#include "vxrstatusreport.h"
#include "vxrtaskworker.h"
#include "vxrupload.h"

// The engine's units, each owning its state and its locks, built in the
// order they depend on one another. The engine's front (VxrClient) calls
// them; bench drivers and tests reach one unit here to exercise it alone.
struct VxrEngineUnits
{
    VxrEngineUnits();
    VxrEngineUnits(const VxrEngineUnits&) = delete;
    VxrEngineUnits& operator=(const VxrEngineUnits&) = delete;

    // Set by the configuration before any thread of the engine runs.
    VxrConfig config;
    VxrSeams seams;
    VxrLinkCheck links;
    VxrOperationLog log;
    VxrSettingsStore settings;
    VxrTaskWorker worker;
    VxrPruning pruning;
    VxrInventory inventory;
    VxrSnapshotCycle cycle;
    VxrStatusReport report;
    VxrUploadFlow uploads;
    VxrRestoreFlow restores;
    VxrOnDemandPass onDemand;
    VxrScheduler scheduler;
    // The platform's machine object lives with the engine; nothing asks it.
    PHMachine machine;
};

#endif
