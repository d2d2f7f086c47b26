// Every limit of healing, in one table: the README and the manual page describe these values.
#pragma once

#include <cstddef>

struct HealLimits {
    // smsd judges a port by its answers over a minute or two after it starts: no heal before.
    double grace_seconds = 120;
    // A step has helped when the modem answers smsd within this long after it, whatever smsd says
    // while the modem starts up; it has not when no answer comes in that time.
    double judge_seconds = 150;
    // At least this long between two steps on a port, doubled after each failure, at most
    // 2^longest_backoff_shift times.
    double backoff_seconds = 600;
    int longest_backoff_shift = 4;
    // Failures (a step that failed, or after which the modem did not answer) within a day after
    // which the port is given up on.
    std::size_t failures_to_give_up = 3;
    // Steps on one port within a day, whatever smsd's files (which smsd's user writes) say.
    std::size_t steps_a_day = 6;
    // A port given up on is watched again once its modem has answered smsd this long, or once
    // another USB device is in its place.
    double answering_to_lift_seconds = 3600;
    // A modem that has lost the network for this long gets a step: a reset brings registration back
    // on many modems. The SIM, a refused message or a full store never get one.
    double network_seconds = 600;
    double day_seconds = 86400;
    // One step, run by the helper: the daemon waits this long, then stops the helper's unit (whose
    // own start timeout is a little longer). Then the gsmmodem link is waited for: gone, then back.
    double step_seconds = 30;
    double link_gone_seconds = 2;
    double link_back_seconds = 20;
    // A modem that comes back from a step as its CD-ROM (storage mode) is waited for this long
    // after the step, through usb_modeswitch's switch and its enumeration as a modem again.
    double mode_switch_seconds = 60;
};

inline constexpr HealLimits kHealLimits{};
