// Stopping and starting the smstools service.
#pragma once

// Each runs its command to the end; what the command returns changes nothing.
void stopSmstools();
void startSmstools();
