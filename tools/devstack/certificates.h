#pragma once

#include <string>

// The devstack's own certificate authority, kept in a folder: `ca.pem` and `ca.key` are made on
// first use and kept; `server.pem` and `server.key`, a certificate for 127.0.0.1, ::1 and
// localhost signed by that CA, are made whenever missing. Keys are written with mode 0600.
// Plain C++ over OpenSSL, so that CMake can also run it at configure time (the default build
// trusts this CA).
namespace DevCertificates {
// An error text, or empty when the folder holds all four files.
std::string ensure(const std::string &folder);
}
