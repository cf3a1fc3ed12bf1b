# Helpers shared by every folder's CMakeLists.

# pellora_test(NAME <binary> LIBS <libs...> SOURCES <files...> [LABELS <labels...>])
# One GoogleTest binary per library; CTest sees it as one test so that labels select it.
function(pellora_test)
  cmake_parse_arguments(T "" "NAME" "LIBS;SOURCES;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} pellora_testing GTest::gmock_main GTest::gmock GTest::gtest)
  if("e2e" IN_LIST T_LABELS)
    # Multi-process tests run in namespaces of their own (see tests/isolated.sh).
    add_test(NAME ${T_NAME}
      COMMAND ${PROJECT_SOURCE_DIR}/tests/isolated.sh $<TARGET_FILE:${T_NAME}> --gtest_color=no)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600)
endfunction()

# pellora_program_version(<target>): the project's version as PELLORA_VERSION, for the
# program's --version.
function(pellora_program_version target)
  target_compile_definitions(${target} PRIVATE PELLORA_VERSION="${PROJECT_VERSION}")
endfunction()
