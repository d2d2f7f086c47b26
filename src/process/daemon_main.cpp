// Start-up, the main loop and the orderly stop.
#include "process/daemon_main.hpp"

#include "log/activity_log.hpp"
#include "process/daemonize.hpp"
#include "process/options.hpp"
#include "process/pid_file.hpp"
#include "process/signals.hpp"
#include "supervision/supervision_pass.hpp"

#include <syslog.h>

namespace {

constexpr int kPassPeriodSeconds = 30;

const char* orNull(const std::optional<std::string>& text)
{
    return text ? text->c_str() : nullptr;
}

} // namespace

int daemonMain(int argc, char** argv)
{
    holdStartupSignals();
    app_name = argv[0];
    CommandLine line = parseCommandLine(argc, argv);
    pid_file_name = std::move(line.pid_file);
    const char* log_file = orNull(line.log_file);

    if (line.daemon) {
        daemonize();
        if (pid_file_name) {
            takePidFile();
        }
    }

    openlog(argv[0], LOG_CONS | LOG_PID, LOG_DAEMON);
    syslog(LOG_INFO, "Started %s", app_name);

    supervisionStarted(kPassPeriodSeconds);

    // Set before the handlers exist, so that an early SIGINT's 0 is never overwritten.
    running = 1;
    installSignalHandlers();
    openLogfile(log_file);

    while (running == 1) {
        writeHeartbeat(log_file);
        checkmodemstatus();
        handlePendingSignals();
        flushLogfile(log_file);
        sleepUnlessSignalled(kPassPeriodSeconds);
        handlePendingSignals();
    }
    // A SIGINT that came before the loop has not been written yet.
    handlePendingSignals();

    supervisionStopped();

    closeLogFile();
    syslog(LOG_INFO, "Stopped %s", app_name);
    closelog();
    return 0;
}
