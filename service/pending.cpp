// Temporary: the scheduler and the on-demand upload land in the next commits.
#include "vxrclient.h"
void VxrClient::startScheduler() {}
