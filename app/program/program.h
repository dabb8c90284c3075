#pragma once

// Runs kavo as its arguments say (see its --help); the exit status.
int runKavo(int argc, char *argv[]);
