#include "phmachine.h"

#include <QSysInfo>

PHMachine::PHMachine() = default;
PHMachine::~PHMachine() = default;

QString PHMachine::hostName() const
{
    return QSysInfo::machineHostName();
}
