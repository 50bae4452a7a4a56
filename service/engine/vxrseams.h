#ifndef VXRSEAMS_H
#define VXRSEAMS_H

#include "hx2mutex.h"
#include "vxrprograms.h"

#include <QDateTime>

#include <functional>
#include <memory>

// What the engine asks of the world around it, replaceable by tests: the
// local time and the programs it starts. Set before the engine's threads
// run; read from any thread.
class VxrSeams
{
public:
    VxrSeams();

    void setClock(std::function<QDateTime()> clock);
    // The clock's local date and time.
    QDateTime now() const;
    // Null restores the programs of the machine.
    void setPrograms(std::shared_ptr<VxrPrograms> programs);
    // Never null.
    std::shared_ptr<VxrPrograms> programs() const;

private:
    mutable HX2Mutex m_mutex;
    std::function<QDateTime()> m_clock HX2_GUARDED_BY(m_mutex);
    std::shared_ptr<VxrPrograms> m_programs HX2_GUARDED_BY(m_mutex);
};

#endif
