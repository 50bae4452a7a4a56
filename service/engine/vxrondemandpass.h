#ifndef VXRONDEMANDPASS_H
#define VXRONDEMANDPASS_H

#include "vxrssh.h"

#include <QString>
#include <QStringList>

struct VxrConfig;
class VxrInventory;
class VxrLinkCheck;
class VxrPruning;
class VxrSeams;
class VxrSettingsStore;
class VxrTaskWorker;

// The on-demand upload pass of the root dataset (the "upload" mode): the
// engine's snapshots of it that the server lacks, and one line in the
// upload log. No task, no progress, no operation-log record.
//
// The pass runs as a process of its own. From before its listing to the
// base's record it claims the root dataset and every configured dataset
// below it, which its stream carries: it waits for a pruning pass or an
// upload of any of them in the service to end, and keeps the service's
// pruning off them until it is done. With "retention", a pass that sent
// moves each one's base to its snapshot of the name the root's newest
// sent one carries, as the scheduled upload does (VxrPruning::moveBase),
// so that an appliance uploaded only this way prunes too.
class VxrOnDemandPass
{
public:
    VxrOnDemandPass(const VxrConfig& config, VxrSeams& seams, VxrSettingsStore& settings,
                    const VxrInventory& inventory, const VxrTaskWorker& worker, VxrLinkCheck& links,
                    VxrPruning& pruning);

    // Runs the pass with the settings as the file has them now; its result
    // code (VxrOnDemand::Code). A pass the service's quit interrupts starts
    // nothing more and keeps its failure; interrupted while it waits for
    // its claims, it has listed nothing and ends as ListFailed.
    int run();

    // The datasets the pass claims: the root, then the configured
    // datasets below it.
    QStringList claimedDatasets() const;

private:
    // Claims the datasets, sends, records the bases.
    int sendClaimed(const VxrSsh::Account& account);
    // The listing and the transfers; sent is the newest snapshot the last
    // successful transfer carried.
    int send(const VxrSsh::Account& account, QString* sent);

    const VxrConfig& m_config;
    VxrSeams& m_seams;
    VxrSettingsStore& m_settings;
    const VxrInventory& m_inventory;
    const VxrTaskWorker& m_worker;
    VxrLinkCheck& m_links;
    VxrPruning& m_pruning;
};

#endif
