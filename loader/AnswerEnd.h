#pragma once
// When the bytes read so far on a TCP link make a whole meter answer. A
// serial gateway may forward an answer in several pieces, and a piece
// boundary is no answer boundary: the loader reads on until this says the
// answer is in.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace loader {

// The length of the complete answer that Bytes begin with, for a request
// whose answer has Count bytes (-1: any length; its end is a CRC-16/MODBUS
// that holds, or a complete chain of packet answer frames); 0 while the
// answer is not complete. With a fixed Count a short status answer (the
// echoed prefix, a status byte and a CRC that holds) is complete too, when
// exactly its bytes are in: a refusal comes shorter than the answer asked
// for, and nothing more follows it. Echo, when 0 to 255, is the byte that
// the whole answer carries where a status answer has its status: bytes that
// show it there are the start of the whole answer, whatever their checksum.
std::size_t AnswerEnd(std::string_view Bytes, std::int32_t Count, int Echo = -1);

} // namespace loader
