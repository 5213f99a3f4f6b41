# The plug-in bundle VelmoraCoreAudio and its tests; included from this folder's CMakeLists.txt
# after the server core.

# Helpers for tests that start programs (shared with the statistics tool's tests).
if(VELMORA_BUILD_TESTS)
    add_library(velmora_test_support STATIC test_support/src/child_process.cpp)
    target_include_directories(velmora_test_support PUBLIC test_support/include)
    target_link_libraries(velmora_test_support PRIVATE velmora_options)
endif()
