# One GoogleTest program and its CTest entry:
#
#   tavrix_test_program(<test> [PROGRAM <target>]
#                       [FOLDER <dir> | SOURCES <file>...]
#                       [LINK <library>...] [ARGS <argument>...]
#                       [TIMEOUT <seconds>])
#
# PROGRAM defaults to <test>_tests; without SOURCES every *.cpp of FOLDER
# (default: the current source folder) is compiled. ARGS go to the program's
# command line (a --gtest_filter, say); TIMEOUT defaults to 600.
function(tavrix_test_program test)
  cmake_parse_arguments(T "" "PROGRAM;FOLDER;TIMEOUT" "SOURCES;LINK;ARGS"
                        ${ARGN})
  if(NOT T_PROGRAM)
    set(T_PROGRAM ${test}_tests)
  endif()
  if(NOT T_FOLDER)
    set(T_FOLDER ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  if(NOT T_SOURCES)
    file(GLOB T_SOURCES CONFIGURE_DEPENDS ${T_FOLDER}/*.cpp)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_executable(${T_PROGRAM} ${T_SOURCES})
  target_link_libraries(${T_PROGRAM} PRIVATE ${T_LINK} GTest::gtest
                        GTest::gtest_main)
  add_test(NAME ${test} COMMAND ${T_PROGRAM} ${T_ARGS})
  set_tests_properties(${test} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# One program per subfolder of the current source folder that has *.cpp
# files: test <prefix><folder>, program <prefix><folder>_tests. A subfolder
# with its own CMakeLists.txt builds itself; those named in EXCEPT are left
# out. LINK is what every program links.
#
#   tavrix_test_folders([PREFIX <prefix>] [EXCEPT <folder>...]
#                       [LINK <library>...])
function(tavrix_test_folders)
  cmake_parse_arguments(F "" "PREFIX" "EXCEPT;LINK" ${ARGN})
  file(GLOB areas LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(area ${areas})
    set(dir ${CMAKE_CURRENT_SOURCE_DIR}/${area})
    if(NOT IS_DIRECTORY ${dir} OR area IN_LIST F_EXCEPT)
      continue()
    endif()
    if(EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${area})
      continue()
    endif()
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(srcs)
      tavrix_test_program(${F_PREFIX}${area} SOURCES ${srcs} LINK ${F_LINK})
    endif()
  endforeach()
endfunction()
