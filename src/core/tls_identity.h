// The bridge's TLS identity, embedded as base64 text.
#ifndef LAUNCHER_CORE_TLS_IDENTITY_H
#define LAUNCHER_CORE_TLS_IDENTITY_H

// The decoded PEM text (key, then chain), NUL-terminated; null when it
// cannot be decoded. Decoded once and kept for the process.
const char* tlsIdentity();
// Wipes and frees the decoded text once the server has parsed it.
void forgetTlsIdentity();

// mbedTLS builds its AES tables and its lists of ciphers, cipher suites
// and curves on first use, unguarded: the catalogue fetch and the server's
// start raced there. Called before either starts.
void prepareTlsLibrary();

#endif
