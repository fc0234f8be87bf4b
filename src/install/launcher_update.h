// LauncherUpdate: a newer launcher that the signed catalogue offers under
// its reserved entry, fetched and checked as a module package is, and its
// setup run (where the launcher runs setups) to replace this one.
#ifndef LAUNCHER_INSTALL_LAUNCHER_UPDATE_H
#define LAUNCHER_INSTALL_LAUNCHER_UPDATE_H

#include <string>

// Whether offered is a later version than running. Both are compared by
// their first three dotted decimal numbers (what a file version says of a
// launcher), a missing one counting as 0; a text that is not such numbers
// is never later, nor is anything later than it.
bool isNewerVersion(const std::string& offered, const std::string& running);

// Once a catalogue is loaded, on the fetch's own thread; does nothing unless
// it is the publisher's signed one. A newer launcher's setup is brought into
// the temporary directory and checked by its digest and its own signature;
// then, once no module install runs, it is started detached with /S, which
// stops this launcher, installs and starts the new one. A record beside the
// modules directory names the version being tried: the launcher that starts
// next (the new one, or the old one again after a failed setup) finds it and
// does not try that version again; the start after that may.
void updateLauncher(const char* runningVersion);

#endif
