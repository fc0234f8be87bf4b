// Which module names may become file names.
#ifndef LAUNCHER_CATALOGUE_MODULE_NAMES_H
#define LAUNCHER_CATALOGUE_MODULE_NAMES_H

#include <string>

// False for the empty name, "." and "..", and names with a separator of any
// platform, a drive colon or a control character: such a name would reach
// outside the directory it is joined to.
bool isPlainModuleName(const std::string& name);

#endif
