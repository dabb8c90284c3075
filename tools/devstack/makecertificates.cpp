// Run by CMake at configure time: makes the devstack CA that the default build trusts.
//   makecertificates FOLDER
#include "certificates.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: makecertificates FOLDER\n", stderr);
        return 2;
    }
    const std::string error = DevCertificates::ensure(argv[1]);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
