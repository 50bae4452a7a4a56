#include "vxrengine.h"

VxrEngineUnits::VxrEngineUnits()
    : links(config, seams),
      pruning(config.retention, seams, log, settings),
      inventory(config, seams, settings),
      cycle(seams, log, settings, pruning, worker.quitting()),
      report(config, seams, settings, inventory, worker),
      uploads(seams, log, settings, worker, pruning, links),
      restores(seams, log, worker, links, pruning.claims()),
      onDemand(config, seams, settings, inventory, worker, links, pruning),
      scheduler(seams, settings, worker, cycle, report)
{
    worker.setHandlers([this](const VxrTask& task) { uploads.run(task); },
                       [this](const VxrTask& task) { restores.run(task); });
}
