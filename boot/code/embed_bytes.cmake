# Turns a binary file into a C++ source that defines its bytes:
#   cmake -DINPUT=x.bin -DOUTPUT=x.cpp -DNAME=kX -DSIZE=n -P embed_bytes.cmake
# defines boot::generated::NAME (the bytes) and NAME##Size. A file of any
# other size than SIZE fails the build.
file(SIZE "${INPUT}" size)
if(NOT size EQUAL SIZE)
  message(FATAL_ERROR "${INPUT} is ${size} bytes, expected ${SIZE}")
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line (CMake's regular expressions have no {n}).
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
string(REGEX REPLACE "\n    $" "" bytes "${bytes}")
get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}" "// Generated from ${input_name} by embed_bytes.cmake; do not edit.
#include <cstddef>
#include <cstdint>

namespace boot::generated {
extern const std::uint8_t ${NAME}[] = {
    ${bytes}
};
extern const std::size_t ${NAME}Size = sizeof(${NAME});
}  // namespace boot::generated
")
