# Turns a binary file into a C++ source that defines
#   extern const unsigned char <NAME>_bytes[]; extern const std::size_t <NAME>_size;
# Run as: cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=name -P embed_bytes.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Generated from ${NAME}.asm at build time.\n"
  "#include <cstddef>\n"
  "namespace boot {\n"
  "extern const unsigned char ${NAME}_bytes[] = {\n${bytes}\n};\n"
  "extern const std::size_t ${NAME}_size = ${size};\n"
  "}  // namespace boot\n")
