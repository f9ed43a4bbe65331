# Shared build settings of the orvex targets.

include(CheckCXXSourceCompiles)
include(GNUInstallDirs)
find_package(PkgConfig REQUIRED)
# The client library of the database layer, and the MD5 of common/; here, so
# that the modules and the shared library that holds them all see them.
pkg_check_modules(MARIADB REQUIRED IMPORTED_TARGET libmariadb)
pkg_check_modules(LIBMD REQUIRED IMPORTED_TARGET libmd)

# Warnings are errors for the project's own targets only, never for consumers.
add_library(orvex_warnings INTERFACE)
target_compile_options(orvex_warnings INTERFACE
  $<BUILD_INTERFACE:-Wall -Wextra -Werror>)

# The sanitizer flags are the build tree's alone: never installed or
# exported, so a consumer's program is built as its author chose.
add_library(orvex_sanitize INTERFACE)
if(ORVEX_SANITIZE)
  set(_orvex_san -fsanitize=address,undefined -fno-sanitize-recover=all
                 -fno-omit-frame-pointer)
  target_compile_options(orvex_sanitize INTERFACE ${_orvex_san})
  target_link_options(orvex_sanitize INTERFACE ${_orvex_san})
endif()
if(ORVEX_FUZZ)
  # Coverage instrumentation for libFuzzer in every target of the tree.
  target_compile_options(orvex_sanitize INTERFACE -fsanitize=fuzzer-no-link)
endif()

# Newer C libraries (glibc 2.38+) declare strlcpy with C linkage; use theirs.
check_cxx_source_compiles("
  #include <string.h>
  int main() { char d[4]; return (int)strlcpy(d, \"ab\", sizeof d); }"
  ORVEX_HAVE_SYSTEM_STRLCPY)

# orvex_add_library(NAME module SOURCES ... [DEPS ...])
# Makes the static library orvex_<module> with the alias orvex::<module>;
# its objects also go into the shared liborvex (cmake/shared_library.cmake).
function(orvex_add_library module)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(orvex_${module} STATIC ${A_SOURCES})
  add_library(orvex::${module} ALIAS orvex_${module})
  orvex_usage_requirements(orvex_${module} PUBLIC)
  target_link_libraries(orvex_${module} PUBLIC ${A_DEPS}
                        $<BUILD_INTERFACE:orvex_sanitize>
                        PRIVATE $<BUILD_INTERFACE:orvex_warnings>)
  set_target_properties(orvex_${module} PROPERTIES
    OUTPUT_NAME orvex_${module} POSITION_INDEPENDENT_CODE ON
    EXPORT_NAME ${module})
  install(TARGETS orvex_${module} EXPORT orvexTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# What every orvex library gives its users. Headers are included relative
# to the repository root, or to include/orvex once installed; the generated
# orvex/version.h lies under include/.
function(orvex_usage_requirements target scope)
  target_include_directories(${target} ${scope}
    $<BUILD_INTERFACE:${ORVEX_ROOT}> $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/orvex>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} ${scope} cxx_std_17)
endfunction()

# orvex_add_program(NAME name SOURCES ... DEPS ...) for tools and tests.
function(orvex_add_program name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} orvex_sanitize orvex_warnings)
endfunction()
