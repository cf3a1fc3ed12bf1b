# The Nautilus adapter's install step (tools/nautilus). Nautilus loads modules from its own
# folder only, outside any prefix: the module goes there when the install may write it (as
# root, or staged under DESTDIR); an install without that right says so and goes on without the
# adapter, as an install into a user's prefix does.

# Its own policy scope (an included script): the project's policies.
cmake_policy(VERSION 3.25)

set(existing "$ENV{DESTDIR}${PELLORA_INSTALL_NAUTILUS_DIR}")
while(NOT EXISTS "${existing}")
  get_filename_component(existing "${existing}" DIRECTORY)
endwhile()
execute_process(COMMAND test -w "${existing}" RESULT_VARIABLE readOnly)
if(readOnly)
  message(STATUS "Not installing the Nautilus adapter: ${existing} is not writable (install as root for it)")
else()
  file(INSTALL DESTINATION "${PELLORA_INSTALL_NAUTILUS_DIR}" TYPE MODULE FILES "${PELLORA_INSTALL_NAUTILUS_MODULE}")
endif()
