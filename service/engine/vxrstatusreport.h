#ifndef VXRSTATUSREPORT_H
#define VXRSTATUSREPORT_H

#include "hx3httppool.h"

#include <atomic>

struct VxrConfig;
class VxrInventory;
class VxrSeams;
class VxrSettingsStore;
class VxrTaskWorker;

// The status report to the management server. At most one report is
// gathered at a time; posting does not wait.
class VxrStatusReport
{
public:
    VxrStatusReport(const VxrConfig& config, VxrSeams& seams, const VxrSettingsStore& settings,
                    const VxrInventory& inventory, const VxrTaskWorker& worker);

    // Takes the configuration's certificate authorities; before any report.
    void configure();
    // Starts a report on a thread of its own unless one runs.
    void start();
    // Thread body of one report; clears running() at its end. With a
    // management server URL and an answer of the platform agent that
    // allows it, gathers the report (server account and snapshots, task
    // listing, ZFS inventory, last upload, status program, package
    // version, capacity) and hands it to the pool without waiting. Without
    // them nothing is gathered: no ssh login, no program run. Failures are
    // silent (no operation-log record); a part that fails stays empty.
    void run();

    std::atomic<bool>& running() { return m_running; }

private:
    const VxrConfig& m_config;
    VxrSeams& m_seams;
    const VxrSettingsStore& m_settings;
    const VxrInventory& m_inventory;
    const VxrTaskWorker& m_worker;
    std::atomic<bool> m_running{false};
    // Posts the reports; 30 s for each.
    HX3HttpPool m_pool{nullptr, 30};
};

#endif
