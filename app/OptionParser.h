// The command line's option matcher: full words or unique prefixes of a table's entries,
// values as the next word or after "=", non-options moved aside.
#ifndef UPDATER_OPTION_PARSER_H
#define UPDATER_OPTION_PARSER_H

#include <string>
#include <vector>

struct OptionEntry {
    const char* text;
    int id;
    bool takes_value;
};

class OptionParser {
  public:
    OptionParser(const OptionEntry* table, size_t count, int argc, const char* const* argv);

    // The next recognised option, or null when the words are used up. Words that are not
    // options, and options that cannot be taken (unknown, ambiguous, missing value...), are
    // skipped without a message.
    const OptionEntry* Next(std::string& value);

    // The words in the order read: options and their values first, then the other words.
    std::vector<std::string> Reordered() const;

  private:
    const OptionEntry* sMatch(const std::string& name) const;

    const OptionEntry* table;
    size_t count;
    std::vector<std::string> words;
    size_t index;
    std::vector<std::string> taken;
    std::vector<std::string> aside;
};

#endif
