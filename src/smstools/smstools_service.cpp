// Stopping and starting the smstools service.
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
