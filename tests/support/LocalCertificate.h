// A self-signed certificate for 127.0.0.1, for tests of the HTTPS server and client.
#pragma once

#include <string>

#include "Process.h"

// Writes a fresh certificate (valid one day, for the name and address 127.0.0.1) and its key to
// the two paths with openssl; the result tells whether that worked and what openssl said.
ProcessResult MakeLocalCertificate(const std::string& certFile, const std::string& keyFile);
