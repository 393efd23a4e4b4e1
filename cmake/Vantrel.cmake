# Helpers shared by every library, program, test and fuzz target of the tree.

# vantrel_library(NAME DEPS... [EXCLUDE files...]): a static library from every .cpp of
# the current folder but those named in EXCLUDE (a program's main, for instance).
function(vantrel_library name)
  cmake_parse_arguments(A "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(x ${A_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${x})
  endforeach()
  if(NOT srcs)
    # A folder without sources makes an empty library, so that its users still link.
    set(empty ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${empty} "")
    set(srcs ${empty})
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src/lib)
  target_link_libraries(${name} PUBLIC ${A_DEPS} Threads::Threads)
endfunction()

# vantrel_tests(PREFIX DEPS...): one test program per *_test.cpp of the current folder.
# A test that starts threads (its own or the program's, or runs the programs as children)
# is labelled "threads": it runs under ThreadSanitizer as well and is built by the target
# thread_tests. A file named *_mt_test.cpp is such a test; the others are named in THREADS.
# Tests named in NOEMU are labelled "noemu": they are left out
# of the run under qemu-arm, each for the reason given beside it in the folder's list.
# ONLY takes just the tests named; EXCLUDE leaves the named ones out (two prefixes in one folder).
function(vantrel_tests prefix)
  cmake_parse_arguments(A "" "" "DEPS;NOEMU;ONLY;EXCLUDE;THREADS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(base ${t} NAME_WE)
    if((A_ONLY AND NOT base IN_LIST A_ONLY) OR base IN_LIST A_EXCLUDE)
      continue()
    endif()
    set(exe ${prefix}_${base})
    add_executable(${exe} ${t} $<TARGET_OBJECTS:vantrel_freshgates>)
    target_link_libraries(${exe} PRIVATE ${A_DEPS} vantrel_testkit GTest::gtest_main)
    add_test(NAME ${exe} COMMAND ${exe})
    set(labels ${prefix})
    if(base MATCHES "_mt_test$" OR base IN_LIST A_THREADS)
      list(APPEND labels threads)
      add_dependencies(thread_tests ${exe})
    endif()
    if(base IN_LIST A_NOEMU)
      list(APPEND labels noemu)
    endif()
    set_tests_properties(${exe} PROPERTIES LABELS "${labels}" TIMEOUT 300)
  endforeach()
endfunction()
