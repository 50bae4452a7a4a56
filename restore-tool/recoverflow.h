#ifndef RECOVERFLOW_H
#define RECOVERFLOW_H

#include "recoverplan.h"

namespace Recover {

// Restores request.vglv() from the server: checks the local pools, lists
// the server's snapshots of the dataset of the same name, receives the
// first of them in full and the rest as one incremental stream, resets the
// mount points the stream set outside the pool's tree, and mounts the
// target. Prints each step's message on standard output and returns the
// exit status: 0 once the dataset was received (whatever the mount gives),
// 255 on any failure, which is never reported as done. The target is not
// mounted when its mount points could not be checked.
int restore(const Request& request);

} // namespace Recover

#endif
