#include "hx2file.h"
#include "hx2runner.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

namespace {

// Creates a file or directory under a raw byte path, which may hold bytes
// that are not UTF-8 (and so cannot be named through QString).
void makeRaw(const QByteArray& path, bool dir, mode_t mode = 0644)
{
    if (dir) {
        ASSERT_EQ(mkdir(path.constData(), 0755), 0) << path.constData();
    } else {
        const int fd = open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC, mode);
        ASSERT_GE(fd, 0) << path.constData();
        ASSERT_EQ(::write(fd, "data", 4), 4);
        close(fd);
    }
}

bool rawExists(const QByteArray& path)
{
    struct stat st {};
    return lstat(path.constData(), &st) == 0;
}

} // namespace

TEST_F(FileTest, TextFilesWithCodecs)
{
    const QString text = QString::fromUtf8("中文 text\nline 2\n");
    const QByteArray utf8 = "\xe4\xb8\xad\xe6\x96\x87 text\nline 2\n", gbk = "\xd6\xd0\xce\xc4 text\nline 2\n";
    for (const auto& c : {std::make_pair("UTF-8", utf8), std::make_pair("GBK", gbk)}) {
        const QString file = path(QString("dir/%1.txt").arg(c.first));
        ASSERT_TRUE(HX2File::saveText(text, file, c.first));
        EXPECT_EQ(HX2File::readAll(file), c.second);
        QString out;
        ASSERT_TRUE(HX2File::loadText(out, file, c.first));
        EXPECT_EQ(out, text);
    }
    QString out = "kept";
    EXPECT_FALSE(HX2File::saveText("x", path("u.txt"), "no-such-codec"));
    EXPECT_FALSE(QFile::exists(path("u.txt")));
    EXPECT_FALSE(HX2File::loadText(out, path("dir/GBK.txt"), "no-such-codec"));
    EXPECT_FALSE(HX2File::loadText(out, path("missing.txt")));
    EXPECT_EQ(out, "kept");

    // A failed write keeps the old text and reports failure.
    writeFile(path("old.txt"), "old");
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        EXPECT_FALSE(HX2File::saveText(QString(100000, 'n'), path("old.txt")));
    }
    EXPECT_EQ(HX2File::readAll(path("old.txt")), "old");
}

TEST_F(FileTest, SearchOrderFiltersAndSizes)
{
    const QString root = path("tree");
    for (const char* d : {"tree/sub1/deep", "tree/sub2", "tree/.hid"})
        ASSERT_TRUE(QDir().mkpath(path(d)));
    const struct
    {
        const char* name;
        int size;
    } files[] = {{"tree/b.txt", 1}, {"tree/a", 2}, {"tree/.hidden", 4}, {"tree/with blank.log", 8},
                 {"tree/sub1/y.log", 16}, {"tree/sub1/deep/x.txt", 32}, {"tree/sub2/z.txt", 64},
                 {"tree/.hid/q.txt", 128}};
    for (const auto& f : files)
        writeFile(path(f.name), QByteArray(f.size, 'x'));
    makeRaw(QFile::encodeName(root) + "/bad\xff.txt", false);
    ASSERT_TRUE(QFile::link(root, root + "/loop")); // a cycle must not be entered

    auto abs = [&](QStringList names) {
        for (QString& n : names)
            n = root + "/" + n;
        return names;
    };
    qint64 total = 1000;
    EXPECT_EQ(HX2File::search(total, root, {}, true),
              abs({"sub1/deep/x.txt", "sub1/y.log", "sub2/z.txt", "a", "b.txt", "with blank.log"}));
    EXPECT_EQ(total, 1000 + 32 + 16 + 64 + 2 + 1 + 8);
    EXPECT_EQ(HX2File::search(root, {}, false), abs({"a", "b.txt", "with blank.log"}));
    EXPECT_EQ(HX2File::search(root, {"*.txt"}, true), abs({"sub1/deep/x.txt", "sub2/z.txt", "b.txt"}));
    EXPECT_EQ(HX2File::search(root, {"*.log", "a"}, false), abs({"a", "with blank.log"}));
}

