// Reads the XML property lists of plug-in bundles (Info.plist): dict, array, string, key,
// integer, real, true, false, date and data, with the five XML entities and numeric character
// references. Comments, the XML declaration and the DOCTYPE are skipped.
//
// Any thread; allocates.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace VelmoraAudioServer {

struct PlistValue {
    enum class Type { string, integer, real, boolean, date, data, array, dict };
    Type type = Type::string;
    std::string text; // string, date and data (as written), integer and real (as written)
    bool boolean = false;
    std::vector<PlistValue> array;
    std::map<std::string, PlistValue> dict;

    // The entry `key` of a dict, or null (also when this is not a dict).
    const PlistValue* find(const std::string& key) const;
    // The text of the string entry `key` of a dict, or empty.
    std::string string_at(const std::string& key) const;
};

// Parses a whole document; false with a reason ("line 12: ...") in `error` for malformed input.
bool parse_plist(const std::string& document, PlistValue& root, std::string& error);

} // namespace VelmoraAudioServer
