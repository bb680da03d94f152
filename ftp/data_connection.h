// Pure helpers of the data connection, kept apart so that they can be tested without sockets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// Formats "PORT h1,h2,h3,h4,p1,p2" for an IPv4 address in network byte order and a port in host
// byte order. Returns false when out is too small.
bool FtpFormatPort(char* out, size_t size, uint32_t addressNetworkOrder, uint16_t port);

// Formats "EPRT |f|address|port|" (RFC 2428; f is 1 for IPv4, 2 for IPv6) for a port in host
// byte order. Returns false when out is too small or the address has no family.
bool FtpFormatEprt(char* out, size_t size, const PlatAddress& address, uint16_t port);

// The size a 125 or 150 reply announces ("... (512 bytes)", in any case); 0 when the reply
// has another code, announces no size, or a size beyond signed 64 bits.
int64_t FtpParseSizeText(const char* reply);

// The port of a 229 reply, "229 text (|||port|)" with any delimiter character. False when the
// reply holds none.
bool FtpParseEpsvPort(const char* text, uint16_t* port);
// The port of a 227 reply: p1 * 256 + p2 of the first six comma-separated numbers after the code
// ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"). The address in it is not returned: the
// data connection always goes to the control connection's peer. False when there is none.
bool FtpParsePasvPort(const char* text, uint16_t* port);

// The result of a 4xx or 5xx final reply to a transfer command, whether it came at once or after
// the 150: 550 FTP_CANNOT_OPEN_REMOTE, 553 FTP_TRANSFER_REFUSED, 425, 426 and 522
// FTP_DATA_CONNECTION_FAILED, any other FTP_UNEXPECTED_ANSWER.
int32_t FtpTransferRefusalResult(int32_t code);
