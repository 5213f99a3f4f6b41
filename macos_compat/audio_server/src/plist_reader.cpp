#include <velmora/audio_server/plist_reader.h>

#include <cstdlib>

namespace VelmoraAudioServer {
namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool document(PlistValue& root, std::string& error) {
        skip_misc();
        if (!starts_with("<plist")) {
            return fail("expected <plist>", error);
        }
        if (!skip_past(">")) {
            return fail("unterminated <plist>", error);
        }
        skip_misc();
        if (!value(root, error)) {
            return false;
        }
        skip_misc();
        if (!consume("</plist>")) {
            return fail("expected </plist>", error);
        }
        skip_misc();
        if (pos_ != text_.size()) {
            return fail("text after </plist>", error);
        }
        return true;
    }

private:
    bool value(PlistValue& out, std::string& error) {
        if (++depth_ > 64) {
            return fail("nesting too deep", error);
        }
        const bool ok = value_inner(out, error);
        --depth_;
        return ok;
    }

    bool value_inner(PlistValue& out, std::string& error) {
        skip_misc();
        std::string tag;
        bool empty = false;
        if (!open_tag(tag, empty)) {
            return fail("expected a value", error);
        }
        if (tag == "true" || tag == "false") {
            out.type = PlistValue::Type::boolean;
            out.boolean = tag == "true";
            return empty || close_tag(tag) || fail("expected </" + tag + ">", error);
        }
        if (tag == "string" || tag == "integer" || tag == "real" || tag == "date" || tag == "data") {
            out.type = tag == "string"    ? PlistValue::Type::string
                       : tag == "integer" ? PlistValue::Type::integer
                       : tag == "real"    ? PlistValue::Type::real
                       : tag == "date"    ? PlistValue::Type::date
                                          : PlistValue::Type::data;
            if (empty) {
                return true;
            }
            return character_data(out.text, error) && (close_tag(tag) || fail("expected </" + tag + ">", error));
        }
        if (tag == "array") {
            out.type = PlistValue::Type::array;
            if (empty) {
                return true;
            }
            for (;;) {
                skip_misc();
                if (close_tag("array")) {
                    return true;
                }
                out.array.emplace_back();
                if (!value(out.array.back(), error)) {
                    return false;
                }
            }
        }
        if (tag == "dict") {
            out.type = PlistValue::Type::dict;
            if (empty) {
                return true;
            }
            for (;;) {
                skip_misc();
                if (close_tag("dict")) {
                    return true;
                }
                std::string key_tag;
                bool key_empty = false;
                if (!open_tag(key_tag, key_empty) || key_tag != "key") {
                    return fail("expected <key> in <dict>", error);
                }
                std::string key;
                if (!key_empty && (!character_data(key, error) || !close_tag("key"))) {
                    return fail("expected </key>", error);
                }
                PlistValue entry;
                if (!value(entry, error)) {
                    return false;
                }
                out.dict.emplace(key, std::move(entry)); // the first of repeated keys wins
            }
        }
        return fail("unknown element <" + tag + ">", error);
    }

    // Text up to the next '<', entities decoded.
    bool character_data(std::string& out, std::string& error) {
        out.clear();
        while (pos_ < text_.size() && text_[pos_] != '<') {
            if (text_[pos_] != '&') {
                out.push_back(text_[pos_++]);
                continue;
            }
            const std::size_t end = text_.find(';', pos_);
            if (end == std::string::npos || end - pos_ > 12) {
                return fail("bad entity", error);
            }
            const std::string name = text_.substr(pos_ + 1, end - pos_ - 1);
            pos_ = end + 1;
            if (name == "amp") {
                out.push_back('&');
            } else if (name == "lt") {
                out.push_back('<');
            } else if (name == "gt") {
                out.push_back('>');
            } else if (name == "quot") {
                out.push_back('"');
            } else if (name == "apos") {
                out.push_back('\'');
            } else if (name.size() > 1 && name[0] == '#') {
                const bool hex = name[1] == 'x';
                char* rest = nullptr;
                const unsigned long code = std::strtoul(name.c_str() + (hex ? 2 : 1), &rest, hex ? 16 : 10);
                if (rest == nullptr || *rest != '\0' || code == 0 || code > 0x10FFFF) {
                    return fail("bad character reference", error);
                }
                append_utf8(out, static_cast<unsigned>(code));
            } else {
                return fail("unknown entity &" + name + ";", error);
            }
        }
        return true;
    }

    static void append_utf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    // "<name>" or "<name/>" (attributes are skipped).
    bool open_tag(std::string& name, bool& empty) {
        if (pos_ >= text_.size() || text_[pos_] != '<' || pos_ + 1 >= text_.size() || text_[pos_ + 1] == '/') {
            return false;
        }
        const std::size_t end = text_.find('>', pos_);
        if (end == std::string::npos) {
            return false;
        }
        std::string inside = text_.substr(pos_ + 1, end - pos_ - 1);
        empty = !inside.empty() && inside.back() == '/';
        if (empty) {
            inside.pop_back();
        }
        const std::size_t space = inside.find_first_of(" \t\r\n");
        name = inside.substr(0, space);
        pos_ = end + 1;
        return !name.empty();
    }

    bool close_tag(const std::string& name) {
        skip_space();
        return consume("</" + name + ">");
    }

    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n')) {
            ++pos_;
        }
    }

    // Space, comments, the XML declaration and the document type.
    void skip_misc() {
        for (;;) {
            skip_space();
            if (starts_with("<!--")) {
                if (!skip_past("-->")) {
                    pos_ = text_.size();
                }
            } else if (starts_with("<?") || starts_with("<!DOCTYPE")) {
                if (!skip_past(">")) {
                    pos_ = text_.size();
                }
            } else {
                return;
            }
        }
    }

    bool starts_with(const std::string& prefix) const { return text_.compare(pos_, prefix.size(), prefix) == 0; }
    bool consume(const std::string& prefix) {
        if (!starts_with(prefix)) {
            return false;
        }
        pos_ += prefix.size();
        return true;
    }
    bool skip_past(const std::string& marker) {
        const std::size_t found = text_.find(marker, pos_);
        if (found == std::string::npos) {
            return false;
        }
        pos_ = found + marker.size();
        return true;
    }

    bool fail(const std::string& what, std::string& error) const {
        std::size_t line = 1;
        for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
            line += text_[i] == '\n' ? 1 : 0;
        }
        error = "line " + std::to_string(line) + ": " + what;
        return false;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

} // namespace

const PlistValue* PlistValue::find(const std::string& key) const {
    if (type != Type::dict) {
        return nullptr;
    }
    const auto found = dict.find(key);
    return found != dict.end() ? &found->second : nullptr;
}

std::string PlistValue::string_at(const std::string& key) const {
    const PlistValue* value = find(key);
    return value != nullptr && value->type == Type::string ? value->text : std::string();
}

bool parse_plist(const std::string& document, PlistValue& root, std::string& error) {
    root = PlistValue{};
    error.clear();
    Parser parser(document);
    return parser.document(root, error);
}

} // namespace VelmoraAudioServer
