#include "vxrengine.h"

VxrEngineUnits::VxrEngineUnits()
    : pruning(config.retention, seams, log, settings),
      inventory(config, seams, settings),
      cycle(seams, log, settings, pruning),
      report(config, seams, settings, inventory, worker),
      uploads(seams, log, settings, worker, pruning),
      restores(seams, log, worker),
      onDemand(config, seams, settings, inventory, worker),
      scheduler(seams, settings, worker, cycle, report)
{
    worker.setHandlers([this](const VxrTask& task) { uploads.run(task); },
                       [this](const VxrTask& task) { restores.run(task); });
}
