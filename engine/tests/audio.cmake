# Test doubles and the offline drift simulation, shared by the audio tests and the drift report.
add_library(velmora_engine_audio_test_support STATIC
    tests/drift_simulation.cpp)
target_include_directories(velmora_engine_audio_test_support PUBLIC tests)
target_link_libraries(velmora_engine_audio_test_support PUBLIC velmora_engine_core PRIVATE velmora_options)

velmora_add_test(velmora_asio_player_test LABEL unit
    SOURCES tests/asio_player_test.cpp
    LIBS velmora_engine_audio_test_support velmora_engine_core velmora_counting_allocator ${CMAKE_DL_LIBS})
velmora_add_test(velmora_drift_tracking_test LABEL unit
    SOURCES tests/drift_tracking_test.cpp
    LIBS velmora_engine_audio_test_support velmora_engine_core)
# Fails chosen HAL calls by defining them in the test program, which works against the stand-in
# HAL (a shared library) only.
if(TARGET velmora_macos_compat)
    velmora_add_test(velmora_core_audio_device_test LABEL unit
        SOURCES tests/core_audio_device_test.cpp
        LIBS velmora_engine_core ${CMAKE_DL_LIBS})
endif()
