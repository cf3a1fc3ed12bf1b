# Application bundles in the build tree, laid out as the system expects them:
#   Zavro Pellora.app/Contents/{Info.plist, MacOS/Zavro Pellora, Resources/,
#     Library/LoginItems/Zavro Pellora Service.app/Contents/{..., PlugIns/PelloraFinder.appex}}

set(PELLORA_BUNDLES "${CMAKE_BINARY_DIR}/bundles")
set(PELLORA_APP_BUNDLE "${PELLORA_BUNDLES}/Zavro Pellora.app")
set(PELLORA_SERVICE_BUNDLE "${PELLORA_APP_BUNDLE}/Contents/Library/LoginItems/Zavro Pellora Service.app")
set(PELLORA_EXTENSION_BUNDLE "${PELLORA_SERVICE_BUNDLE}/Contents/PlugIns/PelloraFinder.appex")
set(PELLORA_BUILD_NUMBER 1 CACHE STRING "CFBundleVersion of the bundles")
# The icon theme folder of the build (tools/icon-theme): the stub emblem and the application's
# icon, laid out as under <prefix>/share/icons/hicolor, so that XDG_DATA_DIRS=<build>/share finds
# them before an install.
set(PELLORA_ICON_THEME "${CMAKE_BINARY_DIR}/share/icons/hicolor")

# Software updates of the application: the appcast it reads and the public half of the key its
# archives are signed with (update-signer generate-keys prints it). Without a key the updater
# stays off: every check ends at once.
set(PELLORA_UPDATE_FEED_URL "https://downloads.zavro.com/pellora/appcast.xml" CACHE STRING
  "UpdaterFeedURL of the application bundle")
set(PELLORA_UPDATE_PUBLIC_KEY "" CACHE STRING "UpdaterPublicEDKey of the application bundle")

# Info.plist keys of the application beyond the common ones: it starts as a background
# process without a window (LSUIElement) and turns regular once the service is settled.
set(PELLORA_APP_INFO_KEYS LSUIElement true UpdaterFeedURL "${PELLORA_UPDATE_FEED_URL}")
if(PELLORA_UPDATE_PUBLIC_KEY)
  list(APPEND PELLORA_APP_INFO_KEYS UpdaterPublicEDKey "${PELLORA_UPDATE_PUBLIC_KEY}")
endif()

# pellora_info_plist(BUNDLE <dir> IDENTIFIER <id> EXECUTABLE <name> [PACKAGE_TYPE APPL|XPC!]
#                    [KEYS <key> <value> ...])
function(pellora_info_plist)
  cmake_parse_arguments(P "" "BUNDLE;IDENTIFIER;EXECUTABLE;PACKAGE_TYPE" "KEYS" ${ARGN})
  if(NOT P_PACKAGE_TYPE)
    set(P_PACKAGE_TYPE APPL)
  endif()
  set(entries "")
  set(keys
    CFBundleIdentifier "${P_IDENTIFIER}"
    CFBundleExecutable "${P_EXECUTABLE}"
    CFBundleName "${P_EXECUTABLE}"
    CFBundlePackageType "${P_PACKAGE_TYPE}"
    CFBundleShortVersionString "${PROJECT_VERSION}"
    CFBundleVersion "${PELLORA_BUILD_NUMBER}"
    ${P_KEYS})
  list(LENGTH keys count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET keys ${i} key)
    list(GET keys ${j} value)
    string(APPEND entries "  <key>${key}</key>\n  <string>${value}</string>\n")
  endforeach()
  file(WRITE "${P_BUNDLE}/Contents/Info.plist"
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n<dict>\n${entries}</dict>\n</plist>\n")
endfunction()

# pellora_bundle_executable(TARGET <target> BUNDLE <dir> EXECUTABLE <name> [RESOURCES <files>...])
# Builds the target straight into <dir>/Contents/MacOS/<name> and copies the resources into
# <dir>/Contents/Resources whenever they change.
function(pellora_bundle_executable)
  cmake_parse_arguments(B "" "TARGET;BUNDLE;EXECUTABLE" "RESOURCES" ${ARGN})
  set_target_properties(${B_TARGET} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${B_BUNDLE}/Contents/MacOS"
    OUTPUT_NAME "${B_EXECUTABLE}")
  foreach(resource IN LISTS B_RESOURCES)
    get_filename_component(name "${resource}" NAME)
    get_filename_component(parent "${resource}" DIRECTORY)
    get_filename_component(parentName "${parent}" NAME)
    # Localised tables keep their .lproj folder.
    if(parentName MATCHES "\\.lproj$")
      set(name "${parentName}/${name}")
    endif()
    set(out "${B_BUNDLE}/Contents/Resources/${name}")
    add_custom_command(OUTPUT "${out}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${resource}" "${out}"
      DEPENDS "${resource}" VERBATIM)
    list(APPEND outputs "${out}")
  endforeach()
  if(outputs)
    add_custom_target(${B_TARGET}_resources DEPENDS ${outputs})
    add_dependencies(${B_TARGET} ${B_TARGET}_resources)
  endif()
endfunction()
