#include "server/proxy_protocol.h"

#include <arpa/inet.h>

#include <cstring>

namespace sorvanta::server {
namespace {
const uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
}  // namespace

size_t ProxyHeaderLength(const uint8_t prefix[kProxyHeaderPrefix]) {
  if (std::memcmp(prefix, kSignature, sizeof kSignature) != 0 || (prefix[12] >> 4) != 2) return 0;
  size_t length = kProxyHeaderPrefix + (static_cast<size_t>(prefix[14]) << 8 | prefix[15]);
  return length <= kProxyHeaderMax ? length : 0;
}

bool ParseProxyHeader(const uint8_t* header, size_t length, ProxySource* source) {
  if (length < kProxyHeaderPrefix || ProxyHeaderLength(header) != length) return false;
  *source = ProxySource();
  const int command = header[12] & 0x0F;
  if (command == 0) {  // LOCAL: whatever follows is ignored
    source->local = true;
    return true;
  }
  if (command != 1) return false;
  const uint8_t* body = header + kProxyHeaderPrefix;
  const size_t bodyLength = length - kProxyHeaderPrefix;
  char text[INET6_ADDRSTRLEN] = {};
  switch (header[13]) {
    case 0x11:  // TCP over IPv4: source, destination, source port, destination port
      if (bodyLength < 12 || !inet_ntop(AF_INET, body, text, sizeof text)) return false;
      break;
    case 0x21:  // TCP over IPv6
      if (bodyLength < 36 || !inet_ntop(AF_INET6, body, text, sizeof text)) return false;
      break;
    default:
      return false;
  }
  source->address = text;
  return true;
}

}  // namespace sorvanta::server
