// Stopping and starting the smstools service and emptying its per-port run logs.
#pragma once

// Each runs its command to the end; what the command returns changes nothing.
void stopSmstools();
void startSmstools();
void emptyRunLogs();
