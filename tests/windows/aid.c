/*
 * aid: a helper library that the aided test module imports, shipped beside
 * it in the module's package.
 */
__declspec(dllexport) const char* aidReply(void) { return "\"aided\""; }
