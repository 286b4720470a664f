// The character set of the locale the run was started in, asked of the C
// library: the value forms of -s count, cut and change case by it.
#include "charset.hpp"

#include <clocale>
#include <cstring>
#include <langinfo.h>

bool charset_from_environment() {
    if (std::setlocale(LC_CTYPE, "") == nullptr)
        return false;
    const char *codeset = nl_langinfo(CODESET);
    return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}
