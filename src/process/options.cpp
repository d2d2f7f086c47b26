// The command line: the only configuration the daemon has.
#include "process/options.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

const char* app_name = nullptr;

const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"log_file", required_argument, nullptr, 'l'},
    {"daemon", no_argument, nullptr, 'd'},
    {"pid_file", required_argument, nullptr, 'p'},
    {nullptr, 0, nullptr, 0},
};

void print_help()
{
    std::printf("\n Usage: %s [OPTIONS]\n\n", app_name);
    std::printf("  Options:\n");
    std::printf("   -h --help                 Print this help\n");
    std::printf("   -l --log_file  filename   Write logs to the file\n");
    std::printf("   -d --daemon               Daemonize this application\n");
    std::printf("   -p --pid_file  filename   PID file used by daemonized app\n");
    std::printf("\n");
}

bool takeHealOption(int& argc, char** argv)
{
    bool heal = false;
    int kept = 1;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (options && word == "--heal") {
            heal = true;
            continue;
        }
        options = options && word != "--";
        argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
    return heal;
}

CommandLine parseCommandLine(int argc, char** argv)
{
    CommandLine line;
    int option;
    while ((option = getopt_long(argc, argv, "c:l:t:p:dh", long_options, nullptr)) != -1) {
        switch (option) {
        case 'h':
            print_help();
            std::exit(EXIT_SUCCESS);
        case 'l':
            line.log_file = optarg;
            break;
        case 'd':
            line.daemon = true;
            break;
        case 'p':
            line.pid_file = optarg;
            break;
        case 'c':
        case 't':
            // Accepted for the sake of old start scripts; the daemon has nothing to set.
            break;
        default:
            // getopt_long has already printed its diagnostic on standard error.
            print_help();
            std::exit(EXIT_FAILURE);
        }
    }
    return line;
}
