# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DSYMBOL=<name> -DHEADER=<include> -P EmbedFile.cmake
# Writes a C++ source holding the bytes of INPUT as `const unsigned char SYMBOL[]` and its
# length as `const std::size_t SYMBOLSize`, in namespace lumetta.
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace lumetta {\n"
  "alignas(16) const unsigned char ${SYMBOL}[] = {\n${bytes}\n};\n"
  "const std::size_t ${SYMBOL}Size = ${size};\n"
  "}  // namespace lumetta\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
