#ifndef VXRONDEMANDPASS_H
#define VXRONDEMANDPASS_H

struct VxrConfig;
class VxrInventory;
class VxrLinkCheck;
class VxrSeams;
class VxrSettingsStore;
class VxrTaskWorker;

// The on-demand upload pass of the root dataset (the "upload" mode): the
// engine's snapshots of it that the server lacks, and one line in the
// upload log. No task, no progress, no operation-log record.
class VxrOnDemandPass
{
public:
    VxrOnDemandPass(const VxrConfig& config, VxrSeams& seams, VxrSettingsStore& settings,
                    const VxrInventory& inventory, const VxrTaskWorker& worker, VxrLinkCheck& links);

    // Runs the pass with the settings as the file has them now; its result
    // code (VxrOnDemand::Code). A pass the service's quit interrupts starts
    // nothing more and keeps its failure.
    int run();

private:
    const VxrConfig& m_config;
    VxrSeams& m_seams;
    VxrSettingsStore& m_settings;
    const VxrInventory& m_inventory;
    const VxrTaskWorker& m_worker;
    VxrLinkCheck& m_links;
};

#endif
