// The INI dialect of the window's settings library, read and written without it, so that the
// daemon and the window take turns on one settings file.
//
// The rules the window's library follows and this copies: "[General]" holds the keys without a
// section ("[%General]" is a section really named General); a key's characters other than
// letters, digits, "_", "-" and "." are written "%XX" (or "%UXXXX" above U+00FF), a "/" in a key
// as "\" and a section as the part before the first "/"; a text value is written in UTF-8 with C
// escapes for control characters, quoted when it holds ";", "," or "=" or begins or ends with a
// blank, and a leading "@" doubled, since "@" begins the typed forms ("@Invalid()",
// "@ByteArray(...)", "@Variant(...)", "@String(...)", ...); an unquoted comma makes a list. On
// reading, ";" begins a comment, a backslash at the end of a line continues it, and a line
// without "=" is a format error that skips only that line. On writing, the whole file is made
// anew: comments and bad lines go, sections follow in name order ("[General]" first), keys in
// name order within each.
//
// One departure: a key, a value or a section header whose bytes are not UTF-8 would come back
// from a reading and writing with U+FFFD in their place, so these keep the bytes they were read
// from and are written back as they stood while unchanged.
//
// Thread rule: any thread; pure functions and values.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gw::app::ini {

// One value as the file holds it.
struct Value {
    enum class Kind {
        Text,   // a text; the "@@" and "@String(...)" forms already undone
        Typed,  // another "@..." form, kept as it stands unescaped ("@Invalid()", "@Variant(...)")
        List,   // a list: Items as they stand unescaped, "@" forms and all
    };
    Kind Is = Kind::Text;
    std::string Text;
    std::vector<std::string> Items;
    // The bytes after "=" and before it, kept where they are not UTF-8 (else empty). Not part
    // of what the value is.
    std::string RawValue;
    std::string RawKey;

    static Value OfText(std::string text) { return {Kind::Text, std::move(text), {}, {}, {}}; }
    bool operator==(const Value& other) const {
        return Is == other.Is && Text == other.Text && Items == other.Items;
    }
};

// (section, key): the section empty for the keys of [General].
using Key = std::pair<std::string, std::string>;

struct Document {
    std::map<Key, Value> Values;
    // Section headers ("[...]") as they stood, by section, kept where they are not UTF-8.
    std::map<std::string, std::string> RawHeaders;
    bool FormatError = false;  // a line without "=", or a section header without "]"

    // A full key as the library names it: "Delay", "Section/Key".
    static Key Split(std::string_view full_key);
    // Deletes the key and every key below it ("Name/...").
    void Remove(std::string_view full_key);
};

Document Parse(std::string_view bytes);
std::string Write(const Document& document);

// The single pieces, for the tests.
std::string EscapeKey(std::string_view key);
std::string UnescapeKey(std::string_view key);
std::string EscapeValue(const Value& value);
Value UnescapeValue(std::string_view raw);

}  // namespace gw::app::ini
