# Tests of the statistics block, the runtime and the C interface.
velmora_add_test(engine_runtime_unit_test LABEL unit
    SOURCES
        tests/engine_shared_state_test.cpp
        tests/engine_state_layout_test.c
    LIBS velmora_engine_core)

# The runtime's state machine against a scripted server on 127.0.0.1 (threads, sockets, timing).
velmora_add_test(engine_runtime_test LABEL integration
    SOURCES tests/engine_runtime_test.cpp
    LIBS velmora_engine_core)

# The audio hand-off under load: resyncs and recoveries while blocks stream. Run it in a
# -DVELMORA_TSAN=ON build to have ThreadSanitizer check it.
velmora_add_test(engine_runtime_stress_test LABEL integration
    SOURCES tests/engine_runtime_stress_test.cpp
    LIBS velmora_engine_core)
