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
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600)
endfunction()
