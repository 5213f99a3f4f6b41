# The plug-in bundle VelmoraCoreAudio and its tests; included from this folder's CMakeLists.txt
# after the server core.

# The driver: objects and properties, device clock, host clients and IO, over the server core.
add_library(velmora_coreaudio_plugin STATIC
    src/plugin_object_model.cpp
    src/device_clock.cpp
    src/core_audio_plugin_driver.cpp
    src/network_server_control.cpp)
target_include_directories(velmora_coreaudio_plugin PUBLIC include)
target_link_libraries(velmora_coreaudio_plugin PRIVATE velmora_options PUBLIC velmora_server_core velmora_apple)

# The bundle the audio server loads: VelmoraCoreAudio.driver/Contents/Info.plist names the factory,
# Contents/MacOS/VelmoraCoreAudio holds the code, which exports the factory alone.
set(VELMORA_BUNDLE_DIR ${CMAKE_BINARY_DIR}/bin/VelmoraCoreAudio.driver)
add_library(VelmoraCoreAudio MODULE src/coreaudio_plugin_skeleton.cpp)
target_link_libraries(VelmoraCoreAudio PRIVATE velmora_coreaudio_plugin velmora_options)
set_target_properties(VelmoraCoreAudio PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
configure_file(bundle/Info.plist.in ${CMAKE_CURRENT_BINARY_DIR}/Info.plist @ONLY)
if(APPLE)
    set_target_properties(VelmoraCoreAudio PROPERTIES
        BUNDLE TRUE
        BUNDLE_EXTENSION driver
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    target_link_options(VelmoraCoreAudio PRIVATE -Wl,-exported_symbol,_AudioServerPlugInFactory)
    add_custom_command(TARGET VelmoraCoreAudio POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/Info.plist
            $<TARGET_BUNDLE_CONTENT_DIR:VelmoraCoreAudio>/Info.plist)
else()
    set_target_properties(VelmoraCoreAudio PROPERTIES
        PREFIX ""
        SUFFIX ""
        LIBRARY_OUTPUT_DIRECTORY ${VELMORA_BUNDLE_DIR}/Contents/MacOS)
    target_link_options(VelmoraCoreAudio PRIVATE
        -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/bundle/exports.map)
    set_property(TARGET VelmoraCoreAudio APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bundle/exports.map)
    add_custom_command(TARGET VelmoraCoreAudio POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/Info.plist ${VELMORA_BUNDLE_DIR}/Contents/Info.plist)
endif()

# The stand-in audio server loads the bundle from its own folder.
if(TARGET velmora_server)
    add_dependencies(velmora_server VelmoraCoreAudio)
endif()

if(VELMORA_BUILD_TESTS)
    velmora_add_test(velmora_plugin_driver_test LABEL unit
        SOURCES
            plugin_tests/plugin_property_test.cpp
            plugin_tests/plugin_driver_test.cpp
        LIBS velmora_coreaudio_plugin velmora_test_support velmora_counting_allocator)

    # A load for measurements: client engines reduced to announcing and answering syncs.
    add_executable(velmora_test_clients tools/test_clients.cpp)
    target_link_libraries(velmora_test_clients PRIVATE velmora_udp_test_client velmora_options Threads::Threads)
endif()

# Where the stand-in audio server exists: the bundle as it loads it, and the programs together.
# Both use the product's fixed statistics record name, hence the lock.
if(VELMORA_BUILD_TESTS AND TARGET velmora_server)
    velmora_add_test(velmora_plugin_bundle_test LABEL integration
        SOURCES plugin_tests/plugin_bundle_test.cpp
        LIBS velmora_audio_server_host velmora_udp_test_client velmora_server_core velmora_test_support
        RESOURCE_LOCK velmora_debug_stats)
    target_compile_definitions(velmora_plugin_bundle_test PRIVATE VELMORA_BUNDLE_PATH="${VELMORA_BUNDLE_DIR}")
    add_dependencies(velmora_plugin_bundle_test VelmoraCoreAudio)

    velmora_add_test(velmora_server_process_test LABEL integration
        SOURCES plugin_tests/server_process_test.cpp
        LIBS velmora_test_support velmora_udp_test_client
        RESOURCE_LOCK velmora_debug_stats)
    target_compile_definitions(velmora_server_process_test PRIVATE
        VELMORA_SERVER_PATH="$<TARGET_FILE:velmora_server>"
        VELMORA_DEBUG_TOOL_PATH="$<TARGET_FILE:velmora_macos_debug>")
    add_dependencies(velmora_server_process_test velmora_server velmora_macos_debug VelmoraCoreAudio)
endif()
