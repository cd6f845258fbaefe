// The PROXY protocol v2 header a TCP load balancer sends ahead of a connection's own bytes,
// naming the client it accepted the connection from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvanta::server {

// Every header starts with these 16 bytes: signature, version and command, family, length.
constexpr size_t kProxyHeaderPrefix = 16;
// Longest header accepted: addresses plus a few TLVs; a longer one is refused.
constexpr size_t kProxyHeaderMax = 1024;

// The whole header's length from its first 16 bytes; 0 when they are not a version 2 header
// or announce more than kProxyHeaderMax.
size_t ProxyHeaderLength(const uint8_t prefix[kProxyHeaderPrefix]);

struct ProxySource {
  bool local = false;   // the balancer's own connection (a health check): no client address
  std::string address;  // the client's address as text (IPv4 dotted, IPv6 colon form)
};
// Reads a whole header; false when it is malformed or names a family other than TCP over
// IPv4 or IPv6.
bool ParseProxyHeader(const uint8_t* header, size_t length, ProxySource* source);

}  // namespace sorvanta::server
