#include "hx2cabinet.h"
#include "hx2todorouter.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

bool wantsHelp(const QJsonObject& cmd, QJsonObject* ret, const QJsonObject& help)
{
    if (!cmd.contains("help"))
        return false;
    *ret = help;
    return true;
}

// Writes who answered, and echoes the request's params so that a test can
// see the whole request reached the handler.
void answer(QJsonObject* ret, const QJsonObject& cmd, HX2Cabinet* env, const char* by)
{
    ret->insert("by", by);
    ret->insert("echo", cmd.value("params"));
    if (env)
        env->setErr(0, QString());
}

} // namespace

class AlphaRouter : public HX2TodoRouter
{
    Q_OBJECT
public:
    // Called between dispatches of other routers to change the tree while a
    // dispatch walks it.
    HX2TodoRouter* mutateParent = nullptr;
    HX2TodoRouter* mutateChild = nullptr;

    void notHandler(QJsonObject*) {}

private slots:
    void ping(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, {}))
            return;
        answer(retObject, cmdObject, envObject, "alpha");
    }
    void shared(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, obj(R"({"comment":"alpha"})")))
            return;
        answer(retObject, cmdObject, envObject, "alpha");
    }
    void documented(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, obj(R"({"comment":"c","params":{"x":"y"}})")))
            return;
        answer(retObject, cmdObject, envObject, "alpha");
    }
    void tokened(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, obj(R"({"comment":"c","token":"anything"})")))
            return;
        answer(retObject, cmdObject, envObject, "alpha");
    }
    void hidden(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, obj(R"({"comment":"c","unpublished":true})")))
            return;
        answer(retObject, cmdObject, envObject, "alpha");
    }
    void _private(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        answer(retObject, cmdObject, envObject, "private");
    }
    void __LS__direct(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, {}))
            return;
        answer(retObject, cmdObject, envObject, "ls");
    }
    void mutate(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, {}))
            return;
        if (mutateParent) {
            mutateParent->del(this);
            mutateParent->add(mutateChild);
        }
        answer(retObject, cmdObject, envObject, "alpha");
    }
};

class BetaRouter : public HX2TodoRouter
{
    Q_OBJECT
private slots:
    void shared(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, obj(R"({"comment":"beta"})")))
            return;
        answer(retObject, cmdObject, envObject, "beta");
    }
    void onlyBeta(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, {}))
            return;
        answer(retObject, cmdObject, envObject, "beta");
    }
    void direct(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, {}))
            return;
        answer(retObject, cmdObject, envObject, "beta");
    }
};

class GammaRouter : public HX2TodoRouter
{
    Q_OBJECT
private slots:
    void onlyGamma(QJsonObject* retObject, QJsonObject cmdObject, HX2Cabinet* envObject)
    {
        if (wantsHelp(cmdObject, retObject, {}))
            return;
        answer(retObject, cmdObject, envObject, "gamma");
    }
};

