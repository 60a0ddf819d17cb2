# Writes a C++ file that defines a file's bytes as an array, for builds without Windows resources.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -DNAMESPACE=ns -P embed_file.cmake
# defines `const uint8_t SYMBOL[]` and `const size_t SYMBOLSize` in namespace NAMESPACE.
foreach(variable INPUT OUTPUT SYMBOL NAMESPACE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "embed_file.cmake: ${variable} is not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line (CMake's regular expressions have no counted repetition).
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n  " bytes "${bytes}")
if(size EQUAL 0)
  set(bytes "0")  # an array may not be empty; the size stays 0
endif()

get_filename_component(inputName "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
"// Generated from ${inputName} by embed_file.cmake: do not edit.
#include <cstddef>
#include <cstdint>

namespace ${NAMESPACE} {

extern const uint8_t ${SYMBOL}[];
extern const size_t ${SYMBOL}Size;

const uint8_t ${SYMBOL}[] = {
  ${bytes}
};
const size_t ${SYMBOL}Size = ${size};

}  // namespace ${NAMESPACE}
")
