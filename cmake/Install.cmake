# What `cmake --install` puts where (DESTDIR stages all of it):
#   <applications>/Zavro Pellora.app       the application bundle as a whole, the service's
#                                           bundle and the Finder extension inside it
#   <prefix>/bin/                           pellora, finder (the Finder stand-in), gateway-sim,
#                                           pluginkit -> ../libexec/pellora/pluginkit
#   <prefix>/libexec/pellora/pluginkit      the plug-in tool where the programs look for it
#                                           (platform/plugins/PluginTool.h)
#   <prefix>/share/applications/com.zavro.Pellora.desktop   the application's launcher
#   <prefix>/share/icons/hicolor/           emblem-pellora-stub and com.zavro.Pellora, PNG and SVG
#   <prefix>/share/pellora/                 install-manifest.txt and uninstall.cmake
# and the Nautilus adapter where Nautilus loads modules (tools/nautilus).
#
# <applications> is the programs' own applications folder (platform/paths/Paths.h):
# PELLORA_APPLICATIONS_DIR when it is set while installing, else /Applications. A folder other
# than /Applications needs the same variable in the users' sessions too, or the service's
# version check looks for the application in /Applications.
#
# Included last by the top-level CMakeLists: it installs targets of every folder, and its final
# step writes the manifest of everything installed before it.

install(TARGETS finder gateway-sim RUNTIME DESTINATION bin)
if(TARGET pellora)
  install(TARGETS pellora RUNTIME DESTINATION bin)
endif()
install(TARGETS pluginkit RUNTIME DESTINATION libexec/pellora)
install(DIRECTORY "${PELLORA_ICON_THEME}" DESTINATION share/icons)

# The bundle, the launcher, the plug-in tool's link on PATH and the manifest are written at
# install time: the applications folder is only known then.
install(CODE "
  set(PELLORA_INSTALL_BUNDLE [==[${PELLORA_APP_BUNDLE}]==])
  set(PELLORA_INSTALL_EXECUTABLE [==[Zavro Pellora]==])
  set(PELLORA_INSTALL_VERSION [==[${PROJECT_VERSION}]==])
  set(PELLORA_INSTALL_UNINSTALLER [==[${PROJECT_SOURCE_DIR}/cmake/Uninstall.cmake]==])
")
install(SCRIPT "${CMAKE_CURRENT_LIST_DIR}/InstallApplications.cmake")

# Everything the install copies, for what must be built before it (the install test).
add_custom_target(pellora-installables)
add_dependencies(pellora-installables finder gateway-sim pluginkit pellora-icons
  pellora-app pellora-service pellora-finder-extension)
foreach(optional pellora pellora-nautilus)
  if(TARGET ${optional})
    add_dependencies(pellora-installables ${optional})
  endif()
endforeach()

# The installation at this build's prefix, as its manifest lists it.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DPELLORA_PREFIX=${CMAKE_INSTALL_PREFIX} -P ${CMAKE_CURRENT_LIST_DIR}/Uninstall.cmake
  VERBATIM)
