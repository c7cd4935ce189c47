# Writes the console page and the OpenAPI document as two C arrays (bytes, then a
# NUL), so any character in them survives: cmake -DOUT= -DPAGE= -DAPI= -P embed_assets.cmake
function(as_array file name out)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(([^,]*,){32})" "\\1\n" bytes "${bytes}")
  set(${out} "extern const char ${name}[] = {\n${bytes}'\\0'};\n" PARENT_SCOPE)
endfunction()
as_array(${PAGE} kConsolePage page)
as_array(${API} kOpenApiDocument api)
file(WRITE ${OUT}.tmp "// Made by serve/embed_assets.cmake from serve/assets/: do not edit.\nnamespace moldrin::serve {\n${page}${api}}\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
