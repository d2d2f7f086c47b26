// Generating /etc/smsd.conf: one section per modem present, everything else fixed.
#include "smstools/smsd_conf.hpp"

#include "common/concat.hpp"
#include "common/replace_file.hpp"
#include "log/activity_log.hpp"
#include "log/write_errors.hpp"
#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr char kServiceSettings[] =
    "#\n"
    "logfile = /var/log/smsd.log\n"
    "loglevel = 5\n"
    "log_response_time = yes\n"
    "delaytime = 0\n"
    "delaytime_mainprocess = 0\n"
    "internal_combine = yes\n"
    "receive_before_send = no\n"
    "logtime_ms = 1\n"
    "max_continuous_sending = 60\n"
    "incoming_utf8 = yes\n"
    "umask = 111\n"
    "spool_directory_order = no\n"
    "#\n"
    "trust_outgoing = yes\n"
    "#\n"
    "autosplit = 3\n"
    "#\n"
    "#Timers for errors (specify how many seconds stop on error)\n"
    "blocktime = 3\n"
    "errorsleeptime = 3\n"
    "#\n"
    "#Directories\n"
    "outgoing = /var/spool/sms/outgoing\n"
    "checked = /var/spool/sms/checked\n"
    "failed = /var/spool/sms/failed\n"
    "incoming = /var/spool/sms/incoming\n"
    "sent = /var/spool/sms/sent\n"
    "stats = /var/spool/sms/stats\n"
    "#\n"
    "#Stats\n"
    "stats_no_zeroes = yes\n"
    "stats_interval = 0\n"
    "#\n"
    "#\n"
    "[default]\n"
    "baudrate = 921600\n"
    "check_network = 0\n"
    "detect_unexpected_input = no\n"
    "hangup_incoming_call = yes\n"
    "incoming = 2\n"
    "init2 = at+cmms=2\n"
    "mode = new\n"
    "pin = ignore\n"
    "pre_init = no\n"
    "regular_run_interval = 60\n"
    "regular_run_cmd = AT+CSQ\n"
    "regular_run_loglevel = 7\n"
    "voicecall_hangup_ath = yes\n"
    "voicecall_ignore_modem_response = yes\n"
    // Every port shares GSM1's event handler; the box ships only that one script.
    "eventhandler = /etc/sms/scripts/eventhandlerGSM1.sh\n"
    "#\n"
    "#MODEM PROPERTIES\n";

// The counting probe relies on these two shapes: "GSMn= " in [queues] and "GSMn = " in
// [provider] are the only generated lines that match "GSM..=".
std::string queueLine(int index)
{
    return concat(portName(index), "= ") + portSpoolDirectory(index) + "\n";
}

std::string providerLine(const std::string& port)
{
    return concat(port, " = 0,1,2,3,4,5,6,7,8,9,s\n");
}

} // namespace

std::string smsdConfText(const ModemSlots& slots, int count)
{
    std::string text = "# /etc/smsd.conf\n#\n";
    text += concat("devices= GSM* 1-", std::to_string(count)) + "\n";
    text += kServiceSettings;

    std::string queues;
    std::string providers;
    for (int index = 1; index <= count; ++index) {
        const std::string port = portName(index);
        text += concat("[", port) + "]\n";
        text += concat("device = /dev/", slots[index - 1]) + "\n";
        text += concat("queues = ALL,", port) + "\n";
        text += concat("regular_run_logfile = /var/ramlog/smsd_run_", port) + ".log\n";
        text += "#\n";
        queues += queueLine(index);
        providers += providerLine(port);
    }

    text += "#END MODEM PROPERTIES\n#\n[queues]\nALL = /mnt/flash/spool/all \n";
    text += queues;
    text += "#\n[provider]\nALL = 0,1,2,3,4,5,6,7,8,9,s \n";
    text += providers;
    return text;
}

namespace {

constexpr char kAside[] = ".smsd.conf.modemwatchd";

} // namespace

SmsdConfRewrite::~SmsdConfRewrite()
{
    if (directory.valid()) {
        static_cast<void>(unlinkat(directory.get(), kAside, 0));
    }
}

bool prepareSmsdConf(const ModemSlots& slots, int count, SmsdConfRewrite& rewrite)
{
    rewrite.text = smsdConfText(slots, count);
    // An admin who keeps the file elsewhere (on a writable card, say) links it from /etc: the
    // file is replaced where it lives, and the link stays.
    char resolved[PATH_MAX];
    rewrite.path = realpath(kSmsdConfPath, resolved) != nullptr ? resolved : kSmsdConfPath;
    const size_t slash = rewrite.path.rfind('/');
    rewrite.directory.reset(open(rewrite.path.substr(0, std::max<size_t>(slash, 1)).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rewrite.directory.valid()) {
        rewrite.error = errno;
        return true;
    }
    struct stat old {};
    const bool exists = fstatat(rewrite.directory.get(), rewrite.path.c_str() + slash + 1, &old,
                                AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
    rewrite.error = writeAsideAt(rewrite.directory.get(), kAside, rewrite.text, exists ? old.st_mode & 07777 : 0644, true);
    if (rewrite.error == 0 && exists) {
        // Where the old owner cannot be given (no CAP_CHOWN), the file is root's: smsd reads it
        // all the same.
        [[maybe_unused]] const int owned =
            fchownat(rewrite.directory.get(), kAside, old.st_uid, old.st_gid, AT_SYMLINK_NOFOLLOW);
    }
    if (rewrite.error == ENOSPC || rewrite.error == EDQUOT) {
        errno = rewrite.error;
        return false;
    }
    return true;
}

bool createsmsd(SmsdConfRewrite& rewrite)
{
    const size_t slash = rewrite.path.rfind('/');
    if (rewrite.error == 0 &&
        renameat(rewrite.directory.get(), kAside, rewrite.directory.get(), rewrite.path.c_str() + slash + 1) != 0) {
        rewrite.error = errno;
    }
    if (rewrite.error == 0) {
        static_cast<void>(fsync(rewrite.directory.get()));
    } else {
        reportWriteError(kSmsdConfPath, rewrite.error);
    }
    logLine("Writing /etc/smsd.conf");
    return rewrite.error == 0;
}

std::vector<std::string> configuredDevices()
{
    std::vector<std::string> devices;
    const file_ptr conf(std::fopen(kSmsdConfPath, "re"));
    if (!conf) {
        return devices;
    }
    char line[512];
    size_t section = 0;  // n while in [GSMn], 0 outside a port's section
    while (std::fgets(line, sizeof line, conf.get()) != nullptr) {
        std::string_view text(line);
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        }
        if (!text.empty() && text.front() == '[') {
            const long number = text.rfind("[GSM", 0) == 0 && text.back() == ']'
                                    ? std::strtol(std::string(text.substr(4)).c_str(), nullptr, 10)
                                    : 0;
            section = number >= 1 && number <= kModemSlotCount ? static_cast<size_t>(number) : 0;
            devices.resize(std::max(devices.size(), section));
        } else if (section != 0 && text.rfind("device = /dev/", 0) == 0) {
            devices[section - 1] = std::string(text.substr(14));
        }
    }
    return devices;
}
