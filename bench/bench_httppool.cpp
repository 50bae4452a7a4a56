// Pooled HTTP client benchmark. In one run, against the same local HTTP
// receiver on 127.0.0.1:
//   baseline: a plain blocking libcurl loop posting the reports one after
//             another over one kept-alive connection;
//   fresh:    the same loop with a new connection per post, the discipline
//             the pool keeps (a kept-alive Qt connection would hold every
//             post's body for the peer's delayed acknowledgement, ~40 ms);
//   pool:     HX3HttpPool posting the same reports (at most 4 at once),
//             every one answered through onRespond.
// Printed: posts per second of each (best of the rounds), pool/baseline
// (goal: at least 0.5) and pool/fresh, and the process's resident memory
// after each pool round (a leak grows it round by round).
#include "httptestserver.h"
#include "hx3httppool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSemaphore>

#include <curl/curl.h>

#include <cstdio>

namespace {

const int kPosts = 10000;
const int kRounds = 3;

size_t discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

QByteArray sampleReport()
{
    QJsonObject params{{"sn", "SN0123456789"},
                       {"uploadtime", "2024-01-02 03:04:05"},
                       {"vxrversion", "1.2.3"},
                       {"ubackup", QJsonArray{}},
                       {"tasks", QJsonArray{}},
                       {"capacity", QJsonObject{{"used", 123456789}, {"refer", 98765432}}},
                       {"cloudserver", QJsonObject{{"server", "192.0.2.10"}, {"port", 22}}}};
    return QJsonDocument(QJsonObject{{"cmd", "device_living"}, {"params", params}}).toJson(QJsonDocument::Compact);
}

long residentKiB()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4;
}

// Posts per second; 0 when a post failed.
double curlLoop(const QString& url, const QByteArray& body, bool freshConnections)
{
    CURL* curl = curl_easy_init();
    const QByteArray u = url.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, u.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, freshConnections ? 1L : 0L);
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    for (int i = 0; i < kPosts && ok; ++i)
        ok = curl_easy_perform(curl) == CURLE_OK;
    const double seconds = timer.nsecsElapsed() / 1e9;
    curl_easy_cleanup(curl);
    return ok ? kPosts / seconds : 0;
}

double poolRun(const QString& url, const QByteArray& body)
{
    HX3HttpPool pool(nullptr, 30);
    QSemaphore answered;
    QObject::connect(&pool, &HX3HttpPool::onRespond, [&](QJsonObject, QByteArray) { answered.release(); });
    QJsonObject user{{"id", 1}};
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kPosts; ++i)
        pool.addPost(url, body, &user);
    if (!answered.tryAcquire(kPosts, 600000))
        return 0;
    return kPosts / (timer.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    HttpTestServer receiver;
    receiver.setRecording(false);
    receiver.on("/report", HttpTestServer::Reply::ok("{\"err\":0}", "application/json"));
    if (!receiver.start()) {
        std::fprintf(stderr, "bench_httppool: the receiver cannot listen\n");
        return 1;
    }
    const QString url = receiver.url("/report");
    const QByteArray body = sampleReport();

    std::printf("%d posts of %d bytes, best of %d rounds\n", kPosts, int(body.size()), kRounds);
    double curlBest = 0, freshBest = 0, poolBest = 0;
    for (int round = 0; round < kRounds; ++round) {
        curlBest = qMax(curlBest, curlLoop(url, body, false));
        freshBest = qMax(freshBest, curlLoop(url, body, true));
        poolBest = qMax(poolBest, poolRun(url, body));
        std::printf("resident memory after pool round %d: %ld KiB\n", round + 1, residentKiB());
    }
    std::printf("baseline libcurl keep-alive loop:     %8.0f posts/s\n", curlBest);
    std::printf("libcurl loop, new connection each:    %8.0f posts/s\n", freshBest);
    std::printf("HX3HttpPool (4 threads):              %8.0f posts/s\n", poolBest);
    if (curlBest > 0 && freshBest > 0) {
        std::printf("ratio pool/baseline: %.2f (goal >= 0.5)\n", poolBest / curlBest);
        std::printf("ratio pool/new-connection loop: %.2f\n", poolBest / freshBest);
    }
    return curlBest > 0 && freshBest > 0 && poolBest > 0 ? 0 : 1;
}
