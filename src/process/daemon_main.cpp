// Start-up, the main loop and the orderly stop.
#include "process/daemon_main.hpp"

#include "heal/heal.hpp"
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
    const bool heal = takeHealOption(argc, argv);
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
    if (heal) {
        enableHealing();
        syslog(LOG_INFO, "Healing modems that stop answering, through their USB devices");
    }

    supervisionStarted(kPassPeriodSeconds);

    installSignalHandlers();
    openLogfile(log_file);

    while (stillRunning()) {
        writeHeartbeat(log_file);
        if (!checkmodemstatus()) {
            // No /dev, no supervision: the daemon ends at once with status 1, its alert sent,
            // without the orderly stop's goodbye; its pid file stays (the lock goes with it).
            supervisionStopped();
            closeLogFile();
            closelog();
            return 1;
        }
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
