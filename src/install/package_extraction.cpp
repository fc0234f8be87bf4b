#include "install/package_extraction.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "7z.h"
#include "7zCrc.h"
#include "7zTypes.h"
#include "catalogue/module_names.h"
#include "install/block_reader.h"

namespace {

using platform::Utf16;

constexpr std::size_t kInputBufferSize = 0x40000;
constexpr int kUnsafeEntry = 12;

// Entries are unpacked into a folder of their own under this one, inside the
// destination, and moved into place only when every one has been written:
// renames within one volume, so a failure part way leaves the destination as
// it was. The files they replace wait in that folder too, until they can be
// removed.
constexpr char kStagingName[] = ".unpacking";
// Its folders are numbered; one whose number a leftover still holds is
// passed over.
constexpr unsigned kStagingAttempts = 100;
// Beside a staging folder's "new" and "old" once its files are all in place.
constexpr char kCommittedMark[] = "committed";
std::atomic<unsigned long> stagingNumber{0};

// The attribute word: Unix permissions and file type in the high half when
// 0x8000 flags them (an archive made on Unix); a reparse point in the low
// half (an archive made on Windows).
constexpr std::uint32_t kUnixExtension = 0x8000;
constexpr std::uint32_t kUnixType = 0xF000;
constexpr std::uint32_t kUnixLink = 0xA000;
constexpr std::uint32_t kReparsePoint = 0x400;

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

// The archive as the decoder reads it, opened by the platform layer, which
// takes UTF-8 paths on every system (the SDK's own file calls take the ANSI
// code page on Windows). A package is under 2 GiB (its size is 32 bits), so
// fseek reaches all of it everywhere.
struct ArchiveFile {
  ISeekInStream vt;
  std::FILE* file;
};

std::FILE* fileOf(ISeekInStreamPtr stream) {
  return reinterpret_cast<const ArchiveFile*>(stream)->file;
}

SRes readArchive(ISeekInStreamPtr stream, void* buffer, std::size_t* size) {
  std::FILE* file = fileOf(stream);
  *size = std::fread(buffer, 1, *size, file);
  return std::ferror(file) ? SZ_ERROR_READ : SZ_OK;
}

SRes seekArchive(ISeekInStreamPtr stream, Int64* position, ESzSeek origin) {
  std::FILE* file = fileOf(stream);
  const long offset = static_cast<long>(*position);
  if (offset != *position) return SZ_ERROR_READ;
  const int whence = origin == SZ_SEEK_SET   ? SEEK_SET
                     : origin == SZ_SEEK_CUR ? SEEK_CUR
                                             : SEEK_END;
  if (std::fseek(file, offset, whence) != 0) return SZ_ERROR_READ;
  const long at = std::ftell(file);
  if (at < 0) return SZ_ERROR_READ;
  *position = at;
  return SZ_OK;
}

Utf16 nameUnit(const Byte* name, std::size_t index) {
  return static_cast<Utf16>(name[2 * index] | (name[2 * index + 1] << 8));
}

// The archive's own UTF-16LE name bytes, terminator included: every
// "/"-separated segment must be a plain file name (module_names.h), so an
// accepted name can only name a file inside the destination, on any
// system; and the first may not be the staging folder's, in any case.
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
  std::size_t k = 0;
  for (; kStagingName[k] != '\0' && k < units; ++k) {
    Utf16 unit = nameUnit(name, k);
    if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
    if (unit != static_cast<Utf16>(kStagingName[k])) return true;
  }
  return kStagingName[k] != '\0' || (k < units && nameUnit(name, k) != '/');
}

bool isLink(const CSzArEx& db, UInt32 i) {
  if (!SzBitWithVals_Check(&db.Attribs, i)) return false;
  const std::uint32_t word = db.Attribs.Vals[i];
  return (word & kReparsePoint) != 0 ||
         ((word & kUnixExtension) != 0 &&
          ((word >> 16) & kUnixType) == kUnixLink);
}

// What can be known before anything is written: every name is safe, no
// entry is a link (which would be written as a file holding the link's
// target), and every block's coders can be decoded. Gives the longest name
// in units, terminator included.
SRes checkEntries(const CSzArEx& db, std::size_t& longestName) {
  // An archive may store no names at all (7-Zip packing standard input
  // does so): its entries name nothing inside the destination.
  if (db.NumFiles != 0 && db.FileNameOffsets == nullptr) return kUnsafeEntry;
  longestName = 0;
  for (UInt32 i = 0; i < db.NumFiles; ++i) {
    const std::size_t length = SzArEx_GetFileNameUtf16(&db, i, nullptr);
    if (!isSafeName(db.FileNames + 2 * db.FileNameOffsets[i], length) ||
        isLink(db, i))
      return kUnsafeEntry;
    if (length > longestName) longestName = length;
  }
  for (UInt32 block = 0; block < db.db.NumFolders; ++block)
    if (!BlockReader::knowsCoders(db, block)) return SZ_ERROR_UNSUPPORTED;
  return SZ_OK;
}

