#include "appdata.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdlib>
#include <malloc.h>

int main(int argc, char* argv[])
{
    // Every connection has a thread of its own, and glibc gives up to eight
    // heaps a core to threads that meet in malloc. Under a steady load the
    // service holds about half a megabyte, yet such heaps kept several
    // megabytes of freed pieces resident, more with each new peak of
    // connections. Two heaps are enough for a service that mostly waits.
    mallopt(M_ARENA_MAX, 2);
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption cfgOption(QStringLiteral("cfg"), QStringLiteral("指定配置文件"),
                                       QStringLiteral("filepath"));
    const QCommandLineOption uploadOption(QStringLiteral("upload"), QStringLiteral("立即上传备份"));
    // Accepted and listed; a command-line full restore is not offered, so
    // the service starts normally with it.
    const QCommandLineOption restoreOption(QStringLiteral("restore"), QStringLiteral("完整恢复备份"));
    parser.addOption(cfgOption);
    parser.addOption(uploadOption);
    parser.addOption(restoreOption);
    parser.process(app);

    const QString path = parser.isSet(cfgOption) ? parser.value(cfgOption) : QString();

    AppData* data = AppData::create();
    if (!data->init(path))
        return -1;
    if (parser.isSet(uploadOption)) {
        const int code = data->upload();
        std::fflush(stdout);
        // The quit watcher may still wait: end without running destructors.
        std::_Exit(code);
    }
    if (!data->start()) {
        // The engine's scheduler may already run: end without tearing down
        // objects its thread still uses.
        data->finish();
        std::_Exit(255);
    }
    const int status = QCoreApplication::exec();
    data->finish();
    std::_Exit(status);
}
