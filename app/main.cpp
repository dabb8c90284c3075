// kavo: the tray application and its commands (program/program.cpp).

#include "program/program.h"

int main(int argc, char *argv[])
{
    return runKavo(argc, argv);
}