std::uint64_t fileTime(const CNtfsFileTime& time) {
  return (static_cast<std::uint64_t>(time.High) << 32) | time.Low;
}

// A path buffer: a fixed prefix (a directory) and, behind a separator, one
// entry's name with its "/" turned into the system's separator.
class EntryPath {
 public:
  void reserve(std::size_t units) { units_.assign(units, 0); }
  void setPrefix(const Utf16* text, std::size_t length) {
    std::memcpy(units_.data(), text, length * sizeof(Utf16));
    prefix_ = length;
    units_[prefix_] = 0;
  }
  // Appends a separator and an ASCII name to the prefix.
  void extendPrefix(const char* name) {
    units_[prefix_++] = platform::kPathSeparator;
    for (; *name != '\0'; ++name) units_[prefix_++] = static_cast<Utf16>(*name);
    units_[prefix_] = 0;
  }
  void cutPrefix(std::size_t length) {
    prefix_ = length;
    units_[prefix_] = 0;
  }
  std::size_t prefixLength() const { return prefix_; }
  Utf16* prefix() {
    units_[prefix_] = 0;
    return units_.data();
  }

  // The entry's path, its missing parents made one level at a time, so
  // that entries need no folder entries of their own.
  Utf16* entry(const CSzArEx& db, UInt32 i) {
    units_[prefix_] = platform::kPathSeparator;
    Utf16* const name = units_.data() + prefix_ + 1;
    SzArEx_GetFileNameUtf16(&db, i, name);
    for (Utf16* unit = name; *unit != 0; ++unit) {
      if (*unit != '/') continue;
      *unit = 0;
      platform::createDirectory(units_.data());
      *unit = platform::kPathSeparator;
    }
    return units_.data();
  }

 private:
  std::vector<Utf16> units_;
  std::size_t prefix_ = 0;
};

// One call's staging folder: the unpacked entries under "new", the files
// they replace under "old".
class Staging {
 public:
  Staging() = default;
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging() { remove(); }

  // Makes the destination (one level, as before staging existed) and a
  // folder of its own in it. SZ_ERROR_FAIL when neither can be made.
  SRes open(const Utf16* destination, std::size_t length,
            std::size_t longestName, UInt32 entries) {
    // The staging folder's own part: separator, name, separator, number.
    constexpr std::size_t kStagingPart = 2 + sizeof kStagingName + 20;
    constexpr std::size_t kTreePart = 4;  // "\new", "\old"
    const std::size_t units =
        length + kStagingPart + kTreePart + 1 + longestName;
    try {
      target_.reserve(units);
      staged_.reserve(units);
      aside_.reserve(units);
      kept_.assign(entries, 0);
    } catch (const std::bad_alloc&) {
      return SZ_ERROR_MEM;
    }
    target_.setPrefix(destination, length);
    platform::createDirectory(target_.prefix());
    staged_.setPrefix(destination, length);
    staged_.extendPrefix(kStagingName);
    parent_ = staged_.prefixLength();
    for (unsigned attempt = 0; attempt < kStagingAttempts; ++attempt) {
      // Another call may have removed the parent the moment it emptied it.
      staged_.cutPrefix(parent_);
      platform::createDirectory(staged_.prefix());
      char number[24];
      std::snprintf(number, sizeof number, "%lu", stagingNumber++);
      staged_.extendPrefix(number);
      if (platform::createDirectory(staged_.prefix())) {
        root_ = staged_.prefixLength();
        break;
      }
    }
    if (root_ == 0) return SZ_ERROR_FAIL;
    aside_.setPrefix(staged_.prefix(), root_);
    staged_.extendPrefix("new");
    aside_.extendPrefix("old");
    if (!platform::createDirectory(staged_.prefix()) ||
        !platform::createDirectory(aside_.prefix()))
      return SZ_ERROR_FAIL;
    return SZ_OK;
  }

  Utf16* staged(const CSzArEx& db, UInt32 i) { return staged_.entry(db, i); }

