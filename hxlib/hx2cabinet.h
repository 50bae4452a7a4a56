#ifndef HX2CABINET_H
#define HX2CABINET_H

#include "hx2journals.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QStringList>

class HX2CabinetPrivate;

// The environment handed to every command handler: the call's journal (the
// HX2Journals base, which carries the reply's outcome) plus a per-connection
// environment object and key/value store.
//
// The environment object and the store each have their own lock, so any
// thread may use them. The journal part has no lock and belongs to the
// connection thread that owns the cabinet.
class HX2Cabinet : public HX2Journals
{
public:
    HX2Cabinet();
    HX2Cabinet(const HX2Cabinet& other);
    HX2Cabinet& operator=(const HX2Cabinet& other);
    ~HX2Cabinet() override;

    // The environment object.
    void insert(const QString& key, const QJsonValue& value);
    QJsonValue value(const QString& key) const;
    QJsonObject object() const;

    // The key/value store.
    void set(const QString& key, const QJsonValue& value);
    // out = the stored value, or null when absent.
    void get(const QString& key, QJsonValue& out) const;
    // The stored value as a string; empty when absent or not a string.
    QString getString(const QString& key) const;
    void remove(const QString& key);
    bool contains(const QString& key) const;
    QStringList keys() const;
    void clear();

    bool isLocal() const;
    void setLocal(bool local);
    QString token() const;
    void setToken(const QString& token);

private:
    HX2CabinetPrivate* d;
};

Q_DECLARE_METATYPE(HX2Cabinet)
Q_DECLARE_METATYPE(HX2Cabinet*)

#endif
