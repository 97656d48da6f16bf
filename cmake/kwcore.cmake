# Shared build settings for every kwcore target.

function(kw_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KWCORE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Calls inside a library bind to its own definitions: without this, GCC routes
# every call to an exported function of the same library through the PLT and
# keeps it from being inlined (the service object list's walk paid that on
# each step). Nothing of ours is meant to be interposed.
add_compile_options($<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-fno-semantic-interposition>)

if(KWCORE_SANITIZE)
  list(JOIN KWCORE_SANITIZE "," _kw_sanitizers)
  add_compile_options(-fsanitize=${_kw_sanitizers} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_kw_sanitizers})
  if("undefined" IN_LIST KWCORE_SANITIZE)
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Every shared library of the project lands in one folder of the build tree,
# as it does in the install prefix: libkwcore loads the in-house libraries
# from its own directory.
set(KWCORE_LIBRARY_DIR ${PROJECT_BINARY_DIR}/lib)

# kw_add_library(<name> <output-name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A shared library with hidden visibility, a version and a SONAME.
function(kw_add_library name output)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(kwcore::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${output}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${KWCORE_LIBRARY_DIR})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Private headers shared between libraries ("platform/kwLittleEndian.h")
  # are named from the source root.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  # clang links shared libraries without its sanitizer runtime (the executable
  # brings it), so --no-undefined would reject every sanitized library.
  if(NOT (KWCORE_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  kw_warnings(${name})
endfunction()

# kw_add_layer(<name> SOURCES ... [LIBS ...])
# One folder of libkwcore, compiled as an object library; libkwcore links the
# layers together, so each layer's link line names the layers below it.
function(kw_add_layer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} OBJECT ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  # UBSan's vptr check on a CkwErrorInfo names its typeinfo, which lives in
  # libkwErrorHandle: libkwcore binds that library at run time, not at link.
  if("undefined" IN_LIST KWCORE_SANITIZE)
    target_compile_options(${name} PRIVATE -fno-sanitize=vptr)
  endif()
  kw_warnings(${name})
endfunction()
