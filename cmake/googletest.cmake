# GoogleTest for the test programs (targets GTest::gtest and GTest::gtest_main): the
# installed package (libgtest-dev) where it can be linked, otherwise built from the
# Debian sources (googletest) with this build's compiler and flags. A cross build
# always builds it: the host's library cannot link into a Windows program.
option(RIVU_GOOGLETEST_FROM_SOURCE "Build googletest from its sources even where the installed package would do" OFF)
set(RIVU_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "googletest sources, used when the installed package is not")

function(rivu_add_googletest)
  if(NOT CMAKE_CROSSCOMPILING AND NOT RIVU_GOOGLETEST_FROM_SOURCE)
    find_package(GTest QUIET)
    if(GTest_FOUND AND TARGET GTest::gtest AND TARGET GTest::gtest_main)
      message(STATUS "googletest: the installed package ${GTest_VERSION}")
      return()
    endif()
  endif()
  if(NOT EXISTS ${RIVU_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "googletest not found: install libgtest-dev or googletest (tools/install-deps.sh), "
                        "or set RIVU_GOOGLETEST_SOURCE_DIR")
  endif()
  message(STATUS "googletest: built from ${RIVU_GOOGLETEST_SOURCE_DIR}")
  # Its own warnings are not ours to fix (this scope ends with the function).
  set(CMAKE_COMPILE_WARNING_AS_ERROR OFF)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${RIVU_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endfunction()
rivu_add_googletest()
