# Tests of the statistics block, the runtime and the C interface.
velmora_add_test(engine_runtime_unit_test LABEL unit
    SOURCES
        tests/engine_shared_state_test.cpp
        tests/engine_state_layout_test.c
    LIBS velmora_engine_core)
