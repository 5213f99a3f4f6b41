# The plug-in bundle VelmoraCoreAudio and its tests; included from this folder's CMakeLists.txt
# after the server core.

# Helpers for tests that start programs (shared with the statistics tool's tests).
if(VELMORA_BUILD_TESTS)
    add_library(velmora_test_support STATIC test_support/src/child_process.cpp)
    target_include_directories(velmora_test_support PUBLIC test_support/include)
    target_link_libraries(velmora_test_support PRIVATE velmora_options)
endif()

# The driver: objects and properties, device clock, host clients and IO, over the server core.
add_library(velmora_coreaudio_plugin STATIC
    src/plugin_object_model.cpp
    src/device_clock.cpp
    src/core_audio_plugin_driver.cpp)
target_include_directories(velmora_coreaudio_plugin PUBLIC include)
target_link_libraries(velmora_coreaudio_plugin PRIVATE velmora_options PUBLIC velmora_server_core velmora_apple)

if(VELMORA_BUILD_TESTS)
    velmora_add_test(velmora_plugin_driver_test LABEL unit
        SOURCES
            plugin_tests/plugin_property_test.cpp
            plugin_tests/plugin_driver_test.cpp
        LIBS velmora_coreaudio_plugin velmora_test_support)
endif()

if(VELMORA_BUILD_TESTS)
    # Replaces the global operator new, so it has a binary of its own.
    velmora_add_test(velmora_plugin_io_allocation_test LABEL unit
        SOURCES plugin_tests/plugin_io_allocation_test.cpp
        LIBS velmora_coreaudio_plugin velmora_test_support)
endif()
