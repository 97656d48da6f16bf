# The fuzzers' seed corpus in fuzz/seeds is made by our own writer, with the
# test item module; included by tests/CMakeLists.txt. Regenerate it with
#   build/default/tests/kwmakeseeds fuzz/seeds build/default/tests/components/libkwtest_persistent_items.so
# The test only checks that every seed can still be made and read back.
if(NOT KWCORE_TSAN_TESTS_ONLY)
  add_executable(kwmakeseeds ${PROJECT_SOURCE_DIR}/fuzz/kwMakeSeeds.cpp)
  target_link_libraries(kwmakeseeds PRIVATE kwcore)
  kw_warnings(kwmakeseeds)
  add_dependencies(kwmakeseeds kwtest_persistent_items)
  add_test(NAME fuzz_seeds_made_by_our_writer
           COMMAND kwmakeseeds ${CMAKE_CURRENT_BINARY_DIR}/seeds
                   $<TARGET_FILE:kwtest_persistent_items>)
endif()
