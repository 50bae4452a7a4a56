#ifndef LNX2HARDWARE_H
#define LNX2HARDWARE_H

// Companion of LNX2Network reserved for hardware probes; it has none yet
// and holds no state.
class LNX2Hardware
{
public:
    LNX2Hardware();
};

#endif
