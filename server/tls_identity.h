// The service's TLS certificate and key.
#pragma once

#include <string>

namespace sorvanta::server {

// Makes sure certPath and keyPath hold a usable pair: when either file is missing, writes a
// fresh self-signed certificate (EC P-256, ten years, names localhost and 127.0.0.1 plus
// extraHost when not empty) and its key (mode 0600). False and *error on failure.
bool EnsureSelfSignedPair(const std::string& certPath, const std::string& keyPath, const std::string& extraHost,
                          std::string* error);

}  // namespace sorvanta::server
