// standin_vxrhelper: stands in for the appliance's backup status program,
// which prints a JSON array of backup states.
//
//   standin_vxrhelper [--output TEXT | --output-file FILE] [--exit N]
//                     [--sleep-ms N] [--runaway]
//
// --output       the text printed (default: a one-record array)
// --output-file  print this file's contents instead
// --exit         the exit code (default 0)
// --sleep-ms     pause before printing
// --runaway      print without end (until killed or its output is closed)
//
// The service starts the program without arguments, so each option may
// also come from the environment: STANDIN_HELPER_OUTPUT,
// STANDIN_HELPER_OUTPUT_FILE, STANDIN_HELPER_EXIT, STANDIN_HELPER_SLEEP_MS,
// STANDIN_HELPER_RUNAWAY=1. An option on the command line wins.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string fromEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

int usage()
{
    std::fprintf(stderr, "usage: standin_vxrhelper [--output TEXT | --output-file FILE] [--exit N] "
                         "[--sleep-ms N] [--runaway]\n");
    return 64;
}

} // namespace

int main(int argc, char* argv[])
{
    std::string output = "[{\"name\":\"standin\",\"state\":0}]";
    std::string outputFile = fromEnv("STANDIN_HELPER_OUTPUT_FILE");
    std::string exitCode = fromEnv("STANDIN_HELPER_EXIT");
    std::string sleepMs = fromEnv("STANDIN_HELPER_SLEEP_MS");
    bool runaway = fromEnv("STANDIN_HELPER_RUNAWAY") == "1";
    if (std::getenv("STANDIN_HELPER_OUTPUT"))
        output = fromEnv("STANDIN_HELPER_OUTPUT");

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--runaway")
            runaway = true;
        else if (arg == "--output" && hasValue)
            output = argv[++i], outputFile.clear();
        else if (arg == "--output-file" && hasValue)
            outputFile = argv[++i];
        else if (arg == "--exit" && hasValue)
            exitCode = argv[++i];
        else if (arg == "--sleep-ms" && hasValue)
            sleepMs = argv[++i];
        else
            return usage();
    }

    if (!sleepMs.empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleepMs.c_str())));
    if (runaway) {
        std::cout << '[';
        for (unsigned long n = 0; std::cout; ++n)
            std::cout << "{\"n\":" << n << "},";
        return 1;
    }
    if (!outputFile.empty()) {
        std::ifstream in(outputFile, std::ios::binary);
        if (!in)
            return 66;
        std::ostringstream text;
        text << in.rdbuf();
        output = text.str();
    }
    std::cout << output << std::flush;
    return std::atoi(exitCode.c_str());
}