TEST(TodoRouter, DispatchTable)
{
    HX2TodoRouter root;
    AlphaRouter alpha;
    BetaRouter beta;
    GammaRouter gamma;
    root.add(&alpha);
    root.add(&beta);
    root.add(&gamma);

    enum Via { Slot, Call };
    struct Case {
        const char* name;
        Via via;
        QJsonObject request;
        bool handled;
        const char* reply; // the whole reply body
    };
    const std::vector<Case> cases = {
        {"own slot of a child", Slot, obj(R"({"cmd":"ping","params":{"a":1}})"), true, R"({"by":"alpha","echo":{"a":1}})"},
        {"name is trimmed", Slot, obj(R"({"cmd":"  ping\t"})"), true, R"({"by":"alpha"})"},
        {"first router in tree order wins", Slot, obj(R"({"cmd":"shared"})"), true, R"({"by":"alpha"})"},
        {"second child", Slot, obj(R"({"cmd":"onlyBeta"})"), true, R"({"by":"beta"})"},
        {"third child", Slot, obj(R"({"cmd":"onlyGamma"})"), true, R"({"by":"gamma"})"},
        {"doCall finds the __LS__ slot", Call, obj(R"({"cmd":"direct"})"), true, R"({"by":"ls"})"},
        {"doSlot finds the exact name", Slot, obj(R"({"cmd":"direct"})"), true, R"({"by":"beta"})"},
        {"doSlot reaches __LS__ by full name", Slot, obj(R"({"cmd":"__LS__direct"})"), true, R"({"by":"ls"})"},
        {"doCall ignores unprefixed slots", Call, obj(R"({"cmd":"ping"})"), false, R"({"err":9885})"},
        {"unpublished is callable", Slot, obj(R"({"cmd":"hidden"})"), true, R"({"by":"alpha"})"},
        {"underscore slot is callable by name", Slot, obj(R"({"cmd":"_private"})"), true, R"({"by":"private"})"},
        {"unknown", Slot, obj(R"({"cmd":"nope"})"), false, R"({"err":9885})"},
        {"wrong signature", Slot, obj(R"({"cmd":"notHandler"})"), false, R"({"err":9885})"},
        {"QObject method", Slot, obj(R"({"cmd":"deleteLater"})"), false, R"({"err":9885})"},
        {"signature text in the name", Slot, obj(R"J({"cmd":"ping(QJsonObject*,QJsonObject,HX2Cabinet*)"})J"), false, R"({"err":9885})"},
        {"empty name", Slot, obj(R"({"cmd":""})"), false, "{}"},
        {"blank name", Call, obj(R"({"cmd":"  \t "})"), false, "{}"},
        {"missing name", Slot, obj(R"({"params":{}})"), false, "{}"},
        {"name not a string", Slot, obj(R"({"cmd":5})"), false, "{}"},
    };
    for (const Case& c : cases) {
        QJsonObject ret;
        HX2Cabinet env;
        const bool handled = c.via == Slot ? root.doSlot(ret, c.request, &env) : root.doCall(ret, c.request, &env);
        EXPECT_EQ(handled, c.handled) << c.name;
        // A router asked before the one that answers marks the reply 9885;
        // the answer's outcome comes from the journal, which the server
        // writes over it.
        if (handled)
            ret.remove("err");
        EXPECT_EQ(ret, obj(c.reply)) << c.name;
        EXPECT_EQ(env.err(), c.handled ? 0 : 9999) << c.name;
    }
}

TEST(TodoRouter, ChildListAddDelAndChangesDuringDispatch)
{
    HX2TodoRouter root;
    AlphaRouter alpha;
    BetaRouter beta;
    root.add(&alpha);
    root.add(&alpha);
    root.add(nullptr);
    root.add(&beta);
    EXPECT_EQ(root.list(), (QList<HX2TodoRouter*>{&alpha, &beta}));

    // A handler that rearranges the tree while it is being walked: the walk
    // goes over its own copy and does not hold the lock across the call.
    GammaRouter gamma;
    alpha.mutateParent = &root;
    alpha.mutateChild = &gamma;
    QJsonObject ret;
    EXPECT_TRUE(root.doSlot(ret, obj(R"({"cmd":"mutate"})"), nullptr));
    EXPECT_EQ(root.list(), (QList<HX2TodoRouter*>{&beta, &gamma}));
    ret = {};
    EXPECT_FALSE(root.doSlot(ret, obj(R"({"cmd":"ping"})"), nullptr));
    EXPECT_TRUE(root.doSlot(ret, obj(R"({"cmd":"onlyGamma"})"), nullptr));

    root.del(&beta);
    root.del(&beta);
    EXPECT_EQ(root.list(), (QList<HX2TodoRouter*>{&gamma}));
}

class TodoRouterHelp : public ::testing::Test
{
protected:
    void SetUp() override
    {
        alpha.add(&beta);
        root.add(&alpha);
    }

    QJsonObject call(const QJsonObject& request, HX2Cabinet& env)
    {
        QJsonObject ret;
        EXPECT_TRUE(root.doSlot(ret, request, &env));
        return ret;
    }

    HX2TodoRouter root;
    AlphaRouter alpha;
    BetaRouter beta;
};

TEST_F(TodoRouterHelp, ListingCompletesHelpObjects)
{
    HX2Cabinet env;
    const QJsonObject ret = call(obj(R"({"cmd":"help_interfaces"})"), env);
    EXPECT_EQ(env.err(), 0);
    EXPECT_TRUE(env.errmsg().isEmpty());
    const QJsonObject results = ret.value("results").toObject();

    const QJsonObject expected = obj(R"J({
        "help_interfaces": {"cmd": "help_interfaces", "comment": "获取接口的使用说明",
                            "params": {"cmd": "接口名(可选)"},
                            "params-comment": {"cmd": "可选的接口名, 不指定时显示所有接口的使用说明"}},
        "ping": {"cmd": "ping", "comment": "<<此接口没有提供使用说明>>"},
        "mutate": {"cmd": "mutate", "comment": "<<此接口没有提供使用说明>>"},
        "shared": {"cmd": "shared", "comment": "alpha", "params-comment": "本接口没有参数",
                   "token-comment": "允许不传token，但已登录时建议传入"},
        "documented": {"cmd": "documented", "comment": "c", "params": {"x": "y"},
                       "token-comment": "允许不传token，但已登录时建议传入"},
        "tokened": {"cmd": "tokened", "comment": "c", "params-comment": "本接口没有参数",
                    "token": "登录成功时返回的token", "token-comment": "登录成功时返回的token"},
        "onlyBeta": {"cmd": "onlyBeta", "comment": "<<此接口没有提供使用说明>>"},
        "direct": {"cmd": "direct", "comment": "<<此接口没有提供使用说明>>"}
    })J");
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(results, expected) << QJsonDocument(results).toJson().constData();
    EXPECT_EQ(ret.keys(), QStringList{"results"});
}

