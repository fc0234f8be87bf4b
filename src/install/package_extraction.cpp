#include "install/package_extraction.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "7z.h"
#include "7zCrc.h"
#include "7zFile.h"
#include "7zTypes.h"
#include "catalogue/module_names.h"
#include "install/block_reader.h"

namespace {

constexpr std::size_t kInputBufferSize = 0x40000;
constexpr std::uint32_t kAttributeMask = 0x7FFF;
constexpr int kUnsafeName = 12;

// The decoder sizes its buffers from the archive's header (dictionaries,
// PPMd's model, a block the SDK decodes whole), and a damaged header can ask
// for terabytes. Larger requests fail as out of memory: a 32-bit process
// seldom finds that much contiguous room anyway, and no module package
// needs it.
constexpr std::size_t kMaxDecoderAllocation = std::size_t{256} << 20;

void* boundedAlloc(ISzAllocPtr, std::size_t size) {
  if (size == 0 || size > kMaxDecoderAllocation) return nullptr;
  return std::malloc(size);
}

void boundedFree(ISzAllocPtr, void* address) { std::free(address); }

const ISzAlloc kAllocator = {boundedAlloc, boundedFree};

std::once_flag crcTableOnce;

using platform::Utf16;

Utf16 nameUnit(const Byte* name, std::size_t index) {
  return static_cast<Utf16>(name[2 * index] | (name[2 * index + 1] << 8));
}

// The archive's own UTF-16LE name bytes, terminator included, checked
// before anything is touched on disk: every "/"-separated segment must be a
// plain file name (module_names.h), so an accepted name can only name a
// file inside the destination, on any system.
bool isSafeName(const Byte* name, std::size_t length) {
  if (length < 2 || nameUnit(name, length - 1) != 0) return false;
  const std::size_t units = length - 1;
  std::size_t segmentStart = 0;
  for (std::size_t i = 0; i <= units; ++i) {
    if (i < units && nameUnit(name, i) != '/') continue;
    auto unitAt = [&](std::size_t k) {
      return nameUnit(name, segmentStart + k);
    };
    if (!isPlainFileName(unitAt, i - segmentStart)) return false;
    segmentStart = i + 1;
  }
  return true;
}

std::uint64_t fileTime(const CNtfsFileTime& time) {
  return (static_cast<std::uint64_t>(time.High) << 32) | time.Low;
}

}  // namespace

