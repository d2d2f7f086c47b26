// `modemwatchctl probe`: which ttyUSB is the modem, and stable gsmmodem names for it.
#include "modemwatchctl/probe/probe_command.hpp"

#include "common/concat.hpp"
#include "common/text_escape.hpp"
#include "common/text_table.hpp"
#include "modemwatchctl/probe/modem_modes.hpp"
#include "modemwatchctl/probe/probe_ports.hpp"
#include "modemwatchctl/probe/probe_rules.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string verdict(const UsbModem& modem, size_t k, bool probed)
{
    const SerialPort& port = modem.ports[k];
    if (port.held) {
        return static_cast<int>(k) == modem.at_port ? "AT port (held)" : "held";
    }
    if (!servesModems(port)) {
        return "not a modem driver";
    }
    if (!probed) {
        return "not probed";
    }
    if (!port.probed) {
        return "cannot open";
    }
    if (static_cast<int>(k) == modem.at_port) {
        return "AT port";
    }
    return port.answered ? "answers AT" : "no answer";
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : ",") + word;
    }
    return text;
}

std::string table(const std::vector<UsbModem>& modems, bool probed)
{
    std::vector<std::vector<std::string>> rows = {
        {"VERDICT", "TTY", "USB PATH", "ID", "IF", "DRIVER", "GSMMODEM LINK", "MODEM"}};
    for (const UsbModem& modem : modems) {
        for (size_t k = 0; k < modem.ports.size(); ++k) {
            const SerialPort& port = modem.ports[k];
            char interface[8];
            static_cast<void>(std::snprintf(interface, sizeof interface, "%02x", port.interface & 0xff));
            std::string identity = spaced({port.make, port.model, port.imei.empty() ? "" : "IMEI " + port.imei});
            if (identity.empty() && k == 0) {
                identity = spaced({modem.manufacturer, modem.product_name});
            }
            rows.push_back({verdict(modem, k, probed), port.tty, modem.usb_path, modem.vendor + ":" + modem.product,
                            interface, port.driver, port.links.empty() ? "-" : joined(port.links), identity});
        }
    }
    for (auto& row : rows) {
        for (std::string& cell : row) {
            cell = printable(cell);
        }
    }
    return alignedTable(rows);
}

// The modems without AT ports, after the ports: none of them can be served until switched or
// replaced, and each says why.
std::string modesTable(const std::vector<ModemWithoutAt>& modems)
{
    if (modems.empty()) {
        return {};
    }
    std::vector<std::vector<std::string>> rows = {{"NO AT PORT", "USB PATH", "ID", "MODEM", "WHY"}};
    std::transform(modems.begin(), modems.end(), std::back_inserter(rows), [](const ModemWithoutAt& modem) {
        return std::vector<std::string>{modeName(modem.mode), modem.usb_path, modem.vendor + ":" + modem.product,
                                        spaced({modem.manufacturer, modem.product_name}), modem.state};
    });
    for (auto& row : rows) {
        for (std::string& cell : row) {
            cell = printable(cell);
        }
    }
    return "\n" + alignedTable(rows);
}

std::string json(const std::vector<UsbModem>& modems, bool probed, const std::vector<ModemWithoutAt>& without_at)
{
    std::string text = "{\"modems\":[";
    for (size_t m = 0; m < modems.size(); ++m) {
        const UsbModem& modem = modems[m];
        text += std::string(m == 0 ? "" : ",") + "{\"usb_path\":" + jsonString(modem.usb_path) +
                ",\"vendor\":" + jsonString(modem.vendor) + ",\"product\":" + jsonString(modem.product) +
                ",\"manufacturer\":" + jsonString(modem.manufacturer) +
                ",\"product_name\":" + jsonString(modem.product_name) + ",\"serial\":" + jsonString(modem.serial) +
                ",\"at_port\":" +
                (modem.at_port >= 0 ? jsonString(modem.ports[static_cast<size_t>(modem.at_port)].tty) : "null") +
                ",\"chosen_by\":" + (modem.at_port >= 0 ? jsonString(modem.chosen_by) : "null") + ",\"ports\":[";
        for (size_t k = 0; k < modem.ports.size(); ++k) {
            const SerialPort& port = modem.ports[k];
            std::string links;
            for (const std::string& link : port.links) {
                links += (links.empty() ? "" : ",") + jsonString(link);
            }
            text += std::string(k == 0 ? "" : ",") + "{\"tty\":" + jsonString(port.tty) +
                    ",\"interface\":" + std::to_string(port.interface) + ",\"driver\":" + jsonString(port.driver) +
                    ",\"gsmmodem_links\":[" + links + "],\"held\":" + (port.held ? "true" : "false") +
                    ",\"answered\":" + (port.probed ? (port.answered ? "true" : "false") : "null") +
                    ",\"make\":" + jsonString(port.make) + ",\"model\":" + jsonString(port.model) +
                    ",\"imei\":" + jsonString(port.imei) + ",\"verdict\":" + jsonString(verdict(modem, k, probed)) +
                    "}";
        }
        text += "]}";
    }
    return text + "],\"without_at_ports\":" + modemsWithoutAtJson(without_at) + "}\n";
}

} // namespace

int runProbe(const ProbeOptions& options)
{
    const bool probed = options.at || options.udev_rules;
    // Which ports smsd holds shows only in its /proc entries, which only root may read: opened
    // by anyone else, a port smsd serves would get our AT traffic amid its own.
    if (probed && geteuid() != 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: probe --at and --udev-rules open ports, which needs root: "
                                               "without it the ports smsd holds cannot be told from free ones\n"));
        return 3;
    }
    std::vector<UsbModem> modems = listSerialModems("/sys", "/dev");
    if (probed) {
        probeAtPorts(modems, "/dev");
    }
    const bool found = std::any_of(modems.begin(), modems.end(), [&](const UsbModem& modem) {
        return !modem.ports.empty() && (!probed || modem.at_port >= 0);
    });
    if (options.udev_rules) {
        const std::string rules = udevRules(modems);
        if (options.write) {
            const int status = writeUdevRules(rules);
            if (status != 0) {
                return status;
            }
            static_cast<void>(std::printf("%s written; udev reloaded and triggered\n", kProbeRulesPath));
        } else {
            static_cast<void>(std::fputs(rules.c_str(), stdout));
        }
    } else {
        std::set<std::string> with_ttys;
        for (const UsbModem& modem : modems) {
            with_ttys.insert(modem.usb_path);
        }
        const std::vector<ModemWithoutAt> without_at = modemsWithoutAtPorts("/sys", with_ttys, readModeSwitchData(""));
        const std::string text =
            options.json ? json(modems, probed, without_at) : table(modems, probed) + modesTable(without_at);
        static_cast<void>(std::fputs(text.c_str(), stdout));
    }
    if (!found) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s\n",
                     modems.empty() ? "no USB serial port (ttyUSB*, ttyACM*) found" : "no port answered AT"));
    }
    return found ? 0 : 1;
}

int probeMain(CtlArguments& line)
{
    ProbeOptions options;
    for (size_t i = 0; i < line.words.size(); ++i) {
        if (takeCommonOption(line, i)) {
            continue;
        }
        const std::string& word = line.words[i];
        if (word == "--json") {
            options.json = true;
        } else if (word == "--at") {
            options.at = true;
        } else if (word == "--udev-rules") {
            options.udev_rules = true;
        } else if (word == "--write") {
            options.write = true;
        } else {
            return unexpectedWord(line, i);
        }
    }
    if (options.write && !options.udev_rules) {
        return misplacedOption(line);
    }
    return runProbe(options);
}
