// smsd's signs of life: the files it writes while it works.
#pragma once

struct SmsdSigns {
    // When smsd last wrote its log, its status file or the run log of a port (seconds since the
    // epoch); 0 when none of them is there.
    double newest = 0;
    // When it last wrote a run log: a box where it writes none shows nothing of an idle smsd.
    double newest_run_log = 0;
};

// The signs of smsd serving the first `ports` ports. An idle healthy smsd writes each answering
// port's run log every minute (its regular command), and its log and status file when anything
// happens. Only the entries' own times are read: a link is not followed, nothing is opened.
SmsdSigns smsdSigns(int ports);
