# Shared build helpers: warning flags, tests, plug-ins and their registration.

set(SCRYDE_WARNINGS -Wall -Wextra -Werror)

# Library code built for the fuzz preset is instrumented for coverage.
if(SCRYDE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# scryde_target_defaults(<target>): our warning set and the source root on the include path.
function(scryde_target_defaults target)
  target_compile_options(${target} PRIVATE ${SCRYDE_WARNINGS})
  get_target_property(_type ${target} TYPE)
  if(_type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
  else()
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  endif()
endfunction()

# scryde_add_library(<name> [STATIC|SHARED] SOURCES ... LIBS ...)
function(scryde_add_library name)
  cmake_parse_arguments(A "SHARED" "" "SOURCES;LIBS" ${ARGN})
  if(A_SHARED)
    add_library(${name} SHARED ${A_SOURCES})
  else()
    add_library(${name} STATIC ${A_SOURCES})
  endif()
  scryde_target_defaults(${name})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

# scryde_add_test(<name> SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest executable; its cases are discovered when CTest runs, so the
# build itself never executes test code.
function(scryde_add_test name)
  if(NOT SCRYDE_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  scryde_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main)
  # Tests run beside the programs, so the class registry there is found without SCRYDE_CLASSES; the
  # test presets set SDL_AUDIODRIVER=dummy for the audio renderer.
  set(_props TIMEOUT 300)
  if(A_LABELS)
    list(APPEND _props LABELS "${A_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${SCRYDE_BIN_DIR}
    PROPERTIES ${_props})
endfunction()

# scryde_add_plugin(<name> SOURCES ... LIBS ...)
# A shared-library plug-in exporting DllGetClassObject, DllCanUnloadNow,
# DllRegisterServer and DllUnregisterServer. After each build it is registered
# into the build tree's class registry.
function(scryde_add_plugin name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${A_SOURCES})
  scryde_target_defaults(${name})
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden)
  target_link_libraries(${name} PRIVATE ${A_LIBS} platform)
  if(NOT SCRYDE_FUZZ)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env SCRYDE_CLASSES=${SCRYDE_BIN_DIR}/classes.reg
            $<TARGET_FILE:scryde-regsvr> $<TARGET_FILE:${name}>
    COMMENT "Registering ${name}"
    VERBATIM)
  add_dependencies(${name} scryde-regsvr)
  # Plug-ins of the product (not the tests' own) are installed and registered at install time.
  if(NOT CMAKE_CURRENT_SOURCE_DIR MATCHES "/tests$")
    set_property(GLOBAL APPEND PROPERTY SCRYDE_PLUGINS ${name})
  endif()
endfunction()
