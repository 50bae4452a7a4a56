#include "hx2file.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// Limits the size of any file this process writes, so that writing a larger
// file fails part-way as on a full disk. SIGXFSZ is ignored meanwhile so the
// failed write returns an error instead of ending the process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim = m_saved;
        lim.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};

class FileTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(FileTest, LoadBinaryAndReadAll)
{
    writeFile(path("bin"), QByteArray("a\0b\nc", 5));
    QByteArray out("old");
    EXPECT_TRUE(HX2File::loadBinary(out, path("bin")));
    EXPECT_EQ(out, QByteArray("a\0b\nc", 5));
    EXPECT_EQ(HX2File::readAll(path("bin")), out);

    out = "old";
    EXPECT_FALSE(HX2File::loadBinary(out, path("missing")));
    EXPECT_EQ(out, "old");
    EXPECT_TRUE(HX2File::readAll(path("missing")).isEmpty());
    EXPECT_FALSE(HX2File::loadBinary(out, m_dir.path())); // a directory is not a file
    EXPECT_EQ(out, "old");
}

TEST_F(FileTest, JsonReaders)
{
    struct Case
    {
        const char* name;
        const char* content; // null: no file at all
        bool loads;
        QJsonObject object; // what loadJson and readJsonObject give
        QJsonArray array;   // what readJsonArray gives
    };
    const QJsonObject untouched{{"untouched", true}};
    const Case cases[] = {
        {"object", R"({"a": 1, "b": {"c": "d"}})", true, QJsonObject{{"a", 1}, {"b", QJsonObject{{"c", "d"}}}},
         QJsonArray()},
        {"array", "[1, 2]", true, QJsonObject(), QJsonArray{1, 2}},
        {"syntax error", R"({"a": )", false, untouched, QJsonArray()},
        {"trailing garbage", R"({"a": 1} x)", false, untouched, QJsonArray()},
        {"empty file", "", false, untouched, QJsonArray()},
        {"missing file", nullptr, false, untouched, QJsonArray()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = path(QString("case-%1.json").arg(QString(c.name).replace(' ', '-')));
        if (c.content)
            writeFile(file, c.content);
        QJsonObject out = untouched;
        EXPECT_EQ(HX2File::loadJson(out, file), c.loads);
        EXPECT_EQ(out, c.object);
        EXPECT_EQ(HX2File::readJsonObject(file), c.loads ? c.object : QJsonObject());
        EXPECT_EQ(HX2File::readJsonArray(file), c.array);
    }
}

TEST_F(FileTest, SaveJsonLayoutsAndRefusals)
{
    const QJsonObject obj{{"a", 1}, {"b", QJsonArray{true, "x"}}};
    ASSERT_TRUE(HX2File::saveJson(path("indented.json"), obj, false));
    EXPECT_EQ(HX2File::readAll(path("indented.json")),
              "{\n    \"a\": 1,\n    \"b\": [\n        true,\n        \"x\"\n    ]\n}\n");
    ASSERT_TRUE(HX2File::saveJson(path("compact.json"), obj, true));
    EXPECT_EQ(HX2File::readAll(path("compact.json")), R"({"a":1,"b":[true,"x"]})");
    ASSERT_TRUE(HX2File::saveJson(path("array.json"), QJsonArray{1, 2}, true));
    EXPECT_EQ(HX2File::readAll(path("array.json")), "[1,2]");
    EXPECT_EQ(HX2File::readJsonObject(path("indented.json")), obj);

    // Values that are neither object nor array are refused and write nothing.
    const QJsonValue refused[] = {QJsonValue("text"), QJsonValue(3), QJsonValue(true),
                                  QJsonValue(QJsonValue::Null), QJsonValue(QJsonValue::Undefined)};
    for (const QJsonValue& v : refused) {
        const QString file = path("sub/refused.json");
        EXPECT_FALSE(HX2File::saveJson(file, v, false));
        EXPECT_FALSE(QFile::exists(file));
    }
    // Only the directory may have been made.
    EXPECT_TRUE(entries(path("sub")).isEmpty());
}

TEST_F(FileTest, SaveCreatesTheDirectoryChain)
{
    const QString file = path("one/two/three/settings.json");
    ASSERT_TRUE(HX2File::saveJson(file, QJsonObject{{"k", "v"}}, false));
    EXPECT_EQ(HX2File::readJsonObject(file), (QJsonObject{{"k", "v"}}));
    EXPECT_EQ(entries(path("one/two/three")), QStringList{"settings.json"});

    ASSERT_TRUE(HX2File::saveBinary("raw", path("four/five/data.bin")));
    EXPECT_EQ(HX2File::readAll(path("four/five/data.bin")), "raw");

    // A plain file where a directory must go: refused, nothing made.
    writeFile(path("blocker"), "x");
    EXPECT_FALSE(HX2File::saveJson(path("blocker/inner/f.json"), QJsonObject{{"k", 1}}, true));
    EXPECT_FALSE(HX2File::saveBinary("x", path("blocker/f.bin")));
    EXPECT_EQ(HX2File::readAll(path("blocker")), "x");
}

TEST_F(FileTest, SaveReplacesWholeFileAndLeavesNoTemporaryFiles)
{
    const QString file = path("settings.json");
    ASSERT_TRUE(HX2File::saveJson(file, QJsonObject{{"long", QString(4000, 'x')}}, false));
    ASSERT_TRUE(HX2File::saveJson(file, QJsonObject{{"s", 1}}, true));
    EXPECT_EQ(HX2File::readAll(file), R"({"s":1})"); // no tail of the longer old content
    ASSERT_TRUE(HX2File::saveBinary(QByteArray(), file));
    EXPECT_TRUE(HX2File::readAll(file).isEmpty());
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(entries(m_dir.path()), QStringList{"settings.json"});
}

TEST_F(FileTest, FailedWriteKeepsTheOldFile)
{
    const QString file = path("settings.json");
    const QByteArray old = R"({"old":true})";
    writeFile(file, old);

    // The disk fills up part-way through the new content.
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        const QJsonObject big{{"big", QString(256 * 1024, 'y')}};
        EXPECT_FALSE(HX2File::saveJson(file, big, false));
        EXPECT_FALSE(HX2File::saveBinary(QByteArray(100000, 'z'), file));
    }
    EXPECT_EQ(HX2File::readAll(file), old);
    EXPECT_EQ(entries(m_dir.path()), QStringList{"settings.json"});

    // The target cannot be replaced (a directory stands in its place).
    const QString blocked = path("blocked.json");
    ASSERT_TRUE(QDir().mkpath(blocked));
    writeFile(blocked + "/keep", "kept");
    EXPECT_FALSE(HX2File::saveJson(blocked, QJsonObject{{"new", 1}}, true));
    EXPECT_EQ(HX2File::readAll(blocked + "/keep"), "kept");
    EXPECT_EQ(entries(m_dir.path()), (QStringList{"blocked.json", "settings.json"}));
}

TEST_F(FileTest, UnwritableDirectoryKeepsTheOldFile)
{
    const QString dir = path("ro");
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString file = dir + "/settings.json";
    writeFile(file, "{\"old\":1}");
    const auto rx = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                    | QFile::ReadOther | QFile::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(m_dir.path(), rx | QFile::WriteOwner));
    ASSERT_TRUE(QFile::setPermissions(dir, rx));

    bool saved = true;
    if (geteuid() != 0) {
        saved = HX2File::saveJson(file, QJsonObject{{"new", 1}}, false);
    } else {
        // Root writes anywhere; try as an unprivileged user in a child.
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            _exit(HX2File::saveJson(file, QJsonObject{{"new", 1}}, false) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 2) << "could not switch to an unprivileged user";
        saved = WEXITSTATUS(status) != 0;
    }
    QFile::setPermissions(dir, rx | QFile::WriteOwner);
    EXPECT_FALSE(saved);
    EXPECT_EQ(HX2File::readAll(file), "{\"old\":1}");
    EXPECT_EQ(entries(dir), QStringList{"settings.json"});
}
