// The engine library as a host loads it: by path, five functions resolved by name.
#include "runtime_test_support.h"

#include <velmora/engine/velmora_engine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <dlfcn.h>

namespace {

using namespace std::chrono_literals;
using namespace VelmoraRuntimeTest;

class EngineLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = ::dlopen(VELMORA_ENGINE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << ::dlerror();
        create = reinterpret_cast<decltype(create)>(::dlsym(handle_, "velmora_engine_create"));
        start = reinterpret_cast<decltype(start)>(::dlsym(handle_, "velmora_engine_start_from_config"));
        stop = reinterpret_cast<decltype(stop)>(::dlsym(handle_, "velmora_engine_stop"));
        destroy = reinterpret_cast<decltype(destroy)>(::dlsym(handle_, "velmora_engine_destroy"));
        get_state = reinterpret_cast<decltype(get_state)>(::dlsym(handle_, "velmora_engine_get_state"));
        ASSERT_TRUE(create && start && stop && destroy && get_state);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            ::dlclose(handle_);
        }
    }

    void* handle_ = nullptr;
    void* (*create)() = nullptr;
    int (*start)(void*, const char*) = nullptr;
    void (*stop)(void*) = nullptr;
    void (*destroy)(void*) = nullptr;
    int (*get_state)(void*, VelmoraEngineState*) = nullptr;
};

TEST_F(EngineLibrary, ExportsOnlyTheCInterface) {
    EXPECT_EQ(::dlsym(handle_, "_ZN13EngineRuntime4stopEv"), nullptr);
    EXPECT_EQ(::dlsym(handle_, "_ZN17EngineSharedState8shutdownEv"), nullptr);
}

TEST_F(EngineLibrary, OneEnginePerProcess) {
    void* engine = create();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(create(), nullptr);

    VelmoraEngineState state;
    std::memset(&state, 0xAB, sizeof state);
    ASSERT_EQ(get_state(engine, &state), 1);
    EXPECT_EQ(state.abi_version, 5u);
    EXPECT_EQ(state.status, velmora_engine_status_idle);
    EXPECT_EQ(state.health, velmora_engine_health_inactive);
    EXPECT_EQ(state.recovery_event_capacity, 8u);
    EXPECT_EQ(state.recovery_event_count, 0u);
    EXPECT_EQ(state.input_level_count, 0u);
    EXPECT_EQ(state.output_level_count, 0u);
    EXPECT_EQ(state.recovery_events[7].sequence, 0u);

    EXPECT_EQ(get_state(engine, nullptr), 0);
    EXPECT_EQ(get_state(nullptr, &state), 0);
    EXPECT_EQ(start(nullptr, "/tmp/x.ini"), 0);
    EXPECT_EQ(start(engine, nullptr), 0);
    EXPECT_EQ(start(engine, ""), 0);
    ASSERT_EQ(get_state(engine, &state), 1);
    EXPECT_EQ(state.last_error_code, velmora_engine_error_config_path_empty);
    stop(nullptr);
    destroy(nullptr);

    stop(engine);
    destroy(engine);
    void* again = create();
    EXPECT_NE(again, nullptr) << "create, destroy, create again";
    destroy(again);
}

TEST_F(EngineLibrary, StateCanBeReadWhileTheEngineStartsRunsAndStops) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(ConfigSpec(id, server.port()));
    server.start_streaming();
    void* engine = create();
    ASSERT_NE(engine, nullptr);

    std::atomic<bool> reading{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        VelmoraEngineState state;
        while (reading) {
            if (get_state(engine, &state) != 1 || state.abi_version != 5 ||
                state.recovery_event_capacity != 8) {
                ++torn;
            }
        }
    });
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(start(engine, config.path().c_str()), 1);
        EXPECT_EQ(start(engine, config.path().c_str()), 0) << "already running";
        EXPECT_TRUE(wait_for([&] {
            VelmoraEngineState state;
            get_state(engine, &state);
            return state.status == velmora_engine_status_running;
        }));
        stop(engine);
    }
    reading = false;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    VelmoraEngineState state;
    get_state(engine, &state);
    EXPECT_EQ(state.status, velmora_engine_status_stopped);
    destroy(engine);
}

} // namespace
