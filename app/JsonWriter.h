// A JSON value built in memory and written as one compact document: the machine-readable
// output of --json. Objects keep their keys in the order first set.
#ifndef UPDATER_JSON_WRITER_H
#define UPDATER_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class JsonValue {
  public:
    enum Kind { NUL, BOOLEAN, INTEGER, REAL, STRING, ARRAY, OBJECT };

    JsonValue() : kind(NUL) {}
    JsonValue(bool b) : kind(BOOLEAN), boolean(b) {}
    JsonValue(int n) : kind(INTEGER), integer(n) {}
    JsonValue(unsigned int n) : kind(INTEGER), integer(n) {}
    JsonValue(int64_t n) : kind(INTEGER), integer(n) {}
    JsonValue(uint64_t n) : kind(INTEGER), integer((int64_t)n) {}
    JsonValue(double d) : kind(REAL), real(d) {}
    JsonValue(const char* s) : kind(s ? STRING : NUL), text(s ? s : "") {}
    JsonValue(const std::string& s) : kind(STRING), text(s) {}

    static JsonValue Array() { return JsonValue(ARRAY); }
    static JsonValue Object() { return JsonValue(OBJECT); }

    Kind GetKind() const { return kind; }

    // Object: sets (or replaces) the member; a value of another kind becomes an empty object first.
    JsonValue& Set(const std::string& key, const JsonValue& value);
    // Object: the member, or null when absent.
    const JsonValue* Find(const std::string& key) const;
    JsonValue* Find(const std::string& key);
    // Array: appends; a value of another kind becomes an empty array first. Returns the new element.
    JsonValue& Push(const JsonValue& value);
    size_t Size() const { return kind == ARRAY ? items.size() : kind == OBJECT ? members.size() : 0; }
    JsonValue& At(size_t i) { return items.at(i); }

    bool AsBool() const { return kind == BOOLEAN && boolean; }
    const std::string& AsString() const { return text; }

    // The compact document text.
    std::string Write() const;

  private:
    explicit JsonValue(Kind k) : kind(k) {}
    void WriteTo(std::string& out) const;

    Kind kind;
    bool boolean = false;
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;
};

// The text as a quoted JSON string: quotes, backslashes and control characters escaped, bytes
// that are not valid UTF-8 replaced by U+FFFD, so every parser takes the result.
std::string JsonQuote(const std::string& text);

#endif
