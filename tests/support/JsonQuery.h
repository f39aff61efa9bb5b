// Reads a JSON document the way another program would: through python's json module.
#ifndef TEST_JSON_QUERY_H
#define TEST_JSON_QUERY_H

#include <string>

// ascii() of the python expression, evaluated with the parsed document as `d`; "NOT JSON: ..."
// when the document does not parse.
std::string JsonQuery(const std::string& document, const std::string& expression);

#endif
