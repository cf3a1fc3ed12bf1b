# The install-time part of cmake/Install.cmake, run by `cmake --install` after the files of
# every folder: the application bundle into the applications folder, its desktop launcher, the
# plug-in tool's link on PATH, and the manifest that cmake/Uninstall.cmake reads.
# Paths given to file(INSTALL) are final ones: it puts DESTDIR before them itself.

# Its own policy scope (an included script): the project's policies.
cmake_policy(VERSION 3.25)

set(destdir "$ENV{DESTDIR}")
set(prefix "${CMAKE_INSTALL_PREFIX}")

# A file made here, written straight into its place: the build tree may not be writable for
# the install, and file(INSTALL) would take a file made within the same second as the one an
# earlier install left for up to date.
function(pellora_install_text path text)
  message(STATUS "Installing: ${destdir}${path}")
  file(WRITE "${destdir}${path}" "${text}")
  file(CHMOD "${destdir}${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} "${path}" PARENT_SCOPE)
endfunction()

# The applications folder, checked by cmake/InstallCheck.cmake before anything was copied.
if(NOT DEFINED PELLORA_INSTALL_APPLICATIONS)
  include("${CMAKE_CURRENT_LIST_DIR}/InstallCheck.cmake")
endif()
set(apps "${PELLORA_INSTALL_APPLICATIONS}")

# A manifest of an earlier install at this prefix: what it listed and is still there is listed
# again, so that an uninstall also finds the files of older versions.
set(manifest "${prefix}/share/pellora/install-manifest.txt")
set(listed "")
if(EXISTS "${destdir}${manifest}")
  file(STRINGS "${destdir}${manifest}" earlier)
  foreach(line IN LISTS earlier)
    if(NOT line MATCHES "^(file|bundle) (/.*)$")
      continue()
    endif()
    set(path "${destdir}${CMAKE_MATCH_2}")
    if(EXISTS "${path}" OR IS_SYMLINK "${path}")
      list(APPEND listed "${line}")
    endif()
  endforeach()
endif()

# The bundle replaces an earlier one as a whole: no file of another version stays inside.
get_filename_component(bundleName "${PELLORA_INSTALL_BUNDLE}" NAME)
set(bundle "${apps}/${bundleName}")
message(STATUS "Installing: ${destdir}${bundle}")
file(REMOVE_RECURSE "${destdir}${bundle}")
file(INSTALL "${PELLORA_INSTALL_BUNDLE}" DESTINATION "${apps}" USE_SOURCE_PERMISSIONS MESSAGE_NEVER)
list(APPEND listed "bundle ${bundle}")

# The plug-in tool on PATH is a link to the one the programs find.
set(link "${prefix}/bin/pluginkit")
message(STATUS "Installing: ${destdir}${link}")
file(MAKE_DIRECTORY "${destdir}${prefix}/bin")
file(CREATE_LINK "../libexec/pellora/pluginkit" "${destdir}${link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")

# The desktop launcher. Exec quotes the program's path and escapes, inside the quotes, what the
# quoting rule reserves (the path holds no backslash); then the string type's escape doubles
# every backslash, and "%" is written "%%" (a literal percent, not a field code).
set(program "${bundle}/Contents/MacOS/${PELLORA_INSTALL_EXECUTABLE}")
string(REPLACE "\"" "\\\"" quoted "${program}")
string(REPLACE "`" "\\`" quoted "${quoted}")
string(REPLACE "$" "\\$" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
string(REPLACE "\\" "\\\\" exec "\"${quoted}\"")
string(CONCAT launcher
  "[Desktop Entry]\n"
  "Type=Application\n"
  "Name=Zavro Pellora\n"
  "GenericName=Gateway share add-on\n"
  "Comment=Stub badges, bring-online and preview control for the shares of the caching file gateway\n"
  "Icon=com.zavro.Pellora\n"
  "TryExec=${program}\n"
  "Exec=${exec}\n"
  "Terminal=false\n"
  "Categories=Utility;FileTools;\n")
pellora_install_text("${prefix}/share/applications/com.zavro.Pellora.desktop" "${launcher}")

# The uninstaller beside the manifest, so that an installation can be removed without the
# source tree. The manifest lists itself last.
file(INSTALL "${PELLORA_INSTALL_UNINSTALLER}" DESTINATION "${prefix}/share/pellora"
  RENAME uninstall.cmake)
foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  string(FIND "${file}" "${bundle}/" inBundle)
  if(NOT inBundle EQUAL 0)
    list(APPEND listed "file ${file}")
  endif()
endforeach()
list(APPEND listed "file ${manifest}")
list(REMOVE_DUPLICATES listed)
string(REPLACE ";" "\n" lines "${listed}")
string(CONCAT text
  "# Zavro Pellora ${PELLORA_INSTALL_VERSION}. Remove it with: cmake -P ${prefix}/share/pellora/uninstall.cmake\n"
  "prefix ${prefix}\n"
  "${lines}\n")
pellora_install_text("${manifest}" "${text}")
