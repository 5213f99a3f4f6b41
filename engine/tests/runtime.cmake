# Tests of the statistics block, the runtime and the C interface.
velmora_add_test(engine_runtime_unit_test LABEL unit
    SOURCES
        tests/engine_shared_state_test.cpp
        tests/engine_state_layout_test.c
        tests/example_configs_test.cpp
    LIBS velmora_engine_core)
if(TARGET engine_runtime_unit_test)
    target_compile_definitions(engine_runtime_unit_test PRIVATE VELMORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()

# The runtime's state machine against a scripted server on 127.0.0.1 (threads, sockets, timing).
velmora_add_test(engine_runtime_test LABEL integration
    SOURCES tests/engine_runtime_test.cpp
    LIBS velmora_engine_core)

# The audio hand-off under load: resyncs and recoveries while blocks stream. Run it in a
# -DVELMORA_TSAN=ON build to have ThreadSanitizer check it.
velmora_add_test(engine_runtime_stress_test LABEL integration
    SOURCES tests/engine_runtime_stress_test.cpp
    LIBS velmora_engine_audio_test_support velmora_engine_core)

# The loadable library through dlopen, as a host uses it.
velmora_add_test(engine_c_interface_test LABEL integration
    SOURCES tests/engine_c_interface_test.cpp
    LIBS velmora_protocol velmora_engine_api ${CMAKE_DL_LIBS})
if(TARGET engine_c_interface_test)
    target_compile_definitions(engine_c_interface_test PRIVATE VELMORA_ENGINE_LIBRARY="$<TARGET_FILE:VelmoraEngine>")
    add_dependencies(engine_c_interface_test VelmoraEngine)
endif()
