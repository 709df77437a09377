// The meter protocol as the link and the loader speak it: how a request
// addresses its meter, the commands of the update procedure, the channel
// password, and the log line of a request or an answer.
//
// A request is the address prefix, the command bytes with their data, and
// a CRC-16/MODBUS, low byte first. An answer echoes the prefix, then carries
// its data and the same kind of CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace protocol {

// A prefix that begins with this byte carries the meter's four-byte network
// address after it, most significant byte first; any other prefix is the one
// byte of an address from 0 to 255.
inline constexpr uint8_t WideAddressMark = 0xFC;
inline constexpr size_t WidePrefixLength = 5;
inline constexpr size_t ShortPrefixLength = 1;

// The length of the prefix that Bytes (a request or an answer) begin with.
constexpr size_t PrefixLength(std::string_view Bytes)
{
  return !Bytes.empty() && static_cast<uint8_t>(Bytes[0]) == WideAddressMark ? WidePrefixLength
                                                                             : ShortPrefixLength;
}

// The prefix that addresses the meter of a network address: its one byte up
// to 255, above that the mark and the four bytes.
std::string AddressPrefix(uint32_t Address);

// The prefix of a four-byte network address as a meter reports it.
std::string WidePrefix(std::string_view AddressBytes);

// The meter channel's password, six ASCII digits after the channel-open
// command.
inline constexpr char ChannelPassword[] = "582630";

// The commands, without the data that follows some of them.
inline constexpr std::string_view CmdLinkTest{"\x00", 1};
inline constexpr std::string_view CmdOpenChannel{"\x01", 1}; // then the password
inline constexpr std::string_view CmdCloseChannel{"\x02", 1};
inline constexpr std::string_view CmdTestMode{"\x03\x0F\x02", 3}; // then the mode byte and 0x00
inline constexpr std::string_view CmdSetSpeed{"\x03\x15", 2};     // then the meter's speed code
inline constexpr std::string_view CmdBlockWrite{"\x07\x04", 2};   // then index, divisor, tag, bytes
inline constexpr std::string_view CmdVersion{"\x08\x03", 2};
inline constexpr std::string_view CmdExtendedAddress{"\x08\x05\x01", 3};
inline constexpr std::string_view CmdStatusWord{"\x08\x0A", 2};
inline constexpr std::string_view CmdDateCode{"\x08\x11", 2}; // then the date code
inline constexpr std::string_view CmdTypeWord{"\x08\x12", 2};
inline constexpr std::string_view CmdTypeWordMore{"\x08\x12\x01", 3};
inline constexpr std::string_view CmdSpeedCode{"\x08\x17\x00", 3};
inline constexpr std::string_view CmdProbe{"\x08\xFF", 2}; // answered only in test mode
// The date-code series: its first request (sent twice outside a packet
// frame), the one before the date code, and the last record of its packet.
inline constexpr std::string_view CmdSeriesFirst{"\x04\x00", 2};
inline constexpr std::string_view CmdSeriesSecond{"\x08\x01", 2};
inline constexpr std::string_view CmdSeriesLast{"\x08\x00", 2};
// The identification of the packet frame that carries the series.
inline constexpr char SeriesIdent[] = "KelVar";

// The speed code that raises the line to 38400 baud with odd parity.
inline constexpr char RaisedSpeedCode = '\x08';

// The log lines of bytes sent at Time ("TX") and received from Time on
// ("RX"): the time stamp, a TAB, the direction, a TAB and the bytes as
// upper-case hexadecimal pairs, each followed by a blank.
std::string SentLine(const platform::TSystemTime &Time, const std::string &Bytes);
std::string ReceivedLine(const platform::TSystemTime &Time, const std::string &Bytes);

} // namespace protocol