  // Keeps every file that an entry replaces, then moves every entry into
  // place; when either step fails, whatever was moved goes back.
  SRes commit(const CSzArEx& db) {
    // Two modules' packages may carry the same file (a shared helper): one
    // commit's rollback must not undo what the other placed. A leaf lock,
    // held only around these moves.
    static std::mutex commitLock;
    std::lock_guard<std::mutex> guard(commitLock);
    UInt32 kept = 0;
    UInt32 placed = 0;
    bool failed = false;
    for (; kept < db.NumFiles; ++kept) {
      if (SzArEx_IsDir(&db, kept)) continue;
      const int outcome =
          platform::keepAside(target_.entry(db, kept), aside_.entry(db, kept));
      if (outcome < 0) {
        failed = true;
        break;
      }
      kept_[kept] = static_cast<signed char>(outcome);
    }
    for (; !failed && placed < db.NumFiles; ++placed) {
      Utf16* const target = target_.entry(db, placed);
      if (SzArEx_IsDir(&db, placed)) {
        platform::createDirectory(target);
      } else if (!platform::replaceFile(staged_.entry(db, placed), target)) {
        failed = true;
        break;
      }
    }
    if (!failed) {
      markCommitted();
      return SZ_OK;
    }
    for (UInt32 i = placed; i-- > 0;) {
      if (!SzArEx_IsDir(&db, i) && kept_[i] == 0)
        platform::removeOutputFile(target_.entry(db, i));
    }
    for (UInt32 i = kept; i-- > 0;) {
      if (!SzArEx_IsDir(&db, i) && kept_[i] == 1 &&
          !platform::replaceFile(aside_.entry(db, i), target_.entry(db, i)))
        restorePending_ = true;
    }
    return SZ_ERROR_FAIL;
  }

  // Whatever stays (a replaced file still in use) goes at the next start,
  // and so do originals a rollback could not put back: that start tries
  // again (removeUnpackLeftovers).
  void remove() {
    if (root_ == 0 || restorePending_) return;
    staged_.cutPrefix(root_);
    platform::removeTree(staged_.prefix());
    // Only when empty: other calls may be staging beside this one.
    staged_.cutPrefix(parent_);
    platform::removeDirectory(staged_.prefix());
    root_ = 0;
  }

 private:
  EntryPath target_;
  EntryPath staged_;
  EntryPath aside_;
  // Prefix lengths of the staging folders' parent and of this call's own.
  std::size_t parent_ = 0;
  std::size_t root_ = 0;
  // Per entry: 1 when a file it replaces was kept aside.
  std::vector<signed char> kept_;
  bool restorePending_ = false;

  // Until this mark exists, the next start takes what is kept aside for the
  // originals of an unfinished commit and puts them back; a commit that
  // went through keeps its new files, whatever of the old stays in use.
  void markCommitted() {
    staged_.cutPrefix(root_);
    staged_.extendPrefix(kCommittedMark);
    const platform::FileHandle mark =
        platform::createOutputFile(staged_.prefix());
    if (mark != platform::kNoFile) platform::closeFile(mark);
  }
};

// Writes every file entry into the staging folder, in archive order.
SRes unpackEntries(const CSzArEx& db, ILookInStream* in, Staging& staging) {
  UInt32 blockIndex = 0xFFFFFFFF;
  Byte* blockBuffer = nullptr;
  std::size_t blockBufferSize = 0;
  platform::FileHandle output = platform::kNoFile;
  BlockReader reader(&kAllocator);

  SRes result = SZ_OK;
  for (UInt32 i = 0; result == SZ_OK && i < db.NumFiles; ++i) {
    // Folders are made in place; they hold nothing to stage.
    if (SzArEx_IsDir(&db, i)) continue;

    std::size_t offset = 0;
    std::size_t size = 0;
    bool streamed = false;
    if (SzArEx_GetFileSize(&db, i) != 0) {
      if (!reader.hasNext(db, i) && BlockReader::startsBlock(db, i))
        streamed = reader.open(db, db.FileToFolder[i], in, result);
      else
        streamed = reader.hasNext(db, i);
      if (result != SZ_OK) break;
    }
    if (!streamed) {
      result = SzArEx_Extract(&db, in, i, &blockIndex, &blockBuffer,
                              &blockBufferSize, &offset, &size, &kAllocator,
                              &kAllocator);
      if (result != SZ_OK) break;
    }

    Utf16* const path = staging.staged(db, i);
    output = platform::createOutputFile(path);
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
      if (result != SZ_OK) break;
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
    if (SzBitWithVals_Check(&db.Attribs, i))
      platform::setFileAttributes(path, db.Attribs.Vals[i]);
  }

  // A file left open by a failure goes with the staging folder.
  if (output != platform::kNoFile) platform::closeFile(output);
  ISzAlloc_Free(&kAllocator, blockBuffer);
  reader.close();
  return result;
}

}  // namespace