int extractPackage(const char* archivePath,
                   const platform::Utf16* destinationDirectory,
                   std::size_t destinationLength) {
  CFileInStream archiveStream;
  FileInStream_CreateVTable(&archiveStream);
  File_Construct(&archiveStream.file);
  const WRes openError = InFile_Open(&archiveStream.file, archivePath);
  if (openError != 0) return static_cast<int>(openError);

  CLookToRead2 lookStream;
  LookToRead2_CreateVTable(&lookStream, False);
  lookStream.realStream = &archiveStream.vt;
  lookStream.buf =
      static_cast<Byte*>(ISzAlloc_Alloc(&kAllocator, kInputBufferSize));
  lookStream.bufSize = kInputBufferSize;
  LookToRead2_INIT(&lookStream);

  CSzArEx db;
  SzArEx_Init(&db);
  UInt32 blockIndex = 0xFFFFFFFF;
  Byte* blockBuffer = nullptr;
  std::size_t blockBufferSize = 0;
  Utf16* nameBuffer = nullptr;
  std::size_t nameCapacity = 0;
  platform::FileHandle output = platform::kNoFile;
  BlockReader reader(&kAllocator);

  SRes result = SZ_OK;
  if (lookStream.buf == nullptr) {
    result = SZ_ERROR_MEM;
  } else {
    std::call_once(crcTableOnce, CrcGenerateTable);
    result = SzArEx_Open(&db, &lookStream.vt, &kAllocator, &kAllocator);
  }

  for (UInt32 i = 0; result == SZ_OK && i < db.NumFiles; ++i) {
    const std::size_t nameLength = SzArEx_GetFileNameUtf16(&db, i, nullptr);
    const bool isDirectory = SzArEx_IsDir(&db, i);
    // An archive may store no names at all (7-Zip packing standard input
    // does so): its entries name nothing inside the destination.
    if (db.FileNameOffsets == nullptr ||
        !isSafeName(db.FileNames + 2 * db.FileNameOffsets[i], nameLength)) {
      result = kUnsafeName;
      break;
    }

    const std::size_t needed = destinationLength + 1 + nameLength;
    if (needed > nameCapacity) {
      ISzAlloc_Free(&kAllocator, nameBuffer);
      nameCapacity = needed;
      nameBuffer = static_cast<Utf16*>(
          ISzAlloc_Alloc(&kAllocator, nameCapacity * sizeof(Utf16)));
      if (nameBuffer == nullptr) {
        nameCapacity = 0;
        result = SZ_ERROR_MEM;
        break;
      }
      std::memcpy(nameBuffer, destinationDirectory,
                  destinationLength * sizeof(Utf16));
      nameBuffer[destinationLength] = 0;
      platform::createDirectory(nameBuffer);
      nameBuffer[destinationLength] = platform::kPathSeparator;
    }
    Utf16* const name = nameBuffer + destinationLength + 1;
    SzArEx_GetFileNameUtf16(&db, i, name);

    std::size_t offset = 0;
    std::size_t size = 0;
    bool streamed = false;
    if (!isDirectory && SzArEx_GetFileSize(&db, i) != 0) {
      if (!reader.hasNext(db, i) && BlockReader::startsBlock(db, i))
        streamed = reader.open(db, db.FileToFolder[i], &lookStream.vt, result);
      else
        streamed = reader.hasNext(db, i);
      if (result != SZ_OK) break;
    }
    if (!isDirectory && !streamed) {
      result = SzArEx_Extract(&db, &lookStream.vt, i, &blockIndex, &blockBuffer,
                              &blockBufferSize, &offset, &size, &kAllocator,
                              &kAllocator);
      if (result != SZ_OK) break;
    }

    // Parents one level at a time, so that entries need no folder entries
    // of their own.
    for (Utf16* unit = name; *unit != 0; ++unit) {
      if (*unit != '/') continue;
      *unit = 0;
      platform::createDirectory(nameBuffer);
      *unit = platform::kPathSeparator;
    }

    if (isDirectory) {
      platform::createDirectory(nameBuffer);
      continue;
    }

    output = platform::createOutputFile(nameBuffer);
    if (output == platform::kNoFile) {
      result = SZ_ERROR_FAIL;
      break;
    }
    if (streamed) {
      // Checked as the SDK checks a file it extracts whole.
      UInt32 crc = CRC_INIT_VAL;
      for (UInt64 left = SzArEx_GetFileSize(&db, i); left != 0;) {
        const Byte* piece = nullptr;
        std::size_t length = 0;
        result = reader.next(
            left < SIZE_MAX ? static_cast<std::size_t>(left) : SIZE_MAX, piece,
            length);
        if (result != SZ_OK) break;
        crc = CrcUpdate(crc, piece, length);
        if (!platform::writeFile(output, piece, length)) {
          result = SZ_ERROR_FAIL;
          break;
        }
        left -= length;
      }
      if (result == SZ_OK && SzBitWithVals_Check(&db.CRCs, i) &&
          CRC_GET_DIGEST(crc) != db.CRCs.Vals[i])
        result = SZ_ERROR_CRC;
      if (result != SZ_OK) {
        // Damaged data leaves no file, as when a block is decoded whole
        // before its files are written.
        platform::closeFile(output);
        output = platform::kNoFile;
        platform::removeOutputFile(nameBuffer);
        break;
      }
      reader.fileDone(db);
    } else if (size != 0 &&
               !platform::writeFile(output, blockBuffer + offset, size)) {
      result = SZ_ERROR_FAIL;
      break;
    }
    const bool hasModification = SzBitWithVals_Check(&db.MTime, i);
    const bool hasCreation = SzBitWithVals_Check(&db.CTime, i);
    if (hasModification || hasCreation) {
      const std::uint64_t modification =
          hasModification ? fileTime(db.MTime.Vals[i]) : 0;
      const std::uint64_t creation =
          hasCreation ? fileTime(db.CTime.Vals[i]) : 0;
      platform::setFileTimes(output, hasCreation ? &creation : nullptr,
                             hasModification ? &modification : nullptr);
    }
    const bool closed = platform::closeFile(output);
    output = platform::kNoFile;
    if (!closed) {
      result = SZ_ERROR_FAIL;
      break;
    }
    if (SzBitWithVals_Check(&db.Attribs, i)) {
      platform::setFileAttributes(nameBuffer,
                                  db.Attribs.Vals[i] & kAttributeMask);
    }
  }

  if (output != platform::kNoFile) platform::closeFile(output);
  ISzAlloc_Free(&kAllocator, blockBuffer);
  reader.close();
  ISzAlloc_Free(&kAllocator, nameBuffer);
  SzArEx_Free(&db, &kAllocator);
  ISzAlloc_Free(&kAllocator, lookStream.buf);
  File_Close(&archiveStream.file);
  return result;
}
