#include "app/ini_format.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "app/utf16.h"

namespace gw::app::ini {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// A number in lower-case hex without leading zeros, as the library writes its "\\x" escapes.
std::string LowerHex(unsigned value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>(std::tolower(kHexDigits[value % 16])));
        value /= 16;
    } while (value != 0);
    return digits;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsSpecial(char c) {
    return c == '=' || c == '\n' || c == '\r' || c == '\\' || c == '"' || c == ';';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Whether reading `bytes` as UTF-8 and writing them again gives them back.
bool Survives(std::string_view bytes) { return ToUtf8(ToUtf16(bytes)) == bytes; }

// One logical line from `pos`: comments and blank lines skipped, a backslash joining lines, a
// quoted part able to hold ";" and line ends. False at the end of the data.
bool ReadLine(std::string_view data, std::size_t& pos, std::size_t& start, std::size_t& length,
              std::size_t& equals) {
    bool in_quotes = false;
    equals = std::string_view::npos;
    start = pos;
    while (start < data.size() && IsSpace(data[start])) ++start;
    std::size_t i = start;
    while (i < data.size()) {
        char c = data[i];
        while (!IsSpecial(c)) {
            if (++i == data.size()) goto done;
            c = data[i];
        }
        ++i;
        if (c == '=') {
            if (!in_quotes && equals == std::string_view::npos) equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!in_quotes) {
                --i;
                goto done;
            }
        } else if (c == '\\') {
            if (i < data.size()) {
                const char escaped = data[i++];
                if (i < data.size()) {
                    const char after = data[i];
                    if ((escaped == '\n' && after == '\r') || (escaped == '\r' && after == '\n')) {
                        ++i;
                    }
                }
            }
        } else if (c == '"') {
            in_quotes = !in_quotes;
        } else {  // ';'
            if (i == start + 1) {
                while (i < data.size() && data[i] != '\n' && data[i] != '\r') ++i;
                while (i < data.size() && IsSpace(data[i])) ++i;
                start = i;
            } else if (!in_quotes) {
                --i;
                goto done;
            }
        }
    }
done:
    pos = i;
    length = i - start;
    return length > 0;
}

// The text form of a value, as the library turns its typed forms back into text.
Value Classify(std::string text) {
    if (StartsWith(text, "@")) {
        if (!text.empty() && text.back() == ')') {
            if (StartsWith(text, "@String(")) {
                return Value::OfText(text.substr(8, text.size() - 9));
            }
            for (const char* typed :
                 {"@ByteArray(", "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("}) {
                if (StartsWith(text, typed))
                    return {Value::Kind::Typed, std::move(text), {}, {}, {}};
            }
            if (text == "@Invalid()") return {Value::Kind::Typed, std::move(text), {}, {}, {}};
        }
        if (StartsWith(text, "@@")) return Value::OfText(text.substr(1));
    }
    return Value::OfText(std::move(text));
}

