#include "hx2todorouter.h"

#include <QMetaMethod>
#include <QMetaObject>

#include <algorithm>

namespace {

const char kHandlerParams[] = "(QJsonObject*,QJsonObject,HX2Cabinet*)";

bool isHandler(const QMetaMethod& m)
{
    return m.methodSignature().endsWith(kHandlerParams) && !m.name().startsWith('_');
}

QJsonObject builtinHelp()
{
    return QJsonObject{
        {QStringLiteral("cmd"), QStringLiteral("help_interfaces")},
        {QStringLiteral("comment"), QStringLiteral("获取接口的使用说明")},
        {QStringLiteral("params"), QJsonObject{{QStringLiteral("cmd"), QStringLiteral("接口名(可选)")}}},
        {QStringLiteral("params-comment"),
         QJsonObject{{QStringLiteral("cmd"), QStringLiteral("可选的接口名, 不指定时显示所有接口的使用说明")}}},
    };
}

void invokeHandler(QObject* target, const QMetaMethod& m, QJsonObject* ret, const QJsonObject& cmd,
                   HX2Cabinet* env)
{
    m.invoke(target, Qt::DirectConnection, Q_ARG(QJsonObject*, ret), Q_ARG(QJsonObject, cmd),
             Q_ARG(HX2Cabinet*, env));
}

} // namespace

HX2TodoRouter::HX2TodoRouter(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<HX2Cabinet>("HX2Cabinet");
}

HX2TodoRouter::~HX2TodoRouter() = default;

QString HX2TodoRouter::routerId() const
{
    return m_routerId;
}

bool HX2TodoRouter::loadConfigure(HX2Journals& journal, const QJsonObject& config)
{
    (void)journal;
    (void)config;
    return true;
}

void HX2TodoRouter::add(HX2TodoRouter* router)
{
    if (!router)
        return;
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    if (!m_children.contains(router))
        m_children.append(router);
}

void HX2TodoRouter::del(HX2TodoRouter* router)
{
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    m_children.removeOne(router);
}

QList<HX2TodoRouter*> HX2TodoRouter::list() const
{
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    return m_children;
}

bool HX2TodoRouter::doSlot(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env)
{
    return dispatch(ret, cmd, env, false);
}

bool HX2TodoRouter::doCall(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env)
{
    return dispatch(ret, cmd, env, true);
}

bool HX2TodoRouter::dispatch(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env, bool prefixed)
{
    QString name = cmd.value(QStringLiteral("cmd")).toString().trimmed();
    if (name.isEmpty())
        return false;
    if (prefixed)
        name.prepend(QStringLiteral("__LS__"));
    // The name comes from a peer; it only ever selects a method with exactly
    // the handler signature.
    const QByteArray signature = name.toUtf8() + kHandlerParams;
    const QMetaObject* mo = metaObject();
    const int index = mo->indexOfMethod(signature.constData());
    if (index >= 0) {
        invokeHandler(this, mo->method(index), &ret, cmd, env);
        return true;
    }
    const QList<HX2TodoRouter*> children = list();
    for (HX2TodoRouter* child : children) {
        if (prefixed ? child->doCall(ret, cmd, env) : child->doSlot(ret, cmd, env))
            return true;
    }
    ret.insert(QStringLiteral("err"), 9885);
    return false;
}

void HX2TodoRouter::inject(QJsonObject* ret, int err, const QString& errmsg) const
{
    if (!ret)
        return;
    ret->insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        ret->insert(QStringLiteral("errmsg"), errmsg);
}

void HX2TodoRouter::allInterfaces(QStringList& names) const
{
    const QMetaObject* mo = metaObject();
    for (int i = 0; i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (isHandler(m))
            names.append(QString::fromUtf8(m.name()));
    }
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    for (const HX2TodoRouter* child : m_children)
        child->allInterfaces(names);
}

void HX2TodoRouter::allInterfaces(QJsonObject& all)
{
    const QJsonObject defaultHelp{{QStringLiteral("comment"), QStringLiteral("<<此接口没有提供使用说明>>")}};
    const QJsonObject helpRequest{{QStringLiteral("help"), 1}};
    HX2Cabinet scratch;
    const QMetaObject* mo = metaObject();
    for (int i = 0; i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        const QString name = QString::fromUtf8(m.name());
        if (all.contains(name) || !isHandler(m))
            continue;
        QJsonObject help;
        invokeHandler(this, m, &help, helpRequest, &scratch);
        if (help.value(QStringLiteral("unpublished")).toBool())
            continue;
        if (help.contains(QStringLiteral("comment"))) {
            if (!help.contains(QStringLiteral("params")))
                help.insert(QStringLiteral("params-comment"), QStringLiteral("本接口没有参数"));
            if (help.contains(QStringLiteral("token"))) {
                help.insert(QStringLiteral("token"), QStringLiteral("登录成功时返回的token"));
                help.insert(QStringLiteral("token-comment"), QStringLiteral("登录成功时返回的token"));
            } else {
                help.insert(QStringLiteral("token-comment"), QStringLiteral("允许不传token，但已登录时建议传入"));
            }
        } else {
            help = defaultHelp;
        }
        help.insert(QStringLiteral("cmd"), name);
        all.insert(name, help);
    }
    const QList<HX2TodoRouter*> children = list();
    for (HX2TodoRouter* child : children)
        child->allInterfaces(all);
}

void HX2TodoRouter::help_interfaces(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
{
    if (!retObject)
        return;
    if (cmdObject.contains(QStringLiteral("help"))) {
        *retObject = builtinHelp();
        return;
    }
    QJsonObject all{{QStringLiteral("help_interfaces"), builtinHelp()}};
    allInterfaces(all);
    const QString only = cmdObject.value(QStringLiteral("params")).toObject()
                             .value(QStringLiteral("cmd")).toString().trimmed();
    if (!only.isEmpty()) {
        const bool known = all.contains(only);
        const QJsonValue entry = all.value(only);
        all = QJsonObject();
        if (!known) {
            retObject->insert(QStringLiteral("results"), all);
            if (envObject)
                envObject->setErr(9885, QStringLiteral("被调用的方法不存在: ") + only);
            return;
        }
        all.insert(only, entry);
    }
    retObject->insert(QStringLiteral("results"), all);
    if (envObject)
        envObject->setErr(0, QString());
}
