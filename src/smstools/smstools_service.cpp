// Stopping and starting the smstools service and emptying its per-port run logs.
#include "smstools/smstools_service.hpp"

#include "common/shell.hpp"
#include "smstools/smstools_paths.hpp"

void stopSmstools()
{
    runShellCommand(kServiceStopCommand);
}

void startSmstools()
{
    runShellCommand(kServiceStartCommand);
}

void emptyRunLogs()
{
    runShellCommand(kEmptyRunLogsCommand);
}