void EscapeText(std::string_view text, std::string& out) {
    // The byte forms stay within Latin-1 and escape all above ASCII.
    const bool as_utf8 = !StartsWith(text, "@ByteArray(") && !StartsWith(text, "@Variant(");
    const std::u16string units = ToUtf16(text);
    const std::size_t begin = out.size();
    bool needs_quotes = false;
    bool escape_next_if_digit = false;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        if (c == ';' || c == ',' || c == '=') needs_quotes = true;
        const bool hex_digit =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        // "\x1" then "1" would read as one escape "\x11".
        if (escape_next_if_digit && hex_digit) {
            out += "\\x" + LowerHex(c);
            continue;
        }
        escape_next_if_digit = false;
        switch (c) {
            case '\0':
                out += "\\0";
                escape_next_if_digit = true;
                break;
            case '\a':
                out += "\\a";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\v':
                out += "\\v";
                break;
            case '"':
            case '\\':
                out += '\\';
                out += static_cast<char>(c);
                break;
            default:
                if (c <= 0x1F || (c >= 0x7F && !as_utf8)) {
                    out += "\\x" + LowerHex(c);
                    escape_next_if_digit = true;
                } else if (c >= 0x80) {
                    // A surrogate pair is one character.
                    const std::size_t n =
                        (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size()) ? 2 : 1;
                    out += ToUtf8(std::u16string_view(units).substr(i, n));
                    i += n - 1;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    if (needs_quotes || (out.size() > begin && (out[begin] == ' ' || out.back() == ' '))) {
        out.insert(begin, 1, '"');
        out += '"';
    }
}

// The text form of a text value: the leading "@" doubled, one holding NUL wrapped.
std::string TextForm(const std::string& text) {
    if (text.find('\0') != std::string::npos) return "@String(" + text + ")";
    if (StartsWith(text, "@")) return "@" + text;
    return text;
}

void ChopTrailingBlanks(std::u16string& text, std::size_t limit) {
    while (text.size() > limit && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
}

}  // namespace

std::string EscapeKey(std::string_view key) {
    std::string out;
    for (const char16_t c : ToUtf16(key)) {
        if (c == '/') {
            out += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += kHexDigits[c / 16];
            out += kHexDigits[c % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(c >> shift) & 0xF];
        }
    }
    return out;
}

std::string UnescapeKey(std::string_view key) {
    const std::u16string units = ToUtf16(key);
    std::u16string out;
    for (std::size_t i = 0; i < units.size();) {
        const char16_t c = units[i];
        if (c == '\\') {
            out += u'/';
            ++i;
            continue;
        }
        if (c != '%' || i == units.size() - 1) {
            out += c;
            ++i;
            continue;
        }
        std::size_t first = i + 1;
        std::size_t digits = 2;
        if (units[first] == 'U') {
            ++first;
            digits = 4;
        }
        unsigned value = 0;
        bool ok = first + digits <= units.size();
        for (std::size_t k = 0; ok && k < digits; ++k) {
            const char16_t d = units[first + k];
            const int v = d >= '0' && d <= '9'   ? d - '0'
                          : d >= 'a' && d <= 'f' ? d - 'a' + 10
                          : d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                 : -1;
            ok = v >= 0;
            value = value * 16 + static_cast<unsigned>(v);
        }
        if (!ok) {
            out += u'%';
            ++i;
            continue;
        }
        out += static_cast<char16_t>(value);
        i = first + digits;
    }
    return ToUtf8(out);
}

Value UnescapeValue(std::string_view raw) {
    static constexpr char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                           {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                           {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    std::u16string text;
    std::vector<std::string> items;
    bool is_list = false;
    bool in_quotes = false;
    bool quoted = false;
    std::size_t i = 0;
    const auto skip_blanks = [&] {
        while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t')) ++i;
    };
    skip_blanks();
    std::size_t chop_limit = 0;
    // An escape cut off by the end of the value leaves the trailing blanks as they are.
    bool cut_off = false;
    while (i < raw.size() && !cut_off) {
        const char c = raw[i];
        if (c == '\\') {
            if (++i >= raw.size()) {
                cut_off = true;
                break;
            }
            const char escaped = raw[i++];
            const auto* known = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                             [escaped](const char* e) { return e[0] == escaped; });
            if (known != std::end(kEscapes)) {
                text += static_cast<char16_t>((*known)[1]);
            } else if (escaped == 'x' || (escaped >= '0' && escaped <= '7')) {
                const bool hex = escaped == 'x';
                if (hex && i >= raw.size()) {
                    cut_off = true;
                    break;
                }
                // "\\x" without a digit stands for nothing.
                if (!hex || std::isxdigit(static_cast<unsigned char>(raw[i]))) {
                    char16_t value = hex ? 0 : static_cast<char16_t>(escaped - '0');
                    for (;; ++i) {
                        if (i >= raw.size()) {
                            cut_off = true;
                            break;
                        }
                        const char d = raw[i];
                        if (hex && std::isxdigit(static_cast<unsigned char>(d))) {
                            const int v = d <= '9' ? d - '0' : (std::toupper(d) - 'A' + 10);
                            value = static_cast<char16_t>((value << 4) + v);
                        } else if (!hex && d >= '0' && d <= '7') {
                            value = static_cast<char16_t>((value << 3) + (d - '0'));
                        } else {
                            break;
                        }
                    }
                    text += value;
                }
            } else if (escaped == '\n' || escaped == '\r') {
                if (i < raw.size() && (raw[i] == '\n' || raw[i] == '\r') && raw[i] != escaped) ++i;
            }  // any other escaped character stands for nothing
            chop_limit = text.size();
            continue;
        }
        if (c == '"') {
            ++i;
            quoted = true;
            in_quotes = !in_quotes;
            if (!in_quotes) {
                skip_blanks();
                chop_limit = text.size();
            }
            continue;
        }
        if (c == ',' && !in_quotes) {
            if (!quoted) ChopTrailingBlanks(text, chop_limit);
            is_list = true;
            items.push_back(ToUtf8(text));
            text.clear();
            quoted = false;
            ++i;
            skip_blanks();
            chop_limit = 0;
            continue;
        }
        std::size_t j = i + 1;
        while (j < raw.size() && raw[j] != '\\' && raw[j] != '"' && raw[j] != ',') ++j;
        text += ToUtf16(raw.substr(i, j - i));
        i = j;
    }
    if (!quoted && !cut_off) ChopTrailingBlanks(text, chop_limit);
    if (is_list) {
        items.push_back(ToUtf8(text));
        return {Value::Kind::List, {}, std::move(items), {}, {}};
    }
    return Classify(ToUtf8(text));
}

std::string EscapeValue(const Value& value) {
    std::string out;
    switch (value.Is) {
        case Value::Kind::Text:
            EscapeText(TextForm(value.Text), out);
            break;
        case Value::Kind::Typed:
            EscapeText(value.Text, out);
            break;
        case Value::Kind::List:
            for (std::size_t i = 0; i < value.Items.size(); ++i) {
                if (i != 0) out += ", ";
                EscapeText(value.Items[i], out);
            }
            if (value.Items.empty()) out = "@Invalid()";
            break;
    }
    return out;
}

Key Document::Split(std::string_view full_key) {
    const std::size_t slash = full_key.find('/');
    if (slash == std::string_view::npos) return {std::string(), std::string(full_key)};
    return {std::string(full_key.substr(0, slash)), std::string(full_key.substr(slash + 1))};
}

void Document::Remove(std::string_view full_key) {
    const std::string whole(full_key);
    for (auto it = Values.begin(); it != Values.end();) {
        const std::string name =
            it->first.first.empty() ? it->first.second : it->first.first + "/" + it->first.second;
        if (name == whole || StartsWith(name, whole + "/")) {
            it = Values.erase(it);
        } else {
            ++it;
        }
    }
}

Document Parse(std::string_view data) {
    // A byte order mark is no blank: as for the window's library (Qt 6.4), a section header
    // behind one is a damaged line.
    Document document;
    std::string section;  // "" or "Name/"
    std::size_t pos = 0, start = 0, length = 0, equals = 0;
    while (ReadLine(data, pos, start, length, equals)) {
        const std::string_view line = data.substr(start, length);
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            if (close == std::string_view::npos) {
                document.FormatError = true;
                close = line.size();
            }
            const std::string_view name = Trimmed(line.substr(1, close - 1));
            if (SameIgnoringCase(name, "general")) {
                section.clear();
            } else {
                section = SameIgnoringCase(name, "%general") ? std::string(name.substr(1))
                                                             : UnescapeKey(name);
                // Kept only where it heads its keys again when written: a "/" in the name
                // makes it part of each key's name instead.
                const std::string_view header = line.substr(0, close + 1);
                if (header.back() == ']' && !Survives(header) &&
                    section.find('/') == std::string::npos) {
                    document.RawHeaders[section] = std::string(header);
                }
                section += '/';
            }
            continue;
        }
        if (equals == std::string_view::npos) {
            if (line.front() != ';') document.FormatError = true;
            continue;
        }
        const std::string_view raw_key = Trimmed(line.substr(0, equals - start));
        const std::string_view raw_value = line.substr(equals - start + 1);
        const std::string name = UnescapeKey(raw_key);
        const Key key = Document::Split(section + name);
        Value value = UnescapeValue(raw_value);
        if (!Survives(raw_value)) value.RawValue = raw_value;
        if (!Survives(raw_key) && key.second == name) value.RawKey = raw_key;
        document.Values[key] = std::move(value);
    }
    return document;
}

std::string Write(const Document& document) {
    std::string out;
    const std::string* section = nullptr;
    for (const auto& [key, value] : document.Values) {
        if (section == nullptr || *section != key.first) {
            if (section != nullptr) out += '\n';
            section = &key.first;
            const std::string name = EscapeKey(key.first);
            const auto raw = document.RawHeaders.find(key.first);
            if (raw != document.RawHeaders.end()) {
                out += raw->second + "\n";
            } else if (name.empty()) {
                out += "[General]\n";
            } else if (SameIgnoringCase(name, "general")) {
                out += "[%General]\n";
            } else {
                out += "[" + name + "]\n";
            }
        }
        out += (value.RawKey.empty() ? EscapeKey(key.second) : value.RawKey) + "=" +
               (value.RawValue.empty() ? EscapeValue(value) : value.RawValue) + "\n";
    }
    return out;
}

}  // namespace gw::app::ini
