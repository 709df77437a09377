# Turns a binary file into a C++ source that defines its bytes as a constant.
# Run as a script:
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DSYMBOL=<name> -P EmbedBinary.cmake
# The source defines, in namespace loader::embedded,
#   extern const unsigned char <SYMBOL>[];       the bytes
#   extern const std::size_t <SYMBOL>_size;      their count
foreach(var INPUT OUTPUT SYMBOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "EmbedBinary.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
if(byte_count EQUAL 0)
  message(FATAL_ERROR "EmbedBinary.cmake: ${INPUT} is empty")
endif()
# Sixteen bytes a line, each as 0xNN.
string(REPEAT "[0-9a-f]" 32 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")

get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Made from ${input_name} by cmake/EmbedBinary.cmake at build time; do not edit.
#include <cstddef>

namespace loader::embedded {

extern const unsigned char ${SYMBOL}[];
extern const std::size_t ${SYMBOL}_size;

const unsigned char ${SYMBOL}[${byte_count}] = {
${bytes}
};
const std::size_t ${SYMBOL}_size = ${byte_count};

} // namespace loader::embedded
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
