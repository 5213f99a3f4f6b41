// The engine library as a host loads it: by path, five functions resolved by name.
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include <dlfcn.h>

namespace {

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
        // Nothing of the C++ inside is exported.
        EXPECT_EQ(::dlsym(handle_, "_ZN13EngineRuntime4stopEv"), nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            ::dlclose(handle_);
        }
    }
    unsigned status(void* engine) const {
        VelmoraEngineState state;
        return get_state(engine, &state) == 1 ? state.status : 99u;
    }

    void* handle_ = nullptr;
    void* (*create)() = nullptr;
    int (*start)(void*, const char*) = nullptr;
    void (*stop)(void*) = nullptr;
    void (*destroy)(void*) = nullptr;
    int (*get_state)(void*, VelmoraEngineState*) = nullptr;
};

TEST_F(EngineLibrary, OneEnginePerProcessAndNullArgumentsRefused) {
    void* engine = create();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(create(), nullptr);
    VelmoraEngineState s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(get_state(engine, &s), 1);
    EXPECT_EQ(
        std::vector<unsigned>({s.abi_version, s.status, s.health, s.recovery_event_capacity,
                               s.recovery_event_count, s.input_level_count, s.output_level_count}),
        std::vector<unsigned>({5, velmora_engine_status_idle, velmora_engine_health_inactive, 8, 0, 0, 0}));
    EXPECT_EQ(s.recovery_events[7].sequence, 0u);
    EXPECT_EQ(get_state(engine, nullptr), 0);
    EXPECT_EQ(get_state(nullptr, &s), 0);
    EXPECT_EQ(start(nullptr, "/tmp/x.ini"), 0);
    EXPECT_EQ(start(engine, ""), 0);
    ASSERT_EQ(get_state(engine, &s), 1);
    EXPECT_EQ(s.last_error_code, velmora_engine_error_config_path_empty);
    stop(nullptr);
    destroy(nullptr);
    destroy(engine);
    void* again = create();
    EXPECT_NE(again, nullptr) << "create, destroy, create again";
    destroy(again);
}

TEST_F(EngineLibrary, StateCanBeReadWhileTheEngineStartsRunsAndStops) {
    const std::uint32_t id = unique_client_id();
    StreamingServer server(id);
    ConfigFile config(ConfigSpec{id, server.port()});
    server.start_streaming();
    void* engine = create();
    ASSERT_NE(engine, nullptr);
    std::atomic<bool> reading{true};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        VelmoraEngineState state;
        while (reading) {
            torn += get_state(engine, &state) != 1 || state.abi_version != 5 ||
                    state.recovery_event_capacity != 8;
        }
    });
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(start(engine, config.path().c_str()), 1);
        EXPECT_EQ(start(engine, config.path().c_str()), 0) << "already running";
        EXPECT_TRUE(wait_for([&] { return status(engine) == velmora_engine_status_running; }));
        stop(engine);
    }
    reading = false;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(status(engine), velmora_engine_status_stopped);
    destroy(engine);
}

} // namespace
