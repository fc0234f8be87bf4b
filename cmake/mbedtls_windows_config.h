/* Additions to mbedTLS's default configuration for the Windows build, as
 * Debian's own package makes them: CivetWeb shares one random generator and
 * one TLS configuration across its worker threads, so mbedTLS must lock
 * them. CivetWeb emulates pthreads itself on Windows, so the locks are
 * Win32 slim locks, which the launcher supplies (threading_alt.h). */
#define MBEDTLS_THREADING_C
#define MBEDTLS_THREADING_ALT
