#include "vxrseams.h"

VxrSeams::VxrSeams()
    : m_clock([] { return QDateTime::currentDateTime(); }), m_programs(std::make_shared<VxrPrograms>())
{
}

void VxrSeams::setClock(std::function<QDateTime()> clock)
{
    HX2MutexLock lock(m_mutex);
    m_clock = std::move(clock);
}

QDateTime VxrSeams::now() const
{
    std::function<QDateTime()> clock;
    {
        HX2MutexLock lock(m_mutex);
        clock = m_clock;
    }
    return clock ? clock() : QDateTime::currentDateTime();
}

void VxrSeams::setPrograms(std::shared_ptr<VxrPrograms> programs)
{
    HX2MutexLock lock(m_mutex);
    m_programs = programs ? std::move(programs) : std::make_shared<VxrPrograms>();
}

std::shared_ptr<VxrPrograms> VxrSeams::programs() const
{
    HX2MutexLock lock(m_mutex);
    return m_programs;
}
