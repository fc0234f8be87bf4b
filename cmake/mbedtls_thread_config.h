/* The installed configuration, less the self-tests: their operation
 * counters are shared statistics that threads bump without a lock, which
 * ThreadSanitizer would report in every concurrent handshake. */
#undef MBEDTLS_SELF_TEST
