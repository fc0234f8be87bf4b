// Decoding one block (folder) of a 7z package piece by piece.
#ifndef LAUNCHER_INSTALL_BLOCK_READER_H
#define LAUNCHER_INSTALL_BLOCK_READER_H

#include <cstddef>

#include "7z.h"
#include "Bcj2.h"
#include "Delta.h"
#include "Lzma2Dec.h"
#include "LzmaDec.h"
#include "Ppmd7.h"

// A block decoded piece by piece as its files are written, so memory stays
// at the decoders' dictionaries (or PPMd's model) and a few buffers whatever
// the block's size. It takes every chain the SDK decodes: one LZMA, LZMA2,
// PPMd or Copy coder, alone or under one branch converter or Delta, and
// BCJ2 over three such coders and its range coder's stream.
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
  // Frees the decoders' memory; the buffers stay for the next block.
  void close();

  // Whether file is the next this reader has for its open block.
  bool hasNext(const CSzArEx& db, UInt32 file) const;
  static bool startsBlock(const CSzArEx& db, UInt32 file);
  // Whether every coder of the block is one that this reader or the SDK
  // decodes; others (BZip2, Deflate, AES) would fail only once reached.
  static bool knowsCoders(const CSzArEx& db, UInt32 block);
  void fileDone(const CSzArEx& db);

  // The block's next bytes, at most max and at least one; data stays valid
  // until the next call. Besides the decoders' own codes: SZ_ERROR_DATA for
  // a block that stalls or ends short, or whose PPMd or BCJ2 streams do not
  // end with it, SZ_ERROR_CRC when the block's own CRC fails on its last
  // bytes.
  SRes next(std::size_t max, const Byte*& data, std::size_t& size);

 private:
  enum class Coder { kCopy, kLzma, kLzma2, kPpmd };
  enum class Filter { kNone, kDelta, kX86, kBranch, kBcj2 };
  using BranchConverter = Byte* (*)(Byte*, SizeT, UInt32);

  // One coder and the packed stream it reads.
  struct Stream {
    Coder coder = Coder::kCopy;
    CLzmaDec lzma;
    CLzma2Dec lzma2;
    UInt64 packPosition = 0;  // in the archive
    UInt64 packLeft = 0;
    UInt64 unpackLeft = 0;  // BCJ2's inputs
  };

  // PPMd's byte source over the packed stream.
  struct ByteSource {
    IByteIn vt;
    BlockReader* reader;
  };

  bool openChain(const CSzFolder& folder, const Byte* coders, const CSzArEx& db,
                 UInt32 pack, SRes& error);
  bool openBcj2(const CSzFolder& folder, const Byte* coders, const CSzArEx& db,
                UInt32 pack, UInt32 block, SRes& error);
  bool openCoder(Stream& stream, const CSzCoderInfo& coder, const Byte* props,
                 UInt64 unpackSize, SRes& error);
  bool openFilter(const CSzCoderInfo& coder, const Byte* props);
  SRes decode(Stream& stream, Byte* out, std::size_t size);
  SRes decodePpmd(Byte* out, std::size_t size);
  SRes decodeBcj2(Byte* out, std::size_t size);
  SRes refill();
  std::size_t convert(Byte* data, std::size_t size);
  SRes checkEnd();
  static Byte readByte(IByteInPtr source);

  static constexpr UInt32 kNone = 0xFFFFFFFF;

  ISzAllocPtr alloc_;
  // The block's coder, or BCJ2's streams by their BCJ2_STREAM_ index.
  Stream streams_[BCJ2_NUM_STREAMS];
  // The stream the look-ahead buffer is positioned in.
  Stream* current_ = nullptr;
  CPpmd7 ppmd_;
  ByteSource source_;
  CBcj2Dec bcj2_;
  Filter filter_ = Filter::kNone;
  BranchConverter branch_ = nullptr;
  UInt32 pc_ = 0;
  UInt32 x86State_ = 0;
  unsigned delta_ = 0;
  Byte deltaState_[DELTA_STATE_SIZE] = {};

  ILookInStream* in_ = nullptr;
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
  // BCJ2's inputs, decoded a piece at a time.
  Byte* staging_ = nullptr;
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
