// Where smstools keeps its files on the box, and the commands that drive its service.
#pragma once

inline constexpr char kSmsdConfPath[] = "/etc/smsd.conf";
inline constexpr char kStatusFilePath[] = "/var/spool/sms/stats/status";

inline constexpr char kServiceStopCommand[] = "/usr/sbin/service smstools stop";
inline constexpr char kServiceStartCommand[] = "/usr/sbin/service smstools start";
// -c: with no run log yet, the shell passes the pattern through unexpanded, and a plain
// truncate would create a file literally named "smsd_run_GSM*".
inline constexpr char kEmptyRunLogsCommand[] = "truncate -c -s 0 /var/ramlog/smsd_run_GSM*";
