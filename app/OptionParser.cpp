#include "OptionParser.h"

OptionParser::OptionParser(const OptionEntry* t, size_t n, int argc, const char* const* argv)
    : table(t), count(n), index(1)
{
    for (int i = 0; i < argc; i++)
        words.push_back(argv[i] ? argv[i] : "");
}

const OptionEntry* OptionParser::sMatch(const std::string& name) const
{
    const OptionEntry* prefixMatch = nullptr;
    int prefixMatches = 0;
    for (size_t i = 0; i < count; i++) {
        const std::string text = table[i].text;
        if (text == name)
            return &table[i];
        if (text.compare(0, name.size(), name) == 0) {
            prefixMatch = &table[i];
            prefixMatches++;
        }
    }
    return prefixMatches == 1 ? prefixMatch : nullptr;
}

const OptionEntry* OptionParser::Next(std::string& value)
{
    value.clear();
    while (index < words.size()) {
        const std::string word = words[index++];
        if (word == "--") {  // ends the options; the rest are plain words
            while (index < words.size())
                aside.push_back(words[index++]);
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            aside.push_back(word);
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const OptionEntry* entry = sMatch(name);
        if (entry == nullptr)
            continue;
        if (!entry->takes_value) {
            if (equals != std::string::npos)
                continue;  // a value given to an option that takes none
            taken.push_back(word);
            return entry;
        }
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else {
            if (index >= words.size())
                continue;  // value missing
            value = words[index];
            if (!value.empty() && value[0] == '-') {
                value.clear();
                continue;  // the next word is read as an option itself
            }
            index++;
        }
        if (equals != std::string::npos && !value.empty() && value[0] == '-') {
            value.clear();
            continue;
        }
        taken.push_back(word);
        if (equals == std::string::npos)
            taken.push_back(value);
        return entry;
    }
    return nullptr;
}

std::vector<std::string> OptionParser::Reordered() const
{
    std::vector<std::string> all;
    if (!words.empty())
        all.push_back(words[0]);
    all.insert(all.end(), taken.begin(), taken.end());
    all.insert(all.end(), aside.begin(), aside.end());
    return all;
}