int extractPackage(const char* archivePath,
                   const platform::Utf16* destinationDirectory,
                   std::size_t destinationLength) {
  errno = 0;
  ArchiveFile archive{{readArchive, seekArchive},
                      platform::openFile(archivePath, "rb")};
  if (archive.file == nullptr) return errno != 0 ? errno : SZ_ERROR_READ;

  CLookToRead2 lookStream;
  LookToRead2_CreateVTable(&lookStream, False);
  lookStream.realStream = &archive.vt;
  lookStream.buf =
      static_cast<Byte*>(ISzAlloc_Alloc(&kAllocator, kInputBufferSize));
  lookStream.bufSize = kInputBufferSize;
  LookToRead2_INIT(&lookStream);

  CSzArEx db;
  SzArEx_Init(&db);
  SRes result = SZ_OK;
  if (lookStream.buf == nullptr) {
    result = SZ_ERROR_MEM;
  } else {
    std::call_once(crcTableOnce, CrcGenerateTable);
    result = SzArEx_Open(&db, &lookStream.vt, &kAllocator, &kAllocator);
  }
  std::size_t longestName = 0;
  if (result == SZ_OK) result = checkEntries(db, longestName);
  // Without entries not even the destination is made.
  if (result == SZ_OK && db.NumFiles != 0) {
    Staging staging;
    result = staging.open(destinationDirectory, destinationLength, longestName,
                          db.NumFiles);
    if (result == SZ_OK) result = unpackEntries(db, &lookStream.vt, staging);
    if (result == SZ_OK) result = staging.commit(db);
  }

  SzArEx_Free(&db, &kAllocator);
  ISzAlloc_Free(&kAllocator, lookStream.buf);
  std::fclose(archive.file);
  return result;
}

namespace {

// NUL-terminated UTF-16 paths for the walk over leftovers.
using Units = std::vector<Utf16>;

Units joined(const Units& folder, const Utf16* name) {
  Units path(folder.begin(), folder.end() - 1);
  path.push_back(platform::kPathSeparator);
  for (; *name != 0; ++name) path.push_back(*name);
  path.push_back(0);
  return path;
}

Units joined(const Units& folder, const char* name) {
  Units units(name, name + std::strlen(name) + 1);
  return joined(folder, units.data());
}

struct Listing {
  std::vector<Units> names;
  std::vector<bool> folders;
  bool has(const char* name) const {
    const std::size_t length = std::strlen(name) + 1;
    for (const Units& entry : names)
      if (entry.size() == length &&
          std::equal(name, name + length, entry.begin()))
        return true;
    return false;
  }
};

void collect(void* context, const Utf16* name, bool isFolder) {
  auto* listing = static_cast<Listing*>(context);
  std::size_t length = 0;
  while (name[length] != 0) ++length;
  listing->names.emplace_back(name, name + length + 1);
  listing->folders.push_back(isFolder);
}

// Moves every file under aside back to its place under target, replacing
// what an unfinished commit put there. True when each one went back (or
// there was nothing).
bool restoreKept(const Units& aside, const Units& target) {
  Listing listing;
  if (!platform::listDirectory(aside.data(), collect, &listing)) return true;
  bool restored = true;
  for (std::size_t i = 0; i < listing.names.size(); ++i) {
    const Units from = joined(aside, listing.names[i].data());
    const Units to = joined(target, listing.names[i].data());
    if (listing.folders[i]) {
      platform::createDirectory(to.data());
      restored = restoreKept(from, to) && restored;
    } else {
      restored = platform::replaceFile(from.data(), to.data()) && restored;
    }
  }
  return restored;
}

}  // namespace

void removeUnpackLeftovers(const platform::Utf16* destinationDirectory,
                           std::size_t destinationLength) {
  try {
    Units destination(destinationDirectory,
                      destinationDirectory + destinationLength);
    destination.push_back(0);
    const Units staging = joined(destination, kStagingName);
    Listing runs;
    if (!platform::listDirectory(staging.data(), collect, &runs)) return;
    bool keep = false;
    for (std::size_t i = 0; i < runs.names.size(); ++i) {
      const Units run = joined(staging, runs.names[i].data());
      Listing inside;
      // A commit cut short (a killed process, a rollback that failed) had
      // moved originals aside: they go back before anything is removed,
      // and stay for the next start if they cannot.
      if (runs.folders[i] &&
          platform::listDirectory(run.data(), collect, &inside) &&
          !inside.has(kCommittedMark) &&
          !restoreKept(joined(run, "old"), destination)) {
        keep = true;
        continue;
      }
      platform::removeTree(run.data());
    }
    if (!keep) platform::removeTree(staging.data());
  } catch (const std::bad_alloc&) {
  }
}
