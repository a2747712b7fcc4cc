# Install step: writes the class registry of the installed plug-ins into the private library folder.
# Each plug-in registers itself (DllRegisterServer, through the build's scryde-regsvr) into a fresh
# registry; the absolute module paths it records are then cut to file names, which the registry
# reader resolves against its own folder. Expects SCRYDE_REGSVR, SCRYDE_PRIVATE_LIBDIR and
# SCRYDE_PLUGIN_FILES.

set(_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${SCRYDE_PRIVATE_LIBDIR}")
set(_registry "${_dir}/classes.reg")
message(STATUS "Registering: ${_registry}")
file(REMOVE "${_registry}")
foreach(_module IN LISTS SCRYDE_PLUGIN_FILES)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env "SCRYDE_CLASSES=${_registry}" "${SCRYDE_REGSVR}" "${_dir}/${_module}"
    RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "Registering ${_module} failed (${_result})")
  endif()
endforeach()
file(READ "${_registry}" _text)
string(REGEX REPLACE "\nmodule=[^\n]*/" "\nmodule=" _text "${_text}")
file(WRITE "${_registry}" "${_text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_registry}")
