// libcurl GET benchmark. In one run, against the same local HTTP server
// sending 100 MB bodies from 127.0.0.1:
//   baseline: bare libcurl easy calls (init, perform, cleanup) appending to
//             a buffer, or writing to a file (also: flushed to disk at the
//             end, which our download does before replacing the file);
//   ours:     curlHttpGet into memory and curlHttpDownload to a file.
// Printed: MB/s of each (best of the rounds) and ours/baseline (goal: at
// least 0.9), and the CPU time of the calling thread per transfer (median),
// which a busy machine disturbs less than the wall clock.
#include "httptestserver.h"
#include "hx2http.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

#include <unistd.h>

namespace {

const qint64 kBytes = 100LL * 1000 * 1000;
const int kRounds = 10;

size_t toBuffer(char* data, size_t size, size_t count, void* user)
{
    static_cast<QByteArray*>(user)->append(data, int(size * count));
    return size * count;
}

size_t toFile(char* data, size_t size, size_t count, void* user)
{
    return std::fwrite(data, size, count, static_cast<FILE*>(user));
}

bool bareGet(const QString& url)
{
    QByteArray body;
    CURL* curl = curl_easy_init();
    const QByteArray u = url.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, u.constData());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, toBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    return ok && body.size() == kBytes;
}

// synced: flush the file to disk at the end, as the replace-on-success
// download does before its rename.
bool bareDownload(const QString& url, const QString& file, bool synced)
{
    FILE* out = std::fopen(QFile::encodeName(file).constData(), "wb");
    if (!out)
        return false;
    CURL* curl = curl_easy_init();
    const QByteArray u = url.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, u.constData());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, toFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, out);
    bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    if (synced)
        ok = std::fflush(out) == 0 && ::fdatasync(fileno(out)) == 0 && ok;
    return std::fclose(out) == 0 && ok;
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// MB/s of one transfer (0 when it failed); adds its thread CPU time to cpu.
double rate(const std::function<bool()>& transfer, std::vector<double>& cpu)
{
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = threadCpuMs();
    const bool ok = transfer();
    cpu.push_back(threadCpuMs() - cpuStart);
    return ok ? kBytes / 1e6 / (timer.nsecsElapsed() / 1e9) : 0;
}

// Alternates baseline and ours round by round, so that a busy machine
// slows both alike; prints the best round of each. False when one failed.
bool compare(const char* what, const std::function<bool()>& baseline, const std::function<bool()>& ours)
{
    double bare = 0, mine = 0;
    std::vector<double> bareCpu, mineCpu;
    for (int round = 0; round < kRounds; ++round) {
        const double b = rate(baseline, bareCpu);
        const double o = rate(ours, mineCpu);
        if (b == 0 || o == 0)
            return false;
        bare = qMax(bare, b);
        mine = qMax(mine, o);
    }
    std::printf("%-7s baseline %6.0f MB/s, ours %6.0f MB/s, ratio %.2f (goal >= 0.9); "
                "CPU per GET %4.0f ms vs %4.0f ms, ratio %.2f\n",
                what, bare, mine, mine / bare, median(bareCpu), median(mineCpu),
                median(bareCpu) / median(mineCpu));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    HttpTestServer server;
    HttpTestServer::Reply big;
    big.fillBytes = kBytes;
    server.on("/big", big);
    QTemporaryDir dir;
    if (!server.start() || !dir.isValid()) {
        std::fprintf(stderr, "bench_curlget: cannot set up\n");
        return 1;
    }
    const QString url = server.url("/big");
    const QString file = dir.filePath("big.bin");

    std::printf("GET of %lld bytes from 127.0.0.1, best of %d rounds\n", kBytes, kRounds);
    const bool memory = compare("memory", [&] { return bareGet(url); }, [&] {
        QByteArray body;
        return curlHttpGet(body, url, 60) && body.size() == kBytes;
    });
    const bool toFile = compare("file", [&] { return bareDownload(url, file, false); },
                                [&] { return curlHttpDownload(file, url, 60); });
    const bool toSynced = compare("synced", [&] { return bareDownload(url, file, true); },
                                  [&] { return curlHttpDownload(file, url, 60); });
    return memory && toFile && toSynced ? 0 : 1;
}
