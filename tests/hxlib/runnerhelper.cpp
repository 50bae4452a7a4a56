// A tiny program the runner tests start. Each argument is one step, done
// in order:
//   out:TEXT      TEXT and a line feed on standard output
//   err:TEXT      the same on standard error
//   errbytes:N    N bytes on standard error, the last line "TAIL-END"
//   outzero       "a\nb", a zero byte, "c\n" on standard output
//   env:NAME      the variable's value (or "<unset>") on standard output
//   grandchild    forks a child in a new session that sleeps for ten
//                 minutes; prints "grandchild PID"
//   stubborn      like grandchild, but the child ignores SIGTERM
//   ignoreterm    this process ignores SIGTERM from now on
//   sleep:MS      sleeps
//   touch:PATH    creates the file PATH
//   crash         dies by SIGKILL
//   exit:CODE     exits with CODE
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

void spawn(bool stubborn)
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(90);
    }
    if (pid == 0) {
        setsid();
        if (stubborn)
            std::signal(SIGTERM, SIG_IGN);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        for (int i = 0; i < 600; ++i)
            sleep(1);
        _exit(0);
    }
    std::printf("grandchild %d\n", static_cast<int>(pid));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        const auto colon = step.find(':');
        const std::string verb = step.substr(0, colon);
        const std::string value = colon == std::string::npos ? std::string() : step.substr(colon + 1);
        if (verb == "out") {
            std::printf("%s\n", value.c_str());
            std::fflush(stdout);
        } else if (verb == "err") {
            std::fprintf(stderr, "%s\n", value.c_str());
            std::fflush(stderr);
        } else if (verb == "errbytes") {
            long n = std::atol(value.c_str()) - 9;
            std::string chunk(4096, 'x');
            while (n > 0) {
                const long k = n < 4096 ? n : 4096;
                fwrite(chunk.data(), 1, static_cast<size_t>(k), stderr);
                n -= k;
            }
            std::fprintf(stderr, "TAIL-END\n");
            std::fflush(stderr);
        } else if (verb == "outzero") {
            fwrite("a\nb\0c\n", 1, 6, stdout);
            std::fflush(stdout);
        } else if (verb == "env") {
            const char* v = std::getenv(value.c_str());
            std::printf("%s\n", v ? v : "<unset>");
            std::fflush(stdout);
        } else if (verb == "grandchild" || verb == "stubborn") {
            spawn(verb == "stubborn");
        } else if (verb == "ignoreterm") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (verb == "sleep") {
            usleep(static_cast<useconds_t>(std::atol(value.c_str()) * 1000));
        } else if (verb == "touch") {
            const int fd = open(value.c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd >= 0)
                close(fd);
        } else if (verb == "crash") {
            std::raise(SIGKILL);
        } else if (verb == "exit") {
            return std::atoi(value.c_str());
        } else {
            std::fprintf(stderr, "runnerhelper: unknown step %s\n", step.c_str());
            return 99;
        }
    }
    return 0;
}
