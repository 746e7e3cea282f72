# Writes a C++ file that holds a compiled resource file (.res) as a byte array,
# for the Linux build, whose simulated user32 reads it through a weak symbol.
# Usage: cmake -DINPUT=tessiv.res -DOUTPUT=tessiv_res.cpp -P embed_resources.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}: the program's compiled resources.\n#include <cstddef>\nextern \"C\" const unsigned char tessiv_program_res[] = {\n${bytes}\n};\nextern \"C\" const size_t tessiv_program_res_size = ${size};\n")
