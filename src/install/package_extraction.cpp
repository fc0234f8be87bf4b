#include "install/package_extraction.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "7z.h"
#include "7zCrc.h"
#include "7zFile.h"
#include "7zTypes.h"
#include "Lzma2Dec.h"
#include "LzmaDec.h"
#include "catalogue/module_names.h"

namespace {

constexpr std::size_t kInputBufferSize = 0x40000;
constexpr std::uint32_t kAttributeMask = 0x7FFF;
constexpr int kUnsafeName = 12;

// The decoder sizes its buffers from the archive's header (a solid block is
// unpacked whole in memory), and a damaged header can ask for terabytes.
// Larger requests fail as out of memory: a 32-bit process seldom finds that
// much contiguous room anyway, and no module package needs it.
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

constexpr UInt32 kCopyMethod = 0;
constexpr UInt32 kLzma2Method = 0x21;
constexpr UInt32 kLzmaMethod = 0x30101;
constexpr std::size_t kOutputChunk = 1 << 20;

// A block (folder) decoded piece by piece as its files are written, so
// memory stays at the decoder's dictionary whatever the block's size. Only
// the chains packers use for data: one LZMA, LZMA2 or Copy coder over one
// packed stream; the SDK decodes any other block whole.
class BlockReader {
 public:
  BlockReader() {
    LzmaDec_Construct(&lzma_);
    Lzma2Dec_Construct(&lzma2_);
  }
  ~BlockReader() { close(); }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // False when the block is not one this reader decodes; error is set when
  // it is but cannot be started.
  bool open(const CSzArEx& db, UInt32 block, ILookInStream* in, SRes& error) {
    close();
    const CSzAr& ar = db.db;
    const Byte* coders = ar.CodersData + ar.FoCodersOffsets[block];
    CSzData data{coders,
                 ar.FoCodersOffsets[block + 1] - ar.FoCodersOffsets[block]};
    CSzFolder folder;
    if (SzGetNextFolderItem(&folder, &data) != SZ_OK || folder.NumCoders != 1 ||
        folder.NumPackStreams != 1)
      return false;
    const CSzCoderInfo& coder = folder.Coders[0];
    const Byte* props = coders + coder.PropsOffset;
    const UInt32 pack = ar.FoStartPackStreamIndex[block];
    method_ = coder.MethodID;
    if (method_ == kLzmaMethod) {
      error = LzmaDec_Allocate(&lzma_, props, coder.PropsSize, &kAllocator);
      if (error == SZ_OK) LzmaDec_Init(&lzma_);
    } else if (method_ == kLzma2Method && coder.PropsSize == 1) {
      error = Lzma2Dec_Allocate(&lzma2_, props[0], &kAllocator);
      if (error == SZ_OK) Lzma2Dec_Init(&lzma2_);
    } else if (method_ != kCopyMethod) {
      return false;
    }
    if (error == SZ_OK)
      error = LookInStream_SeekTo(in, db.dataPos + ar.PackPositions[pack]);
    in_ = in;
    packLeft_ = ar.PackPositions[pack + 1] - ar.PackPositions[pack];
    block_ = block;
    nextFile_ = db.FolderToFile[block];
    return true;
  }

  void close() {
    LzmaDec_Free(&lzma_, &kAllocator);
    Lzma2Dec_Free(&lzma2_, &kAllocator);
    block_ = kNone;
  }

  // Whether file is the next this reader has for its block.
  bool hasNext(const CSzArEx& db, UInt32 file) const {
    return block_ != kNone && db.FileToFolder[file] == block_ &&
           nextFile_ == file;
  }
  bool startsBlock(const CSzArEx& db, UInt32 file) const {
    const UInt32 block = db.FileToFolder[file];
    return block != kNone && db.FolderToFile[block] == file;
  }
  void fileDone() { ++nextFile_; }

  // Exactly size bytes of the block's output, in order.
  SRes read(Byte* out, std::size_t size) {
    while (size != 0) {
      const void* input = nullptr;
      std::size_t available = packLeft_ < kInputBufferSize
                                  ? static_cast<std::size_t>(packLeft_)
                                  : kInputBufferSize;
      SRes res = ILookInStream_Look(in_, &input, &available);
      if (res != SZ_OK) return res;
      SizeT produced = size;
      SizeT consumed = available;
      ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
      if (method_ == kLzmaMethod) {
        res = LzmaDec_DecodeToBuf(&lzma_, out, &produced,
                                  static_cast<const Byte*>(input), &consumed,
                                  LZMA_FINISH_ANY, &status);
      } else if (method_ == kLzma2Method) {
        res = Lzma2Dec_DecodeToBuf(&lzma2_, out, &produced,
                                   static_cast<const Byte*>(input), &consumed,
                                   LZMA_FINISH_ANY, &status);
      } else {
        produced = consumed = available < size ? available : size;
        std::memcpy(out, input, produced);
      }
      if (res != SZ_OK) return res;
      // A block that ends or stalls short of its files is broken.
      if (produced == 0 && consumed == 0) return SZ_ERROR_DATA;
      res = ILookInStream_Skip(in_, consumed);
      if (res != SZ_OK) return res;
      packLeft_ -= consumed;
      out += produced;
      size -= produced;
    }
    return SZ_OK;
  }

 private:
  static constexpr UInt32 kNone = 0xFFFFFFFF;
  CLzmaDec lzma_;
  CLzma2Dec lzma2_;
  ILookInStream* in_ = nullptr;
  UInt32 method_ = kCopyMethod;
  UInt64 packLeft_ = 0;
  UInt32 block_ = kNone;
  UInt32 nextFile_ = 0;
};

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
  BlockReader reader;
  Byte* chunk = nullptr;

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
      if (!reader.hasNext(db, i) && reader.startsBlock(db, i))
        streamed = reader.open(db, db.FileToFolder[i], &lookStream.vt, result);
      else
        streamed = reader.hasNext(db, i);
      if (result != SZ_OK) break;
      if (streamed && chunk == nullptr) {
        chunk = static_cast<Byte*>(ISzAlloc_Alloc(&kAllocator, kOutputChunk));
        if (chunk == nullptr) {
          result = SZ_ERROR_MEM;
          break;
        }
      }
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
        const std::size_t piece =
            left < kOutputChunk ? static_cast<std::size_t>(left) : kOutputChunk;
        result = reader.read(chunk, piece);
        if (result != SZ_OK) break;
        crc = CrcUpdate(crc, chunk, piece);
        if (!platform::writeFile(output, chunk, piece)) result = SZ_ERROR_FAIL;
        if (result != SZ_OK) break;
        left -= piece;
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
      reader.fileDone();
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
  ISzAlloc_Free(&kAllocator, chunk);
  reader.close();
  ISzAlloc_Free(&kAllocator, nameBuffer);
  SzArEx_Free(&db, &kAllocator);
  ISzAlloc_Free(&kAllocator, lookStream.buf);
  File_Close(&archiveStream.file);
  return result;
}
