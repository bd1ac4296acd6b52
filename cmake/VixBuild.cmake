# Build settings shared by every target of ours.

if(VIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VIX_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Warnings are errors in our own code only (not in GoogleTest or Qt's generated files).
function(vix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-error=deprecated-declarations
    # GCC 12 reports false overlaps in std::basic_string at -O3.
    $<$<CXX_COMPILER_ID:GNU>:-Wno-error=restrict>)
endfunction()

# A library of one layer. Sources are given relative to the calling directory.
# A layer without sources yet is an interface library, so that the layers
# above can already name it. Headers are included by their folder
# ("rtl/UString.h"), from the source tree or from include/vix once installed.
function(vix_layer_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;SYSTEM_LIBS" ${ARGN})
  if(NOT ARG_SOURCES)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPENDS} ${ARG_SYSTEM_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/vix>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} ${ARG_SYSTEM_LIBS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  vix_warnings(${name})
endfunction()

# Installs a library of the package (component "dev"), with HEADERS the
# headers of the calling folder: vix_<name> becomes the imported target vix::<name>.
function(vix_install_library name)
  cmake_parse_arguments(ARG "HEADERS" "" "" ${ARGN})
  string(REGEX REPLACE "^vix_" "" export_name ${name})
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${export_name})
  # Programs using the headers compile as C++20 as well.
  target_compile_features(${name} PUBLIC cxx_std_20)
  add_library(vix::${export_name} ALIAS ${name})
  install(TARGETS ${name} EXPORT vixTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  if(ARG_HEADERS)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vix/${folder}
      COMPONENT dev FILES_MATCHING PATTERN "*.h" PATTERN "CMakeFiles" EXCLUDE)
  endif()
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
