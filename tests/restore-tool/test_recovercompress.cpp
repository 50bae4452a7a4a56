// dsrecover's compressed stream: the option read among the arguments
// (and the password found wherever it stands), and the compressed
// transfer text run through a real bash with the real compressors.
#include "recoverplan.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Recover;

namespace {

TEST(RecoverCompress, OptionAmongTheArguments)
{
    struct Case
    {
        QStringList args;
        bool ok;
        QString compress;
        QString passwd;
        int passwordAt;
    };
    const Case cases[] = {
        {{"--compress", "zstd", "srv", "bob", "pw"}, true, "zstd", "pw", 4},
        {{"srv", "bob", "pw", "--compress=lz4"}, true, "lz4", "pw", 2},
        {{"srv", "bob", "--compress", "none", "pw", "tank", "a"}, true, "", "pw", 4},
        {{"srv", "bob", "--", "--compress"}, true, "", "--compress", 3},
        {{"srv", "--compress=gzip", "bob", "pw"}, false, "", "", 3},
        {{"srv", "bob", "pw", "--compress"}, false, "", "", 2},
        {{"--compress=zstd", "srv", "bob"}, false, "", "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join('|').toStdString());
        Request r;
        EXPECT_EQ(parseArguments(c.args, &r), c.ok);
        EXPECT_EQ(passwordPosition(c.args), c.passwordAt);
        if (c.ok) {
            EXPECT_EQ(r.compress, c.compress);
            EXPECT_EQ(r.passwd, c.passwd);
        }
    }
}

// sshpass and /usr/sbin/zfs as bash functions: sshpass runs the server's
// command in a shell of its own and keeps what it sends back, zfs send prints a payload
// (or fails when asked), zfs recv keeps what reaches it.
QByteArray runCompressed(const QString& text, const QString& dir, const QString& sendStatus)
{
    const QString fakes = QStringLiteral(
        "sshpass() { bash -c \"$(declare -f /usr/sbin/zfs); ${@: -1}\" | tee \"$D/wire\"; }\n"
        "function /usr/sbin/zfs { if [ \"$1\" = send ]; then cat \"$D/payload\"; return $SEND_RC; fi; "
        "cat > \"$D/received\"; }\n");
    QProcess bash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("D", dir);
    env.insert("SEND_RC", sendStatus);
    bash.setProcessEnvironment(env);
    bash.start("bash", {"-c", fakes + text});
    EXPECT_TRUE(bash.waitForFinished(10000));
    return bash.readAllStandardOutput();
}

TEST(RecoverCompress, StreamArrivesWholeAndFailuresShow)
{
    if (QStandardPaths::findExecutable("zstd").isEmpty() || QStandardPaths::findExecutable("lz4").isEmpty())
        GTEST_SKIP() << "zstd and lz4 are needed (scripts/install-deps.sh)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray payload;
    for (int i = 0; i < 5000; ++i)
        payload += "block " + QByteArray::number(i % 17) + QByteArray(" \0\r\n", 4);
    QFile f(dir.path() + "/payload");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(payload);
    f.close();

    Request r;
    r.server = "h\"o;st`x`";
    r.userid = "us'er$(id)";
    r.passwd = "never-in-text";
    r.vg = "tank";
    r.lv = "da ta";
    struct { QString compress; QByteArray magic; } codecs[] = {
        {"zstd", QByteArray("\x28\xb5\x2f\xfd", 4)}, {"lz4", QByteArray("\x04\x22\x4d\x18", 4)}};
    for (const auto& codec : codecs) {
        r.compress = codec.compress;
        for (const QString& text : {fullTransfer(r, "tank/da ta@it's", QString()),
                                    incrementalTransfer(r, "tank/da ta@1", "tank/da ta@$HOME", "/dev/null")}) {
            SCOPED_TRACE(text.toStdString());
            EXPECT_FALSE(text.contains(r.passwd));
            QFile::remove(dir.path() + "/received");
            EXPECT_TRUE(transferCompleted(runCompressed(text, dir.path(), "0")));
            QFile received(dir.path() + "/received"), wire(dir.path() + "/wire");
            ASSERT_TRUE(received.open(QIODevice::ReadOnly) && wire.open(QIODevice::ReadOnly));
            EXPECT_EQ(received.readAll(), payload);
            const QByteArray sent = wire.readAll();
            EXPECT_TRUE(sent.startsWith(codec.magic));
            EXPECT_LT(sent.size(), payload.size() / 3);
            // The server's send failing behind its compressor fails it all.
            EXPECT_FALSE(transferCompleted(runCompressed(text, dir.path(), "3")));
        }
    }
}

} // namespace
