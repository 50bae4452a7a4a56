#ifndef HX2TODOROUTER_H
#define HX2TODOROUTER_H

#include "hx2cabinet.h"
#include "hx2journals.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <mutex>

// Base class of command routers. A command is a slot of a derived class
// named after it, with the handler signature
//     void name(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);
// retObject is the reply body to fill, cmdObject the whole request and
// envObject the connection's environment, whose journal carries the
// outcome. A handler asked with a request that contains "help" replaces
// retObject by its help object and does nothing else.
//
// Routers form a tree: when a router has no slot for a command, its
// children are asked in the order they were added. A slot whose name
// begins with "__LS__" is reached through doCall() under the command name
// without the prefix; slots beginning with "_" are never listed.
//
// Dispatch runs synchronously on the caller's thread; add(), del() and
// list() may be called from any thread while others dispatch.
class HX2TodoRouter : public QObject
{
    Q_OBJECT
public:
    explicit HX2TodoRouter(QObject* parent = nullptr);
    ~HX2TodoRouter() override;

    virtual QString routerId() const;
    // Base: accepts any configuration and returns true.
    virtual bool loadConfigure(HX2Journals& journal, const QJsonObject& config);

    // Adds a child router (not owned); null and duplicates are ignored.
    void add(HX2TodoRouter* router);
    // Removes the first occurrence of router.
    void del(HX2TodoRouter* router);
    // A copy of the children, in the order added.
    QList<HX2TodoRouter*> list() const;

    // Dispatches cmd to the slot named exactly after its trimmed "cmd" in
    // this router, else in the first child that has one. True when a slot
    // ran. False with nothing written when "cmd" is empty or blank; false
    // with ret "err" = 9885 when no router of the tree has the slot.
    virtual bool doSlot(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env);
    // As doSlot(), for the slot named "__LS__" followed by the command.
    virtual bool doCall(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env);

    // ret "err" = err, and "errmsg" = errmsg when non-empty.
    void inject(QJsonObject* ret, int err, const QString& errmsg) const;

    // Appends the names of all handler slots of the tree (not those
    // beginning with "_"), this router's first; a name met twice is listed
    // twice.
    void allInterfaces(QStringList& names) const;
    // Adds the completed help object of every published handler slot of
    // the tree, keyed by command name. A name already in all is kept.
    void allInterfaces(QJsonObject& all);

protected slots:
    // Built-in command: "results" = the help objects of every published
    // command, or only the one named by the optional "params" "cmd" (an
    // unknown name gives empty "results" and 9885). Sets the journal to 0.
    virtual void help_interfaces(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject);

private:
    bool dispatch(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env, bool prefixed);

    QString m_routerId;
    mutable std::mutex m_childrenMutex;
    QList<HX2TodoRouter*> m_children; // guarded by m_childrenMutex
};

#endif
