// What a publisher fixes when building: where the catalogue is and whom it
// trusts, which pages may connect, the bridge's identity. Each executable
// links one definition of these, generated from build_settings.cpp.in: the
// launcher its build's options, the tests' launcher the test servers'.
#ifndef LAUNCHER_CORE_BUILD_SETTINGS_H
#define LAUNCHER_CORE_BUILD_SETTINGS_H

extern const char kCatalogueUrl[];
// A trust bundle for the catalogue's certificate; empty keeps libcurl's.
extern const char kCatalogueTrustBundle[];
// The publisher's public keys (PEM "PUBLIC KEY" blocks of P-256 keys) that
// sign the catalogue; empty takes the catalogue unsigned.
extern const char kCatalogueKeys[];
// A package transfer that receives nothing this long fails.
extern const long kTransferStallSeconds;
// Exact origins, separated by spaces; empty lets every page in.
extern const char kAllowedOrigins[];
extern const bool kAllowNoOrigin;
// Serve other users' processes too: never the publisher's launcher, only the
// tests' under wine, whose clients are native processes that wine's TCP
// table shows without a Windows owner.
extern const bool kServeAnyUser;
// The bridge's key and certificate chain, one line of base64 over PEM.
extern const char kTlsIdentityBase64[];

#endif
