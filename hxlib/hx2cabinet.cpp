#include "hx2cabinet.h"

#include <QHash>
#include <QJsonArray>

#include <mutex>

class HX2CabinetPrivate
{
public:
    bool local = false;
    mutable std::mutex envMutex;
    QJsonObject environment; // guarded by envMutex
    mutable std::mutex storeMutex;
    QHash<QString, QJsonValue> store; // guarded by storeMutex
    QJsonArray array1;
    QJsonArray array2;
    QJsonArray array3;
    QString token;

    HX2CabinetPrivate() = default;
    HX2CabinetPrivate(const HX2CabinetPrivate& o)
        : local(o.local), array1(o.array1), array2(o.array2), array3(o.array3), token(o.token)
    {
        copyGuarded(o);
    }
    HX2CabinetPrivate& operator=(const HX2CabinetPrivate& o)
    {
        if (this == &o)
            return *this;
        local = o.local;
        array1 = o.array1;
        array2 = o.array2;
        array3 = o.array3;
        token = o.token;
        copyGuarded(o);
        return *this;
    }

private:
    void copyGuarded(const HX2CabinetPrivate& o)
    {
        QJsonObject env;
        QHash<QString, QJsonValue> st;
        {
            std::lock_guard<std::mutex> lock(o.envMutex);
            env = o.environment;
        }
        {
            std::lock_guard<std::mutex> lock(o.storeMutex);
            st = o.store;
        }
        {
            std::lock_guard<std::mutex> lock(envMutex);
            environment = env;
        }
        std::lock_guard<std::mutex> lock(storeMutex);
        store = st;
    }
};

HX2Cabinet::HX2Cabinet() : d(new HX2CabinetPrivate) {}

HX2Cabinet::HX2Cabinet(const HX2Cabinet& other) : HX2Journals(other), d(new HX2CabinetPrivate(*other.d)) {}

HX2Cabinet& HX2Cabinet::operator=(const HX2Cabinet& other)
{
    if (this != &other) {
        HX2Journals::operator=(other);
        *d = *other.d;
    }
    return *this;
}

HX2Cabinet::~HX2Cabinet()
{
    delete d;
}

void HX2Cabinet::insert(const QString& key, const QJsonValue& value)
{
    std::lock_guard<std::mutex> lock(d->envMutex);
    d->environment.insert(key, value);
}

QJsonValue HX2Cabinet::value(const QString& key) const
{
    std::lock_guard<std::mutex> lock(d->envMutex);
    return d->environment.value(key);
}

QJsonObject HX2Cabinet::object() const
{
    std::lock_guard<std::mutex> lock(d->envMutex);
    return d->environment;
}

void HX2Cabinet::set(const QString& key, const QJsonValue& value)
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    d->store.insert(key, value);
}

void HX2Cabinet::get(const QString& key, QJsonValue& out) const
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    out = d->store.value(key, QJsonValue(QJsonValue::Null));
}

QString HX2Cabinet::getString(const QString& key) const
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    return d->store.value(key).toString();
}

void HX2Cabinet::remove(const QString& key)
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    d->store.remove(key);
}

bool HX2Cabinet::contains(const QString& key) const
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    return d->store.contains(key);
}

QStringList HX2Cabinet::keys() const
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    return d->store.keys();
}

void HX2Cabinet::clear()
{
    std::lock_guard<std::mutex> lock(d->storeMutex);
    d->store.clear();
}

bool HX2Cabinet::isLocal() const { return d->local; }
void HX2Cabinet::setLocal(bool local) { d->local = local; }
QString HX2Cabinet::token() const { return d->token; }
void HX2Cabinet::setToken(const QString& token) { d->token = token; }