TEST_F(FileTest, RemoveDirsNeverFollowsLinks)
{
    const QString outside = path("outside");
    ASSERT_TRUE(QDir().mkpath(outside + "/inner"));
    writeFile(outside + "/precious", "keep me");
    writeFile(outside + "/inner/also", "keep me too");

    const QString tree = path("tree");
    const QByteArray raw = QFile::encodeName(tree);
    ASSERT_TRUE(QDir().mkpath(tree + "/with blank/deeper"));
    writeFile(tree + "/with blank/deeper/f", "x");
    writeFile(tree + "/.hidden", "x");
    makeRaw(raw + "/bad\xff\xfe", false);
    makeRaw(raw + "/dir\xc3", true);
    makeRaw(raw + "/dir\xc3/inside\x80", false);
    ASSERT_TRUE(QFile::link(outside, tree + "/to-outside"));
    ASSERT_TRUE(QFile::link(outside + "/precious", tree + "/with blank/to-file"));
    ASSERT_TRUE(QFile::link(path("nowhere"), tree + "/dangling"));
    ASSERT_TRUE(QFile::link(outside, path("top-link")));

    // A link given as the directory itself is not entered either.
    EXPECT_FALSE(HX2File::removeDirs(path("top-link"), false));
    EXPECT_TRUE(HX2File::removeDirs(path("top-link"), true));
    EXPECT_FALSE(QFileInfo(path("top-link")).isSymLink());

    EXPECT_FALSE(HX2File::removeDirs(tree, false)); // emptied, still there
    EXPECT_TRUE(QDir(tree).exists());
    EXPECT_TRUE(entries(tree).isEmpty());
    EXPECT_FALSE(rawExists(raw + "/bad\xff\xfe"));
    EXPECT_TRUE(HX2File::removeDirs(tree, true));
    EXPECT_FALSE(rawExists(raw));
    EXPECT_TRUE(HX2File::removeDirs(tree, true)); // already gone

    EXPECT_EQ(HX2File::readAll(outside + "/precious"), "keep me");
    EXPECT_EQ(HX2File::readAll(outside + "/inner/also"), "keep me too");
}

TEST_F(FileTest, RemoveDirsLeavesWhatTheUserMayNotWrite)
{
    // Root ignores mode bits, so the removal runs as an unprivileged user.
    const QString tree = path("tree");
    ASSERT_TRUE(QDir().mkpath(tree + "/sub"));
    writeFile(tree + "/rw", "x");
    writeFile(tree + "/ro", "x");
    writeFile(tree + "/sub/ro2", "x");
    writeFile(tree + "/sub/rw2", "x");
    ASSERT_TRUE(QFile::setPermissions(tree + "/ro", QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    ASSERT_TRUE(QFile::setPermissions(tree + "/sub/ro2", QFile::ReadOwner));

    const QString probe = path("hxlibprobe");
    ASSERT_TRUE(QFile::copy(HXLIB_PROBE, probe));
    QStringList command{probe, "removedirs", tree, "1"};
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        ASSERT_EQ(chmod(QFile::encodeName(probe).constData(), 0755), 0);
        for (const QString& p : {tree, tree + "/sub", tree + "/rw", tree + "/ro", tree + "/sub/ro2", tree + "/sub/rw2"})
            ASSERT_EQ(lchown(QFile::encodeName(p).constData(), 65534, 65534), 0);
        command = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--"} + command;
        command.prepend("setpriv");
    }
    const HX2RunResult r = HX2Runner::run(command.takeFirst(), command);
    ASSERT_TRUE(r.normalExit && (r.exitCode == 0 || r.exitCode == 1)) << r.errText().toStdString();
    EXPECT_EQ(r.exitCode, 1) << "removeDirs reported the tree gone";
    EXPECT_EQ(entries(tree), (QStringList{"ro", "sub"}));
    EXPECT_EQ(entries(tree + "/sub"), QStringList{"ro2"});
}

TEST_F(FileTest, UniqueAndTemporaryNames)
{
    for (const char* name : {"report.txt", "report(2).txt", "trace", "archive.tar.gz"})
        writeFile(path(name), "x");
    ASSERT_TRUE(QFile::link(path("nowhere"), path("dangling.txt")));
    const char* cases[][2] = {{"report.txt", "report(3).txt"}, {"free.txt", "free.txt"}, {"trace", "trace(2)"},
                              {"archive.tar.gz", "archive.tar(2).gz"}, {"dangling.txt", "dangling(2).txt"}};
    for (const auto& c : cases)
        EXPECT_EQ(HX2File::autoRename(path(c[0])), path(c[1])) << c[0];

    const QString name = HX2File::tempFileName("hxname", "tmp");
    EXPECT_TRUE(name.startsWith(QDir(QDir::tempPath()).absoluteFilePath("hxname")) && name.endsWith(".tmp"));
    EXPECT_FALSE(QFile::exists(name));

    const QString a = HX2File::createTempFile("hxcreated", "dat");
    const QString b = HX2File::createTempFile("hxcreated", "dat");
    ASSERT_TRUE(a.endsWith(".dat"));
    EXPECT_NE(a, b);
    const QFileInfo fi(a);
    EXPECT_TRUE(fi.isFile() && fi.size() == 0);
    EXPECT_EQ(fi.permissions() & 0x0077, 0) << "group and others have no access";
    QFile::remove(a);
    QFile::remove(b);
}

TEST(FileEncodingTest, Utf8AndGbk)
{
    const struct
    {
        const char* bytes;
        bool utf8, gbk;
    } cases[] = {
        {"", true, true},          {"plain ascii", true, true}, {"\xe4\xb8\xad", true, false},
        {"\xe4\xb8", false, true}, {"\xb0\xa1", false, true},   {"\xb0", false, false},
        {"\x80", false, false},    {"\xfe\x41", false, true},  {"\xff", false, false},
        {"\x81\x3f", false, false},
        {"\xc3\xa9\xf0\x9f\x98\x80", true, true}, // well formed in both
        {"\xf8\x88\x80\x80\x80", true, false}, // five-byte forms pass
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HX2File::isUtf8(c.bytes), c.utf8) << QByteArray(c.bytes).toHex().constData();
        EXPECT_EQ(HX2File::isGbk(c.bytes), c.gbk) << QByteArray(c.bytes).toHex().constData();
    }
}

