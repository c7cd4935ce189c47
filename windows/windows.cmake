# The Windows build: Moldrin.dll with its export list and resources, linked so it needs
# only system DLLs, and the programs the wine tests run. The library code itself is moldrin_core.
enable_language(RC)

# The resource script is UTF-8 so its Portuguese texts stay readable here.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

target_link_libraries(moldrin_core PUBLIC ws2_32 version user32)

# Everything from the compiler's own runtime goes inside the binary.
set(MOLDRIN_WIN_STATIC -static -static-libgcc -static-libstdc++)

add_library(moldrin_resources OBJECT ${CMAKE_SOURCE_DIR}/windows/moldrin.rc)
target_include_directories(moldrin_resources PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/windows)

add_library(moldrin SHARED
  ${CMAKE_SOURCE_DIR}/src/api/library_entry_win32.cpp
  ${CMAKE_SOURCE_DIR}/windows/Moldrin.def
  $<TARGET_OBJECTS:moldrin_resources>)
set_target_properties(moldrin PROPERTIES OUTPUT_NAME Moldrin PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
target_link_libraries(moldrin PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,moldrin_core>" moldrin_warnings)
# --kill-at and the explicit stdcall fix-up give every export its plain name (the .def
# list) instead of the decorated name the 32-bit __stdcall functions carry.
target_link_options(moldrin PRIVATE ${MOLDRIN_WIN_STATIC} -Wl,--kill-at,--enable-stdcall-fixup -Wl,--no-undefined)

# The linker's import library of the 32-bit DLL holds the plain names only, which no
# __stdcall caller asks for: it is replaced by one made from the decorated names.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(MOLDRIN_DLLTOOL NAMES ${MOLDRIN_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
  add_custom_command(TARGET moldrin POST_BUILD
    COMMAND ${MOLDRIN_DLLTOOL} --kill-at --input-def ${CMAKE_SOURCE_DIR}/windows/Moldrin-import32.def
      --dllname Moldrin.dll --output-lib $<TARGET_LINKER_FILE:moldrin>
    COMMENT "32-bit import library with the __stdcall names")
  set_property(TARGET moldrin APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/windows/Moldrin-import32.def)
endif()

# MoldrinOps.dll: the typed operations (moldrin_ops.h) over Moldrin.dll's exports, exported
# by plain name like it, with a 32-bit import library of the decorated names made the same way.
add_library(moldrin_ops SHARED ${CMAKE_SOURCE_DIR}/ops/library_entry.cpp ${CMAKE_SOURCE_DIR}/windows/MoldrinOps.def)
set_target_properties(moldrin_ops PROPERTIES OUTPUT_NAME MoldrinOps PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
target_link_libraries(moldrin_ops PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,moldrin_ops_code>" moldrin moldrin_warnings)
target_link_options(moldrin_ops PRIVATE ${MOLDRIN_WIN_STATIC} -Wl,--kill-at,--enable-stdcall-fixup -Wl,--no-undefined)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_custom_command(TARGET moldrin_ops POST_BUILD
    COMMAND ${MOLDRIN_DLLTOOL} --kill-at --input-def ${CMAKE_SOURCE_DIR}/windows/MoldrinOps-import32.def
      --dllname MoldrinOps.dll --output-lib $<TARGET_LINKER_FILE:moldrin_ops>
    COMMENT "32-bit import library of MoldrinOps.dll with the __stdcall names")
  set_property(TARGET moldrin_ops APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/windows/MoldrinOps-import32.def)
endif()

# Programs for the tests under wine (the Linux test suite cannot load a DLL).
option(MOLDRIN_WINE_TESTS "Build the programs of the tests under wine" ON)
if(MOLDRIN_WINE_TESTS)
  set(MOLDRIN_WINE_DIR ${CMAKE_SOURCE_DIR}/windows/tests)
  # Drives the DLL through its exports, as an application does.
  add_executable(wine_api_test ${MOLDRIN_WINE_DIR}/api_test.cpp)
  target_include_directories(wine_api_test PRIVATE ${CMAKE_SOURCE_DIR}/include ${MOLDRIN_WINE_DIR})
  target_link_libraries(wine_api_test PRIVATE moldrin_warnings version ws2_32)
  target_link_options(wine_api_test PRIVATE ${MOLDRIN_WIN_STATIC})
  # The win32 platform layer on its own, linked in, with a peer of its own for the TCP line.
  add_executable(wine_platform_test ${MOLDRIN_WINE_DIR}/platform_test.cpp $<TARGET_OBJECTS:moldrin_resources>)
  target_include_directories(wine_platform_test PRIVATE ${MOLDRIN_WINE_DIR})
  target_link_libraries(wine_platform_test PRIVATE moldrin_core moldrin_warnings)
  target_link_options(wine_platform_test PRIVATE ${MOLDRIN_WIN_STATIC})
  # Shows one of the library's boxes for a screenshot.
  add_executable(wine_box_shot ${MOLDRIN_WINE_DIR}/box_shot.cpp $<TARGET_OBJECTS:moldrin_resources>)
  target_link_libraries(wine_box_shot PRIVATE moldrin_core moldrin_warnings)
  target_link_options(wine_box_shot PRIVATE ${MOLDRIN_WIN_STATIC})
  set_target_properties(wine_api_test wine_platform_test wine_box_shot
    PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
