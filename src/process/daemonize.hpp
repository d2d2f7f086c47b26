// Turning into a background daemon: detached, in "/", on /dev/null, with no inherited descriptors.
#pragma once

// The launching process and the intermediate one exit with status 0; a failed fork or
// setsid ends the process with status 1. Returns in the daemon itself.
void daemonize();

// Closes every descriptor from `lowest` up; one close_range call where the kernel has it.
void closeDescriptorsFrom(int lowest);
