#include "JsonWriter.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence starting at p (at most n bytes available), 0 when invalid.
size_t sUtf8Length(const unsigned char* p, size_t n)
{
    const unsigned char c = p[0];
    size_t length;
    uint32_t min;
    uint32_t code;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = c & 0x07;
    } else {
        return 0;
    }
    if (length > n)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not text.
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string JsonQuote(const std::string& text)
{
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
            i++;
        } else if (c == '\n') {
            out += "\\n", i++;
        } else if (c == '\r') {
            out += "\\r", i++;
        } else if (c == '\t') {
            out += "\\t", i++;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", (unsigned)c);
            out += escaped;
            i++;
        } else {
            const size_t length = sUtf8Length(p + i, n - i);
            if (length == 0) {
                out += "\\ufffd";
                i++;
            } else {
                out.append(text, i, length);
                i += length;
            }
        }
    }
    out += '"';
    return out;
}

JsonValue& JsonValue::Set(const std::string& key, const JsonValue& value)
{
    if (kind != OBJECT)
        *this = Object();
    for (auto& member : members)
        if (member.first == key)
            return member.second = value;
    members.emplace_back(key, value);
    return members.back().second;
}

const JsonValue* JsonValue::Find(const std::string& key) const
{
    for (const auto& member : members)
        if (member.first == key)
            return &member.second;
    return nullptr;
}

JsonValue* JsonValue::Find(const std::string& key)
{
    return const_cast<JsonValue*>(static_cast<const JsonValue*>(this)->Find(key));
}

JsonValue& JsonValue::Push(const JsonValue& value)
{
    if (kind != ARRAY)
        *this = Array();
    items.push_back(value);
    return items.back();
}

std::string JsonValue::Write() const
{
    std::string out;
    WriteTo(out);
    return out;
}

void JsonValue::WriteTo(std::string& out) const
{
    switch (kind) {
    case NUL: out += "null"; break;
    case BOOLEAN: out += boolean ? "true" : "false"; break;
    case INTEGER: out += std::to_string(integer); break;
    case REAL: {
        // JSON has no NaN or infinity.
        if (!std::isfinite(real)) {
            out += "null";
            break;
        }
        char number[32];
        snprintf(number, sizeof(number), "%.3f", real);
        out += number;
        break;
    }
    case STRING: out += JsonQuote(text); break;
    case ARRAY: {
        out += '[';
        for (size_t i = 0; i < items.size(); i++) {
            if (i > 0)
                out += ',';
            items[i].WriteTo(out);
        }
        out += ']';
        break;
    }
    case OBJECT: {
        out += '{';
        for (size_t i = 0; i < members.size(); i++) {
            if (i > 0)
                out += ',';
            out += JsonQuote(members[i].first);
            out += ':';
            members[i].second.WriteTo(out);
        }
        out += '}';
        break;
    }
    }
}
