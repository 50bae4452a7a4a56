// dsrecover: restores a dataset from the backup server without the
// service, for an appliance that was reinstalled or got a new disk.
//
//   dsrecover server userid passwd [vg lv]
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
    if (argc > 3)
        std::memset(argv[3], 0, std::strlen(argv[3]));
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
