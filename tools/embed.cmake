# Writes OUTPUT, a C++ file defining `extern const std::string_view NAME` that
# holds the bytes of INPUT: the pages' HTML, CSS and JavaScript stay ordinary
# source files and are built into the executable.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT} by embed.cmake.\n#include <string_view>\n"
  "namespace {\nconstexpr char BYTES[] = {\n${bytes}'\\0'};\n}\n"
  "extern const std::string_view ${NAME};\nconst std::string_view ${NAME}(BYTES, ${size});\n")
