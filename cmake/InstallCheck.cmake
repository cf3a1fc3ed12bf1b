# The first step of `cmake --install` (the top-level CMakeLists installs it before every
# folder): the applications folder of this install, checked before anything is copied, as
# PELLORA_INSTALL_APPLICATIONS for cmake/InstallApplications.cmake. The rule is the programs'
# own (platform/paths/Paths.h): PELLORA_APPLICATIONS_DIR when set, else /Applications.

# Its own policy scope (an included script): the project's policies.
cmake_policy(VERSION 3.25)

set(PELLORA_INSTALL_APPLICATIONS "$ENV{PELLORA_APPLICATIONS_DIR}")
if(PELLORA_INSTALL_APPLICATIONS STREQUAL "")
  set(PELLORA_INSTALL_APPLICATIONS "/Applications")
endif()
if(NOT IS_ABSOLUTE "${PELLORA_INSTALL_APPLICATIONS}")
  message(FATAL_ERROR "PELLORA_APPLICATIONS_DIR must be an absolute path: ${PELLORA_INSTALL_APPLICATIONS}")
endif()
string(REGEX REPLACE "(.)/+$" "\\1" PELLORA_INSTALL_APPLICATIONS "${PELLORA_INSTALL_APPLICATIONS}")
# CMake splits lists at ";" and takes "\" for "/" when it installs; the manifest has a path
# per line.
foreach(path IN ITEMS "${PELLORA_INSTALL_APPLICATIONS}" "${CMAKE_INSTALL_PREFIX}")
  if(path MATCHES "[;\\\n]")
    message(FATAL_ERROR "Pellora cannot be installed under a path with \";\", \"\\\" or a line break: ${path}")
  endif()
endforeach()
