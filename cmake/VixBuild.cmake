# Build settings shared by every target of ours.

if(VIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings are errors in our own code only (not in GoogleTest or Qt's generated files).
function(vix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-error=deprecated-declarations
    # GCC 12 reports false overlaps in std::basic_string at -O3.
    $<$<CXX_COMPILER_ID:GNU>:-Wno-error=restrict>)
endfunction()

# A library of one layer. Sources are given relative to the calling directory.
# A layer without sources yet is an interface library, so that the layers
# above can already name it.
function(vix_layer_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;SYSTEM_LIBS" ${ARGN})
  if(NOT ARG_SOURCES)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPENDS} ${ARG_SYSTEM_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} ${ARG_SYSTEM_LIBS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  vix_warnings(${name})
endfunction()

# MariaDB's C connector, for the tests and benchmarks that compare with it
# (never linked into a library): sets MARIADB_CLIENT_FOUND and the target
# PkgConfig::MARIADB_CLIENT.
macro(vix_find_mariadb_client)
  find_package(PkgConfig QUIET)
  if(TARGET PkgConfig::MARIADB_CLIENT)
    set(MARIADB_CLIENT_FOUND TRUE)
  elseif(PkgConfig_FOUND)
    pkg_check_modules(MARIADB_CLIENT QUIET IMPORTED_TARGET GLOBAL libmariadb)
  endif()
endmacro()
