// ModuleCatalogue: the online catalogue of modules, fetched on its own thread
// and published whole.
#ifndef LAUNCHER_CATALOGUE_MODULE_CATALOGUE_H
#define LAUNCHER_CATALOGUE_MODULE_CATALOGUE_H

#include <cstdint>
#include <string>

// Starts a fetch unless a catalogue is loaded or one is running. Both texts
// are kept by pointer and must live for the process.
void startCatalogueFetch(const char* modulesDirectory, const char* url);
// Called on the fetch's own thread once its document is loaded, before the
// fetch ends; so it may take its time without holding up anything else. Set
// before the first fetch starts.
using CatalogueLoadedHook = void (*)();
void setCatalogueLoadedHook(CatalogueLoadedHook hook);
// Lets a running fetch go on detached.
void stopCatalogueFetch();

// 1 loaded, 0 a fetch is running, -1 neither.
int catalogueState();

// Whether the publisher's keys are built in, so that only a catalogue signed
// with one of them, current by its serial and expiry, is ever loaded.
bool catalogueMustBeSigned();
// Whether the catalogue loaded is such a signed one: what is in it is the
// publisher's word, not only the catalogue host's.
bool signedCatalogueInForce();

// The directory recorded by the first fetch start; empty before it.
const char* recordedModulesDirectory();

// 0 listed, 6 not listed (also for a name that cannot be a file name).
int checkModuleListed(const std::string& name);
std::string latestVersion(const std::string& name);
std::string moduleVersionField(const std::string& name, const char* key);
std::string installUrl(const std::string& name);
std::int32_t packageSize(const std::string& name);
std::string packageDigest(const std::string& name);
std::string libraryDigest(const std::string& name);

// The launcher's own entry (kLauncherEntryName), read as a module's is:
// its "latest", and a member of that version's entry ("install", "size",
// "sha512e").
std::string launcherLatestVersion();
std::string launcherVersionField(const char* key);

std::int32_t launcherSetupSize();

// Seams for tests: parse a document as a fetch would and publish it; or wait
// until no fetch runs.
bool publishCatalogueText(const char* data, std::size_t length);
// Puts a document in place of the published one (none when it does not
// parse). Breaks the publish-once promise that lookups on other threads rely
// on: for single-threaded programs with no fetch running, such as the fuzz
// targets.
bool replaceCatalogueText(const char* data, std::size_t length);
void waitForCatalogueFetch();

#endif
