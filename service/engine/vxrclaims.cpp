// The claims on datasets: a mark in this process, and a lock on a file
// that every process of the service sees.
#include "vxrclaims.h"

#include "hx2utils.h"
#include "phpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How often a waiting claim looks again at a holder in another process,
// and at its stop flag.
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr int kOtherProcess = -2;

// Creates the missing folders of path, each readable by its owner only;
// true when path is a folder (and no link) afterwards.
bool makeOwnerOnlyFolders(const QString& path)
{
    struct stat st;
    // Made already: the usual case, every claim.
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    QString at;
    for (const QString& part : QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        at += QLatin1Char('/') + part;
        if (::mkdir(QFile::encodeName(at).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return ::lstat(QFile::encodeName(at).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool stopped(const std::atomic<bool>* stop)
{
    return stop && stop->load();
}

} // namespace

VxrDatasetClaims::VxrDatasetClaims(const QString& folder)
    : m_folder(folder.isEmpty() ? PHPaths::resolve(QString::fromLatin1(kLockFolder)) : folder)
{
}

VxrDatasetClaims::~VxrDatasetClaims()
{
    HX2MutexLock lock(m_mutex);
    for (const int fd : qAsConst(m_files))
        ::close(fd);
}

QString VxrDatasetClaims::lockPath(const QString& dataset) const
{
    const QByteArray digest = QCryptographicHash::hash(dataset.toUtf8(), QCryptographicHash::Sha256).toHex();
    return m_folder + QLatin1Char('/') + QString::fromLatin1(digest) + QStringLiteral(".lock");
}

int VxrDatasetClaims::lockFile(const QString& dataset, bool wait, const std::atomic<bool>* stop) const
{
    if (!makeOwnerOnlyFolders(m_folder))
        return -1;
    // Close-on-exec: a program the engine starts, which may outlive the
    // service, never holds the claim.
    const int fd = ::open(QFile::encodeName(lockPath(dataset)).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (errno == EWOULDBLOCK && (!wait || stopped(stop))) {
            ::close(fd);
            return kOtherProcess;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    ::close(fd);
    return -1;
}

bool VxrDatasetClaims::markHeld(const QString& dataset, bool wait, const std::atomic<bool>* stop)
{
    HX2MutexLock lock(m_mutex);
    while (m_held.contains(dataset)) {
        if (!wait || stopped(stop))
            return false;
        m_released.wait_for(m_mutex, kPollInterval);
    }
    m_held.insert(dataset);
    return true;
}

void VxrDatasetClaims::unmark(const QString& dataset, int fd)
{
    {
        HX2MutexLock lock(m_mutex);
        m_held.remove(dataset);
        if (fd >= 0)
            ::close(fd);
    }
    m_released.notify_all();
}

bool VxrDatasetClaims::claim(const QString& dataset, const std::atomic<bool>* stop)
{
    if (!markHeld(dataset, true, stop))
        return false;
    const int fd = lockFile(dataset, true, stop);
    if (fd == kOtherProcess) {
        unmark(dataset, -1);
        return false;
    }
    if (fd < 0) {
        const QString claimInThisProcessOnly = lockPath(dataset);
        PRINTVAR(claimInThisProcessOnly);
        return true;
    }
    HX2MutexLock lock(m_mutex);
    m_files.insert(dataset, fd);
    return true;
}

bool VxrDatasetClaims::tryClaim(const QString& dataset)
{
    if (!markHeld(dataset, false, nullptr))
        return false;
    const int fd = lockFile(dataset, false, nullptr);
    if (fd < 0) {
        unmark(dataset, -1);
        return false;
    }
    HX2MutexLock lock(m_mutex);
    m_files.insert(dataset, fd);
    return true;
}

void VxrDatasetClaims::release(const QString& dataset)
{
    int fd = -1;
    {
        HX2MutexLock lock(m_mutex);
        if (!m_held.contains(dataset))
            return;
        if (m_files.contains(dataset))
            fd = m_files.take(dataset);
    }
    unmark(dataset, fd);
}

VxrDatasetClaims::Hold::Hold(VxrDatasetClaims& claims, const QString& dataset, bool wait,
                             const std::atomic<bool>* stop)
    : m_claims(claims), m_dataset(dataset), m_held(wait ? claims.claim(dataset, stop) : claims.tryClaim(dataset))
{
}

VxrDatasetClaims::Hold::~Hold()
{
    if (m_held)
        m_claims.release(m_dataset);
}
