// Turning what one pass found into the state the operator's tools are shown.
#include "supervision/pass_state.hpp"

#include "common/clock.hpp"
#include "common/concat.hpp"
#include "common/printable_name.hpp"
#include "heal/heal.hpp"
#include "health/port_health.hpp"
#include "smstools/smsd_conf.hpp"
#include "smstools/smstools_paths.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a /dev entry links to (udev's names lead to ttyUSBn and the like); empty for no link.
std::string linkTarget(const std::string& name)
{
    char target[256];
    const ssize_t length = readlink(concat("/dev/", name).c_str(), target, sizeof target - 1);
    return length > 0 ? printableName(std::string_view(target, static_cast<size_t>(length))) : std::string();
}

bool isDirectory(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

void recordPass(DaemonState& state, const PassFindings& found)
{
    state.configured = found.configured;
    state.healing = healingEnabled();
    state.present = found.present;
    state.smsd_running = found.smsd.running;
    state.status_readable = found.status.outcome != StatusReading::unreadable;
    state.status_known = found.status.outcome == StatusReading::read && found.smsd.running && !found.restarted &&
                         notBefore(found.status.modified, found.smsd.started);
    state.receiving = state.status_known ? found.status.states.receiving : 0;
    state.blocked = state.status_known ? found.status.states.blocked : 0;

    const std::vector<std::string> devices = configuredDevices();
    state.ports.assign(devices.size(), {});
    for (size_t k = 0; k < devices.size(); ++k) {
        PortState& port = state.ports[k];
        port.device = printableName(devices[k]);
        port.target = devices[k].empty() ? std::string() : linkTarget(devices[k]);
        const std::string& word = found.status.states.words[k];
        port.state = state.status_known && !word.empty() ? word : "unknown";
        port.spool_directory = isDirectory(portSpoolDirectory(static_cast<int>(k) + 1));
        const PortHealth health = portHealth(devices[k]);
        port.answering = health.answering;
        port.not_answering_since = static_cast<double>(health.not_answering_since);
        port.signal_dbm = state.status_known ? found.status.states.signal_dbm[k] : std::nullopt;
        const HealRecord heals = healRecord(devices[k]);
        port.heals_answering = heals.answering;
        port.heals_not_answering = heals.not_answering;
        port.heal_given_up = heals.given_up;
    }
}
