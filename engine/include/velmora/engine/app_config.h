// The engine's configuration file: one strict INI file per client connection.
//
// Grammar: lines split at line feed and counted from 1; one trailing carriage return dropped, then
// whitespace trimmed; empty lines and lines starting with '#' or ';' skipped; "[name]" opens a
// section (names and keys are case-insensitive); every other line is key=value, the value cut at
// the first ';' or '#' outside double quotes (the quotes themselves stay in the value). A later
// key replaces an earlier one; unknown sections and keys are ignored; a malformed line stops the
// load with its line number.
//
// A file with any key in [coreaudio] is read as if that section were [asio], with its device_uid
// as [asio] driver_name.
//
// After reading, the queue sizes are derived from [latency] client_latency_blocks and the whole
// record is validated; the first problem found is reported as one message.
#pragma once

#include <velmora/engine/audio_device_settings.h>
#include <velmora/protocol/client_settings.h>

#include <string>

class AppConfig {
public:
    struct TestSettings {
        // Run against the virtual loopback device instead of hardware.
        bool loopback_device = false;
    };

    struct Settings {
        VelmoraProtocol::ClientSettings client;
        AudioDeviceSettings audio;
        TestSettings test;
    };

    // Any thread; blocks on file IO; allocates. On success replaces the whole of `settings` and
    // returns true. On failure leaves `settings` untouched, puts one message into `error` and
    // returns false. Never throws for bad input.
    static bool load_from_file(const std::string& path, Settings& settings, std::string& error);

    // The same load over the file's contents already in memory (`load_from_file` reads the file
    // and calls this). Any thread; allocates.
    static bool load_from_text(const std::string& text, Settings& settings, std::string& error);

    // The record the loader starts from before any key is read.
    static Settings default_settings();
};
