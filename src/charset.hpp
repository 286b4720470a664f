// The character set of the locale the run was started in: UTF-8 or bytes.
#pragma once

// Takes LC_CTYPE from the environment (LC_ALL, else LC_CTYPE, else LANG) and
// says whether its character set is UTF-8. A locale the system lacks leaves
// the C locale, whose characters are bytes. The case functions (towupper,
// towlower) and the classes (isw...) then follow it.
bool charset_from_environment();
