# The shared liborvex: the objects of every module (ORVEX_MODULES) in one
# library, for the programs that a distribution updates under them.
#
# Its SONAME is liborvex.so.<ABI>, where ORVEX_ABI is the interface's own
# generation and not the release's version: it goes up with every change that
# breaks a program linked against the library before (a removed or changed
# function, a class whose size or virtual members change), and with it the
# Debian package's name (liborvex0). A release that only adds keeps it. The
# file name carries the whole release (liborvex.so.0.2.0).
set(ORVEX_ABI 0)

list(TRANSFORM ORVEX_MODULES REPLACE "(.+)" "$<TARGET_OBJECTS:orvex_\\1>"
     OUTPUT_VARIABLE _orvex_objects)
add_library(orvex_shared SHARED ${_orvex_objects})
add_library(orvex::orvex ALIAS orvex_shared)
orvex_usage_requirements(orvex_shared PUBLIC)
# Its headers include mysql.h, so its users see the client library too.
target_link_libraries(orvex_shared PUBLIC PkgConfig::MARIADB
  PRIVATE PkgConfig::LIBMD $<BUILD_INTERFACE:orvex_sanitize>)
if(ORVEX_HAVE_SYSTEM_STRLCPY)
  target_compile_definitions(orvex_shared PUBLIC ORVEX_HAVE_SYSTEM_STRLCPY=1)
endif()

# What the library exports is a version script's choice, not visibility
# attributes': the public interface is what the installed headers declare,
# family by family, and one list of those families says it without marking
# every declaration in every header. The script also versions each symbol
# (ORVEX_<ABI>), so that a program built against a later library says so.
set(_orvex_map ${PROJECT_SOURCE_DIR}/cmake/liborvex.map)
target_link_options(orvex_shared PRIVATE "LINKER:--version-script=${_orvex_map}")
set_property(TARGET orvex_shared APPEND PROPERTY LINK_DEPENDS ${_orvex_map})
# Every symbol resolved at link time; a sanitizer build leaves the runtime's
# to the program.
if(NOT ORVEX_SANITIZE)
  target_link_options(orvex_shared PRIVATE "LINKER:--no-undefined")
endif()
set_target_properties(orvex_shared PROPERTIES
  OUTPUT_NAME orvex EXPORT_NAME orvex
  VERSION ${PROJECT_VERSION} SOVERSION ${ORVEX_ABI})
install(TARGETS orvex_shared EXPORT orvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
