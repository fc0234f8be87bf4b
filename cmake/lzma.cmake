# The 7z decoder of the LZMA SDK (the C folder of Debian's 7zip sources),
# without its file calls: the archive is read through the platform layer.
set(LZMA_C "${LAUNCHER_THIRD_PARTY}/7zip/C")
if(NOT EXISTS "${LZMA_C}/7zArcIn.c")
  message(FATAL_ERROR "LZMA SDK sources missing: run scripts/setup")
endif()
add_library(lzma_7z STATIC
  ${LZMA_C}/7zAlloc.c ${LZMA_C}/7zArcIn.c ${LZMA_C}/7zBuf.c ${LZMA_C}/7zBuf2.c
  ${LZMA_C}/7zCrc.c ${LZMA_C}/7zCrcOpt.c ${LZMA_C}/7zDec.c
  ${LZMA_C}/7zStream.c ${LZMA_C}/Bcj2.c ${LZMA_C}/Bra.c ${LZMA_C}/Bra86.c
  ${LZMA_C}/BraIA64.c ${LZMA_C}/CpuArch.c ${LZMA_C}/Delta.c ${LZMA_C}/Lzma2Dec.c
  ${LZMA_C}/LzmaDec.c ${LZMA_C}/Ppmd7.c ${LZMA_C}/Ppmd7Dec.c)
target_include_directories(lzma_7z SYSTEM PUBLIC "${LZMA_C}")
target_compile_definitions(lzma_7z PUBLIC Z7_EXTRACT_ONLY)
# Every method and filter the decoder has: 7-Zip packs with PPMd on request.
target_compile_definitions(lzma_7z PRIVATE Z7_PPMD_SUPPORT)
# The decoder reads little-endian fields through unaligned loads on x86 by
# design, and forms end pointers of empty streams as a null buffer plus a
# zero size (BCJ2); the undefined-behaviour sanitizer would stop at each.
target_compile_options(lzma_7z PRIVATE -w -fno-sanitize=alignment,pointer-overflow)
