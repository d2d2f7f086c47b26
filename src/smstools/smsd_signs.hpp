// smsd's signs of life: the files it writes while it works.
#pragma once

// When smsd last wrote its log, its status file or the run log of one of the first `ports` ports,
// in seconds since the epoch; 0 when none of them is there. An idle healthy smsd writes each
// port's run log every minute (its regular command), and its log and status file when anything
// happens. Only the entries' own times are read: a link is not followed, nothing is opened.
double smsdLastSign(int ports);
