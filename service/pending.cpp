// Temporary: the on-demand upload lands in a later commit.
#include "vxrclient.h"
int VxrClient::upload() { return -3; }
