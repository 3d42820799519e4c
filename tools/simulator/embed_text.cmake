# Writes the bytes of INPUT as a C++ array named VARIABLE into OUTPUT (run with cmake -P).
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT}
     "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\nnamespace qel::simulator::embedded {\nextern const unsigned char ${VARIABLE}[] = {${bytes} 0x00};\nextern const std::size_t ${VARIABLE}Size = sizeof(${VARIABLE}) - 1;\n}  // namespace qel::simulator::embedded\n")
