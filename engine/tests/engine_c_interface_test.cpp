// The engine library as a host loads it: by path, five functions resolved by name. Reading the
// state while the engine starts, runs and stops is stressed on the runtime itself, and the library
// runs end to end under the host program.
#include <velmora/engine/velmora_engine.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <dlfcn.h>

namespace {

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
    stop(nullptr);
    destroy(nullptr);
    destroy(engine);
    void* again = create();
    EXPECT_NE(again, nullptr) << "create, destroy, create again";
    destroy(again);
}

} // namespace
