# Writes a C++ source whose one function returns a text file's contents,
# so the server carries its page files inside the program.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=functionName -P embed_text.cmake
file(READ "${INPUT}" text)
string(FIND "${text}" ")EMBEDDED\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's end mark")
endif()
file(WRITE "${OUTPUT}.tmp" "// Made from ${INPUT} at build time.\nconst char* ${NAME}() {\n    return R\"EMBEDDED(${text})EMBEDDED\";\n}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
