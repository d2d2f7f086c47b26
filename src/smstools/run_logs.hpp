// Emptying smsd's per-port run logs while smsd is stopped.
#pragma once

// Truncates every /var/ramlog entry whose name begins "smsd_run_GSM". The directory belongs
// to smsd's user, so an entry is only truncated through a descriptor on a regular file of
// its own: a link, a FIFO or a device is skipped with a LOG_WARNING naming it.
void emptyRunLogs();
