// dsrecover: restores a dataset from the backup server without the
// service, for an appliance that was reinstalled or got a new disk.
//
//   dsrecover server userid passwd [vg lv] [--compress zstd|lz4|none]
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
    const int secret = Recover::passwordPosition(args) + 1;
    if (secret > 0 && secret < argc)
        std::memset(argv[secret], 0, std::strlen(argv[secret]));
    Recover::installStopHandlers();

    Recover::Request request;
    if (!Recover::parseArguments(args, &request)) {
        std::printf("%s\n", Recover::usageLine().toUtf8().constData());
        return 255;
    }
    const int status = Recover::restore(request);
    // A failed step may leave some of its programs behind.
    if (status != 0)
        Recover::endStarted();
    return status;
}
