// dsrecover: restores a dataset from the backup server without the
// service, for an appliance that was reinstalled or got a new disk.
//
//   dsrecover [--snapshot NAME] [--target DATASET] [--compress zstd|lz4|none] server userid passwd [vg lv]
#include "recoverflow.h"
#include "recoverrunner.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    // The password came on the command line; blank it there at once, so
    // that it does not stay visible to every user of the machine for the
    // hours a restore takes.
    const int password = Recover::passwordPosition(args) + 1;
    if (password > 0 && password < argc)
        std::memset(argv[password], 0, std::strlen(argv[password]));
    Recover::installStopHandlers();

    Recover::Request request;
    if (!Recover::parseArguments(args, &request)) {
        std::printf("%s\n", Recover::usageLine().toUtf8().constData());
        return 255;
    }
    if (request.help) {
        for (const QString& line : Recover::helpLines())
            std::printf("%s\n", line.toUtf8().constData());
        return 0;
    }
    const int status = Recover::restore(request);
    // A failed step may leave some of its programs behind.
    if (status != 0)
        Recover::endStarted();
    return status;
}