TEST_F(TodoRouterHelp, FilterByCommandName)
{
    struct Case {
        const char* name;
        const char* params;
        QStringList keys;
        int err;
        QString errmsg;
    };
    const std::vector<Case> cases = {
        {"one command", R"({"cmd":"documented"})", {"documented"}, 0, {}},
        {"trimmed", R"({"cmd":" onlyBeta "})", {"onlyBeta"}, 0, {}},
        {"the built-in itself", R"({"cmd":"help_interfaces"})", {"help_interfaces"}, 0, {}},
        {"unknown", R"({"cmd":"nope"})", {}, 9885, QStringLiteral("被调用的方法不存在: nope")},
        {"unpublished is not described", R"({"cmd":"hidden"})", {}, 9885, QStringLiteral("被调用的方法不存在: hidden")},
        {"empty name lists all", R"({"cmd":""})",
         {"direct", "documented", "help_interfaces", "mutate", "onlyBeta", "ping", "shared", "tokened"}, 0, {}},
        {"not a string lists all", R"({"cmd":3})",
         {"direct", "documented", "help_interfaces", "mutate", "onlyBeta", "ping", "shared", "tokened"}, 0, {}},
    };
    for (const Case& c : cases) {
        HX2Cabinet env;
        QJsonObject request = obj(R"({"cmd":"help_interfaces"})");
        request.insert("params", obj(c.params));
        const QJsonObject ret = call(request, env);
        EXPECT_EQ(ret.value("results").toObject().keys(), c.keys) << c.name;
        EXPECT_TRUE(ret.value("results").isObject()) << c.name;
        EXPECT_EQ(env.err(), c.err) << c.name;
        EXPECT_EQ(env.errmsg(), c.errmsg) << c.name;
    }

    // Asked for its own help, the built-in answers with it and nothing else.
    HX2Cabinet env;
    const QJsonObject help = call(obj(R"({"cmd":"help_interfaces","help":1})"), env);
    EXPECT_EQ(help.value("comment").toString(), QStringLiteral("获取接口的使用说明"));
    EXPECT_FALSE(help.contains("results"));
    EXPECT_EQ(env.err(), 9999);
}

TEST_F(TodoRouterHelp, NameListFollowsTreeOrder)
{
    QStringList names;
    root.allInterfaces(names);
    EXPECT_EQ(names, (QStringList{"help_interfaces", "help_interfaces", "ping", "shared", "documented", "tokened",
                                  "hidden", "mutate", "help_interfaces", "shared", "onlyBeta", "direct"}));
}

TEST(Cabinet, StoreAndEnvironment)
{
    HX2Cabinet cab;
    cab.set("s", "text");
    cab.set("n", 4);
    cab.set("s", "again");
    struct Case {
        const char* key;
        QJsonValue value;
        QString asString;
        bool present;
    };
    const std::vector<Case> cases = {
        {"s", "again", "again", true},
        {"n", 4, "", true},
        {"absent", QJsonValue(QJsonValue::Null), "", false},
    };
    for (const Case& c : cases) {
        QJsonValue out = "sentinel";
        cab.get(c.key, out);
        EXPECT_EQ(out, c.value) << c.key;
        EXPECT_EQ(cab.getString(c.key), c.asString) << c.key;
        EXPECT_EQ(cab.contains(c.key), c.present) << c.key;
    }
    cab.insert("protocol", 128);
    cab.setErr(5, "m");
    const HX2Cabinet copy(cab);
    cab.remove("s");
    cab.insert("protocol", 1);
    EXPECT_EQ(copy.getString("s"), "again");
    EXPECT_EQ(copy.value("protocol"), QJsonValue(128));
    EXPECT_EQ(copy.err(), 5);
    EXPECT_FALSE(cab.contains("s"));
    cab.clear();
    EXPECT_TRUE(cab.keys().isEmpty());
    EXPECT_EQ(copy.keys().size(), 2);
}

#include "test_todorouter.moc"
