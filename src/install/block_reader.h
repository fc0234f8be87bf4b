// Decoding one block (folder) of a 7z package piece by piece.
#ifndef LAUNCHER_INSTALL_BLOCK_READER_H
#define LAUNCHER_INSTALL_BLOCK_READER_H

#include <cstddef>

#include "7z.h"
#include "Delta.h"
#include "Lzma2Dec.h"
#include "LzmaDec.h"
#include "Ppmd7.h"

// A block decoded piece by piece as its files are written, so memory stays
// at the decoder's dictionary (or PPMd's model) and one buffer whatever the
// block's size. It takes the chains packers make: one LZMA, LZMA2, PPMd or
// Copy coder over one packed stream, alone or under one branch converter
// (what 7-Zip puts over executables and libraries) or Delta. The SDK decodes
// any other block whole (BCJ2's four streams among them).
class BlockReader {
 public:
  explicit BlockReader(ISzAllocPtr alloc);
  ~BlockReader();
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // False when the block is not one this reader decodes, or is one whose
  // header the SDK would refuse (it then says why); error is set when the
  // block is this reader's but cannot be started.
  bool open(const CSzArEx& db, UInt32 block, ILookInStream* in, SRes& error);
  // Frees the decoder's memory; the buffer stays for the next block.
  void close();

  // Whether file is the next this reader has for its open block.
  bool hasNext(const CSzArEx& db, UInt32 file) const;
  static bool startsBlock(const CSzArEx& db, UInt32 file);
  void fileDone(const CSzArEx& db);

  // The block's next bytes, at most max and at least one; data stays valid
  // until the next call. Besides the decoder's own codes: SZ_ERROR_DATA for
  // a block that stalls or ends short, or whose PPMd stream does not end
  // cleanly, SZ_ERROR_CRC when the block's own CRC fails on its last bytes.
  SRes next(std::size_t max, const Byte*& data, std::size_t& size);

 private:
  enum class Coder { kCopy, kLzma, kLzma2, kPpmd };
  enum class Filter { kNone, kDelta, kX86, kBranch };
  using BranchConverter = Byte* (*)(Byte*, SizeT, UInt32);

  // PPMd's byte source over the packed stream.
  struct ByteSource {
    IByteIn vt;
    BlockReader* reader;
  };

  bool openCoder(const CSzCoderInfo& coder, const Byte* props, SRes& error);
  bool openFilter(const CSzCoderInfo& coder, const Byte* props);
  SRes decode(Byte* out, std::size_t size);
  SRes decodePpmd(Byte* out, std::size_t size);
  SRes refill();
  std::size_t convert(Byte* data, std::size_t size);
  SRes checkEnd();
  static Byte readByte(IByteInPtr source);

  static constexpr UInt32 kNone = 0xFFFFFFFF;

  ISzAllocPtr alloc_;
  CLzmaDec lzma_;
  CLzma2Dec lzma2_;
  CPpmd7 ppmd_;
  ByteSource source_;
  Coder coder_ = Coder::kCopy;
  Filter filter_ = Filter::kNone;
  BranchConverter branch_ = nullptr;
  UInt32 pc_ = 0;
  UInt32 x86State_ = 0;
  unsigned delta_ = 0;
  Byte deltaState_[DELTA_STATE_SIZE] = {};

  ILookInStream* in_ = nullptr;
  UInt64 packLeft_ = 0;
  // The packed bytes PPMd has looked at and not yet skipped.
  const Byte* lookBegin_ = nullptr;
  const Byte* lookCur_ = nullptr;
  const Byte* lookEnd_ = nullptr;
  SRes sourceError_ = SZ_OK;
  bool sourceOverrun_ = false;

  // Decoded bytes: [begin_, ready_) are converted and not yet handed out,
  // [ready_, end_) wait for the bytes after them (a branch converter reads
  // a few bytes ahead of what it converts).
  Byte* buffer_ = nullptr;
  std::size_t begin_ = 0;
  std::size_t ready_ = 0;
  std::size_t end_ = 0;
  UInt64 unpackSize_ = 0;
  UInt64 decoded_ = 0;
  UInt64 delivered_ = 0;
  bool checkBlockCrc_ = false;
  UInt32 blockCrc_ = 0;
  UInt32 expectedBlockCrc_ = 0;

  UInt32 block_ = kNone;
  UInt32 nextFile_ = 0;
};

#endif
