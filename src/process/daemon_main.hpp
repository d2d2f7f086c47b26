// Start-up, the main loop and the orderly stop.
#pragma once

// Everything main does; kept out of main.cpp so the tests link the same code.
int daemonMain(int argc, char** argv);
