// Where smstools keeps its files on the box, and the commands that drive its service.
#pragma once

#include "common/port_name.hpp"

#include <string>

inline constexpr char kSmsdConfPath[] = "/etc/smsd.conf";
inline constexpr char kStatusFilePath[] = "/var/spool/sms/stats/status";
// smsd's log, where the configuration the daemon writes names it; smsd's user owns it.
inline constexpr char kSmsdLogPath[] = "/var/log/smsd.log";
// Where smsd writes its pid: Debian's init script has it in /run/smstools, smsd's own default is
// /var/run/smsd.pid.
inline constexpr const char* kSmsdPidFiles[] = {"/run/smstools/smsd.pid", "/run/smsd.pid"};
// The directory of Debian's pid file (and smsd's "working" file); smsd's user owns it, /run is
// root's.
inline constexpr char kSmsdRunDirectory[] = "/run/smstools";
// smsd's spool; its owner is smsd's user (the package sets it so).
inline constexpr char kSmsdSpoolDirectory[] = "/var/spool/sms";

inline constexpr char kServiceStopCommand[] = "/usr/sbin/service smstools stop";
inline constexpr char kServiceStartCommand[] = "/usr/sbin/service smstools start";
// Port n's run log is kRunLogDirectory/kRunLogPrefix n ".log"; smsd's user owns the directory.
inline constexpr char kRunLogDirectory[] = "/var/ramlog";
inline constexpr char kRunLogPrefix[] = "smsd_run_GSM";

// Port n's spool directory is kSpoolDirectory/GSMn; the daemon makes it, smsd writes in it.
inline constexpr char kSpoolDirectory[] = "/mnt/flash/spool";


// "/mnt/flash/spool/GSM3" for port 3.
inline std::string portSpoolDirectory(int port)
{
    return std::string(kSpoolDirectory) + "/" + portName(port);
}
