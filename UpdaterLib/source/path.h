// Path joining without bounds.
#ifndef UPDATER_PATH_H
#define UPDATER_PATH_H

#include <string>

// Joins the components, a null-terminated list, with "/": "a", "b" gives "a/b". No separator
// is merged or dropped.
std::string BuildPath(const char* first, ...);

#endif
