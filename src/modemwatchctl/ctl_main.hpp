// modemwatchctl: the operator's view of what modemwatchd publishes.
#pragma once

int ctlMain(int argc, char** argv);
