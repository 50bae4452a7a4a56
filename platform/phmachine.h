#ifndef PHMACHINE_H
#define PHMACHINE_H

#include <QString>

// The appliance as a machine. The engine holds one for its lifetime; it
// reads nothing at construction, so building it is cheap and cannot fail.
class PHMachine
{
public:
    PHMachine();
    ~PHMachine();
    PHMachine(const PHMachine&) = delete;
    PHMachine& operator=(const PHMachine&) = delete;

    // The machine's host name; empty when the system does not say.
    QString hostName() const;
};

#endif