TEST_F(FileTest, DigestsAndBase64)
{
    QByteArray big(3 * 1024 * 1024 + 123, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(path("big"), big);
    const HX2RunResult md5sum = HX2Runner::run("md5sum", {path("big")});
    ASSERT_TRUE(md5sum.ok);
    const QString bigMd5 = QString::fromLatin1(md5sum.out.left(32));

    const struct
    {
        const char* name;
        QByteArray content;
        QString md5;
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"with blank", "The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
        {"big", big, bigMd5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(c.name), c.content);
        EXPECT_EQ(HX2File::toMd5(path(c.name)), c.md5);
        EXPECT_EQ(HX2File::fileMd5(path(c.name)), c.md5);
        QString md5;
        EXPECT_EQ(HX2File::toBase64(path(c.name), &md5), QString::fromLatin1(c.content.toBase64()));
        EXPECT_EQ(md5, c.md5);
    }
    QString md5 = "kept";
    EXPECT_EQ(HX2File::toMd5(path("missing")), QString());
    EXPECT_EQ(HX2File::fileMd5(path("missing")), QString());
    EXPECT_EQ(HX2File::toBase64(path("missing"), &md5), QString());
    EXPECT_EQ(md5, "kept");
}

TEST_F(FileTest, LoadResourceFromPathOrProgramDirectory)
{
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path())); // the name alone is not found here
    writeFile(path("not-a-resource.rcc"), "plain text");
    EXPECT_FALSE(HX2File::loadResource("missing.rcc"));
    EXPECT_FALSE(HX2File::loadResource(""));
    EXPECT_FALSE(HX2File::loadResource(path("not-a-resource.rcc")));
    EXPECT_FALSE(QFile::exists(":/hxprobe/probe.txt"));
    EXPECT_TRUE(HX2File::loadResource("hxprobe.rcc"));
    QDir::setCurrent(saved);
    EXPECT_EQ(HX2File::readAll(":/hxprobe/probe.txt"), "resource content\n");
}

TEST_F(FileTest, SetTime)
{
    writeFile(path("f"), "x");
    const QDateTime when(QDate(2020, 1, 2), QTime(3, 4, 5));
    EXPECT_TRUE(HX2File::setTime(path("f"), when));
    EXPECT_EQ(QFileInfo(path("f")).lastModified(), when);
    EXPECT_FALSE(HX2File::setTime(path("f"), QDateTime()));
    EXPECT_FALSE(HX2File::setTime(path("missing"), when));
}
