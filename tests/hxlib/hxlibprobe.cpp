// A tiny program the hxlib tests start, to see library effects from another
// process (and, run as another user, with that user's rights):
//   removedirs DIR 0|1   HX2File::removeDirs(DIR, removeSelf); exits 0 when
//                        it returned true, 1 when false
//   shmload KEY          shareMemoryLoad(KEY); prints the bytes as
//                        hexadecimal and exits 0, or exits 1 when it failed
#include "hx2file.h"
#include "hx2utils.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "removedirs") == 0)
        return HX2File::removeDirs(QString::fromLocal8Bit(argv[2]), std::strcmp(argv[3], "1") == 0) ? 0 : 1;
    if (argc == 3 && std::strcmp(argv[1], "shmload") == 0) {
        QByteArray data;
        if (!shareMemoryLoad(QString::fromLocal8Bit(argv[2]), data))
            return 1;
        std::printf("%s\n", data.toHex().constData());
        return 0;
    }
    std::fprintf(stderr, "usage: hxlibprobe removedirs DIR 0|1 | shmload KEY\n");
    return 2;
}
