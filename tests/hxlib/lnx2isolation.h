#ifndef LNX2ISOLATION_H
#define LNX2ISOLATION_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace lnx2test {

// Empty once the process runs in its private namespaces, else why not.
QString isolationError();
// The machine's own dpkg status file, read past the private mounts.
QByteArray hostDpkgStatus();
// Runs script with /bin/sh; a failure is a test failure. *out receives
// standard output.
bool sh(const QString& script, QString* out = nullptr);

// A shell script named program, first on PATH while in scope.
class StandIn
{
public:
    StandIn(const QString& program, const QString& body);
    ~StandIn();
    QString file(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
};

} // namespace lnx2test

#define REQUIRE_ISOLATION()                                                        \
    do {                                                                           \
        if (!lnx2test::isolationError().isEmpty())                                 \
            GTEST_SKIP() << lnx2test::isolationError().toStdString();              \
    } while (0)

#endif
