#include "install/block_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "7zCrc.h"
#include "Bra.h"

namespace {

constexpr UInt32 kCopyMethod = 0;
constexpr UInt32 kDeltaMethod = 3;
constexpr UInt32 kArm64Method = 0xA;
constexpr UInt32 kRiscvMethod = 0xB;
constexpr UInt32 kLzma2Method = 0x21;
constexpr UInt32 kLzmaMethod = 0x30101;
constexpr UInt32 kPpmdMethod = 0x30401;
constexpr UInt32 kX86Method = 0x3030103;
constexpr UInt32 kPpcMethod = 0x3030205;
constexpr UInt32 kIa64Method = 0x3030401;
constexpr UInt32 kArmMethod = 0x3030501;
constexpr UInt32 kArmtMethod = 0x3030701;
constexpr UInt32 kSparcMethod = 0x3030805;
constexpr UInt32 kBcj2Method = 0x303011B;

constexpr std::size_t kInputLook = 0x40000;
constexpr std::size_t kBufferSize = 1 << 20;
// BCJ2's staging areas by stream (main, call, jump, range coder): the main
// stream's is the largest, as BCJ2 reads most from it.
constexpr std::size_t kStagingOffsets[BCJ2_NUM_STREAMS + 1] = {
    0, 0x40000, 0x50000, 0x60000, 0x70000};
constexpr std::size_t kStagingSize = kStagingOffsets[BCJ2_NUM_STREAMS];

UInt32 littleEndian32(const Byte* bytes) {
  return bytes[0] | (UInt32{bytes[1]} << 8) | (UInt32{bytes[2]} << 16) |
         (UInt32{bytes[3]} << 24);
}

}  // namespace

BlockReader::BlockReader(ISzAllocPtr alloc) : alloc_(alloc) {
  for (Stream& stream : streams_) {
    LzmaDec_Construct(&stream.lzma);
    Lzma2Dec_Construct(&stream.lzma2);
  }
  Ppmd7_Construct(&ppmd_);
  source_.vt.Read = readByte;
  source_.reader = this;
}

BlockReader::~BlockReader() {
  close();
  ISzAlloc_Free(alloc_, buffer_);
  ISzAlloc_Free(alloc_, staging_);
}

bool BlockReader::open(const CSzArEx& db, UInt32 block, ILookInStream* in,
                       SRes& error) {
  close();
  const CSzAr& ar = db.db;
  const Byte* coders = ar.CodersData + ar.FoCodersOffsets[block];
  CSzData data{coders,
               ar.FoCodersOffsets[block + 1] - ar.FoCodersOffsets[block]};
  CSzFolder folder;
  // Only the layouts the SDK accepts; it fails the others with its codes.
  if (SzGetNextFolderItem(&folder, &data) != SZ_OK || data.Size != 0 ||
      folder.UnpackStream != ar.FoToMainUnpackSizeIndex[block])
    return false;
  unpackSize_ = SzAr_GetFolderUnpackSize(&ar, block);
  const UInt32 pack = ar.FoStartPackStreamIndex[block];
  const bool opened = folder.NumCoders == 4
                          ? openBcj2(folder, coders, db, pack, block, error)
                          : openChain(folder, coders, db, pack, error);
  if (!opened) {
    close();
    return false;
  }

  in_ = in;
  block_ = block;
  nextFile_ = db.FolderToFile[block];
  decoded_ = delivered_ = 0;
  begin_ = ready_ = end_ = 0;
  checkBlockCrc_ = SzBitWithVals_Check(&ar.FolderCRCs, block);
  expectedBlockCrc_ = checkBlockCrc_ ? ar.FolderCRCs.Vals[block] : 0;
  blockCrc_ = CRC_INIT_VAL;
  lookBegin_ = lookCur_ = lookEnd_ = nullptr;
  sourceError_ = SZ_OK;
  sourceOverrun_ = false;
  if (error == SZ_OK && buffer_ == nullptr) {
    buffer_ = static_cast<Byte*>(ISzAlloc_Alloc(alloc_, kBufferSize));
    if (buffer_ == nullptr) error = SZ_ERROR_MEM;
  }
  if (error != SZ_OK) return true;
  if (filter_ == Filter::kBcj2) {
    if (staging_ == nullptr) {
      staging_ = static_cast<Byte*>(ISzAlloc_Alloc(alloc_, kStagingSize));
      if (staging_ == nullptr) {
        error = SZ_ERROR_MEM;
        return true;
      }
    }
    Bcj2Dec_Init(&bcj2_);
    for (unsigned k = 0; k < BCJ2_NUM_STREAMS; ++k)
      bcj2_.bufs[k] = bcj2_.lims[k] = staging_ + kStagingOffsets[k];
    return true;
  }
  error = LookInStream_SeekTo(in, streams_[0].packPosition);
  current_ = &streams_[0];
  if (error == SZ_OK && streams_[0].coder == Coder::kPpmd) {
    ppmd_.rc.dec.Stream = &source_.vt;
    if (!Ppmd7z_RangeDec_Init(&ppmd_.rc.dec)) error = SZ_ERROR_DATA;
    if (sourceOverrun_)
      error = sourceError_ != SZ_OK ? sourceError_ : SZ_ERROR_DATA;
  }
  return true;
}

// One coder over one packed stream, under at most one filter.
bool BlockReader::openChain(const CSzFolder& folder, const Byte* coders,
                            const CSzArEx& db, UInt32 pack, SRes& error) {
  if (folder.NumPackStreams != 1 || folder.PackStreams[0] != 0 ||
      folder.Coders[0].NumStreams != 1)
    return false;
  if (folder.NumCoders == 2) {
    const CSzCoderInfo& filter = folder.Coders[1];
    if (folder.NumBonds != 1 || folder.Bonds[0].InIndex != 1 ||
        folder.Bonds[0].OutIndex != 0 || filter.NumStreams != 1 ||
        !openFilter(filter, coders + filter.PropsOffset))
      return false;
  } else if (folder.NumCoders != 1 || folder.NumBonds != 0) {
    return false;
  }
  const UInt64* positions = db.db.PackPositions + pack;
  Stream& stream = streams_[0];
  stream.packPosition = db.dataPos + positions[0];
  stream.packLeft = positions[1] - positions[0];
  stream.unpackLeft = unpackSize_;
  const CSzCoderInfo& coder = folder.Coders[0];
  if (coder.MethodID == kCopyMethod && stream.packLeft != unpackSize_)
    return false;
  return openCoder(stream, coder, coders + coder.PropsOffset, unpackSize_,
                   error);
}

// BCJ2 in the one layout 7-Zip writes and the SDK reads: coders 0 to 2
// decode the jump, call and main streams from packed streams 3, 2 and 0,
// and packed stream 1 is its range coder's.
bool BlockReader::openBcj2(const CSzFolder& folder, const Byte* coders,
                           const CSzArEx& db, UInt32 pack, UInt32 block,
                           SRes& error) {
  static const UInt32 kFolderPackStreams[] = {2, 6, 1, 0};
  static const UInt32 kPackOf[] = {3, 2, 0};
  static const unsigned kStreamOf[] = {BCJ2_STREAM_JUMP, BCJ2_STREAM_CALL,
                                       BCJ2_STREAM_MAIN};
  const CSzCoderInfo& bcj2 = folder.Coders[3];
  if (bcj2.MethodID != kBcj2Method || bcj2.NumStreams != 4 ||
      folder.NumPackStreams != 4 || folder.NumBonds != 3)
    return false;
  for (unsigned i = 0; i < 4; ++i)
    if (folder.PackStreams[i] != kFolderPackStreams[i]) return false;
  for (unsigned i = 0; i < 3; ++i)
    if (folder.Bonds[i].InIndex != 5 - i || folder.Bonds[i].OutIndex != i)
      return false;
  const UInt64* sizes =
      db.db.CoderUnpackSizes + db.db.FoToCoderUnpackSizes[block];
  if ((sizes[0] & 3) != 0 || (sizes[1] & 3) != 0 ||
      sizes[0] + sizes[1] + sizes[2] != unpackSize_)
    return false;
  const UInt64* positions = db.db.PackPositions + pack;
  for (unsigned i = 0; i < 3; ++i) {
    const CSzCoderInfo& coder = folder.Coders[i];
    Stream& stream = streams_[kStreamOf[i]];
    stream.packPosition = db.dataPos + positions[kPackOf[i]];
    stream.packLeft = positions[kPackOf[i] + 1] - positions[kPackOf[i]];
    stream.unpackLeft = sizes[i];
    // PPMd reads through the one byte source the single chain has.
    if (coder.NumStreams != 1 || coder.MethodID == kPpmdMethod ||
        (coder.MethodID == kCopyMethod && stream.packLeft != sizes[i]) ||
        !openCoder(stream, coder, coders + coder.PropsOffset, sizes[i], error))
      return false;
    if (error != SZ_OK) return true;
  }
  Stream& rc = streams_[BCJ2_STREAM_RC];
  rc.coder = Coder::kCopy;
  rc.packPosition = db.dataPos + positions[1];
  rc.packLeft = rc.unpackLeft = positions[2] - positions[1];
  filter_ = Filter::kBcj2;
  return true;
}

bool BlockReader::openCoder(Stream& stream, const CSzCoderInfo& coder,
                            const Byte* props, UInt64 unpackSize, SRes& error) {
  if (coder.MethodID == kCopyMethod) {
    stream.coder = Coder::kCopy;
  } else if (coder.MethodID == kLzmaMethod) {
    stream.coder = Coder::kLzma;
    // The window never needs to exceed the stream: a package packed with a
    // large dictionary costs no more than its size.
    Byte bounded[LZMA_PROPS_SIZE];
    if (coder.PropsSize == LZMA_PROPS_SIZE) {
      std::memcpy(bounded, props, LZMA_PROPS_SIZE);
      UInt32 dictionary = littleEndian32(props + 1);
      if (dictionary > unpackSize) dictionary = static_cast<UInt32>(unpackSize);
      for (int i = 0; i < 4; ++i)
        bounded[1 + i] = static_cast<Byte>(dictionary >> (8 * i));
      props = bounded;
    }
    error = LzmaDec_Allocate(&stream.lzma, props, coder.PropsSize, alloc_);
    if (error == SZ_OK) LzmaDec_Init(&stream.lzma);
  } else if (coder.MethodID == kLzma2Method && coder.PropsSize == 1) {
    stream.coder = Coder::kLzma2;
    // Lzma2Dec_Allocate's LZMA properties (lc + lp at most 4), with the
    // window bounded by the stream as above: a larger dictionary property
    // could cost half as much address space again.
    const unsigned prop = props[0];
    if (prop > 40) {
      error = SZ_ERROR_UNSUPPORTED;
    } else {
      UInt64 dictionary =
          prop == 40 ? 0xFFFFFFFF : UInt64{2u | (prop & 1u)} << (prop / 2 + 11);
      if (dictionary > unpackSize) dictionary = unpackSize;
      Byte lzmaProps[LZMA_PROPS_SIZE] = {4};
      for (int i = 0; i < 4; ++i)
        lzmaProps[1 + i] = static_cast<Byte>(dictionary >> (8 * i));
      error = LzmaDec_Allocate(&stream.lzma2.decoder, lzmaProps,
                               LZMA_PROPS_SIZE, alloc_);
    }
    if (error == SZ_OK) Lzma2Dec_Init(&stream.lzma2);
  } else if (coder.MethodID == kPpmdMethod && coder.PropsSize == 5) {
    stream.coder = Coder::kPpmd;
    const unsigned order = props[0];
    const UInt32 memory = littleEndian32(props + 1);
    if (order < PPMD7_MIN_ORDER || order > PPMD7_MAX_ORDER ||
        memory < PPMD7_MIN_MEM_SIZE || memory > PPMD7_MAX_MEM_SIZE)
      return false;
    if (Ppmd7_Alloc(&ppmd_, memory, alloc_))
      Ppmd7_Init(&ppmd_, order);
    else
      error = SZ_ERROR_MEM;
  } else {
    return false;
  }
  return true;
}

bool BlockReader::openFilter(const CSzCoderInfo& coder, const Byte* props) {
  pc_ = 0;
  x86State_ = Z7_BRANCH_CONV_ST_X86_STATE_INIT_VAL;
  switch (coder.MethodID) {
    case kDeltaMethod:
      if (coder.PropsSize != 1) return false;
      filter_ = Filter::kDelta;
      delta_ = props[0] + 1u;
      Delta_Init(deltaState_);
      return true;
    case kArm64Method:
    case kRiscvMethod: {
      // These two may start at a given address.
      const UInt32 alignment = coder.MethodID == kArm64Method ? 3 : 1;
      if (coder.PropsSize == 4) {
        pc_ = littleEndian32(props);
        if ((pc_ & alignment) != 0) return false;
      } else if (coder.PropsSize != 0) {
        return false;
      }
      filter_ = Filter::kBranch;
      branch_ = coder.MethodID == kArm64Method ? Z7_BRANCH_CONV_DEC(ARM64)
                                               : Z7_BRANCH_CONV_DEC(RISCV);
      return true;
    }
    default:
      break;
  }
  if (coder.PropsSize != 0) return false;
  if (coder.MethodID == kX86Method) {
    filter_ = Filter::kX86;
    return true;
  }
  static const struct {
    UInt32 method;
    BranchConverter convert;
  } kBranchMethods[] = {{kPpcMethod, Z7_BRANCH_CONV_DEC(PPC)},
                        {kIa64Method, Z7_BRANCH_CONV_DEC(IA64)},
                        {kArmMethod, Z7_BRANCH_CONV_DEC(ARM)},
                        {kArmtMethod, Z7_BRANCH_CONV_DEC(ARMT)},
                        {kSparcMethod, Z7_BRANCH_CONV_DEC(SPARC)}};
  for (const auto& branch : kBranchMethods) {
    if (branch.method != coder.MethodID) continue;
    filter_ = Filter::kBranch;
    branch_ = branch.convert;
    return true;
  }
  filter_ = Filter::kNone;
  return false;
}

void BlockReader::close() {
  for (Stream& stream : streams_) {
    LzmaDec_Free(&stream.lzma, alloc_);
    Lzma2Dec_Free(&stream.lzma2, alloc_);
    stream.coder = Coder::kCopy;
  }
  Ppmd7_Free(&ppmd_, alloc_);
  filter_ = Filter::kNone;
  current_ = nullptr;
  block_ = kNone;
}

bool BlockReader::knowsCoders(const CSzArEx& db, UInt32 block) {
  static const UInt32 kKnown[] = {
      kCopyMethod, kDeltaMethod, kArm64Method, kRiscvMethod, kLzma2Method,
      kLzmaMethod, kPpmdMethod,  kX86Method,   kPpcMethod,   kIa64Method,
      kArmMethod,  kArmtMethod,  kSparcMethod, kBcj2Method};
  const CSzAr& ar = db.db;
  CSzData data{ar.CodersData + ar.FoCodersOffsets[block],
               ar.FoCodersOffsets[block + 1] - ar.FoCodersOffsets[block]};
  CSzFolder folder;
  if (SzGetNextFolderItem(&folder, &data) != SZ_OK) return false;
  for (UInt32 c = 0; c < folder.NumCoders; ++c) {
    const UInt32 method = folder.Coders[c].MethodID;
    if (std::find(std::begin(kKnown), std::end(kKnown), method) ==
        std::end(kKnown))
      return false;
  }
  return true;
}

bool BlockReader::hasNext(const CSzArEx& db, UInt32 file) const {
  return block_ != kNone && db.FileToFolder[file] == block_ &&
         nextFile_ == file;
}

bool BlockReader::startsBlock(const CSzArEx& db, UInt32 file) {
  const UInt32 block = db.FileToFolder[file];
  return block != kNone && db.FolderToFile[block] == file;
}

void BlockReader::fileDone(const CSzArEx& db) {
  // Entries without data (folders, empty files) may sit between a block's
  // files.
  do {
    ++nextFile_;
  } while (nextFile_ < db.NumFiles && db.FileToFolder[nextFile_] == kNone);
}

SRes BlockReader::next(std::size_t max, const Byte*& data, std::size_t& size) {
  while (begin_ == ready_) {
    const SRes res = refill();
    if (res != SZ_OK) return res;
  }
  size = ready_ - begin_ < max ? ready_ - begin_ : max;
  data = buffer_ + begin_;
  begin_ += size;
  delivered_ += size;
  if (checkBlockCrc_) blockCrc_ = CrcUpdate(blockCrc_, data, size);
  return delivered_ == unpackSize_ ? checkEnd() : SZ_OK;
}

SRes BlockReader::refill() {
  // What the converter held back moves to the front, ahead of the bytes
  // it was waiting for.
  std::memmove(buffer_, buffer_ + ready_, end_ - ready_);
  end_ -= ready_;
  begin_ = ready_ = 0;
  std::size_t wanted = kBufferSize - end_;
  if (wanted > unpackSize_ - decoded_)
    wanted = static_cast<std::size_t>(unpackSize_ - decoded_);
  // The block ends short of its files.
  if (wanted == 0) return SZ_ERROR_DATA;
  const SRes res = filter_ == Filter::kBcj2
                       ? decodeBcj2(buffer_ + end_, wanted)
                       : decode(streams_[0], buffer_ + end_, wanted);
  if (res != SZ_OK) return res;
  end_ += wanted;
  decoded_ += wanted;
  ready_ = convert(buffer_, end_);
  // A block converted whole leaves its last few bytes as they are.
  if (decoded_ == unpackSize_) ready_ = end_;
  return SZ_OK;
}

std::size_t BlockReader::convert(Byte* data, std::size_t size) {
  std::size_t converted = size;
  switch (filter_) {
    case Filter::kNone:
    case Filter::kBcj2:
      break;
    case Filter::kDelta:
      Delta_Decode(deltaState_, delta_, data, size);
      break;
    case Filter::kX86:
      converted = static_cast<std::size_t>(
          z7_BranchConvSt_X86_Dec(data, size, pc_, &x86State_) - data);
      break;
    case Filter::kBranch:
      converted = static_cast<std::size_t>(branch_(data, size, pc_) - data);
      break;
  }
  pc_ += static_cast<UInt32>(converted);
  return converted;
}

SRes BlockReader::decode(Stream& stream, Byte* out, std::size_t size) {
  if (stream.coder == Coder::kPpmd) return decodePpmd(out, size);
  // BCJ2's streams take turns at the one look-ahead buffer.
  if (current_ != &stream) {
    const SRes res = LookInStream_SeekTo(in_, stream.packPosition);
    if (res != SZ_OK) return res;
    current_ = &stream;
  }
  while (size != 0) {
    const void* input = nullptr;
    std::size_t available = stream.packLeft < kInputLook
                                ? static_cast<std::size_t>(stream.packLeft)
                                : kInputLook;
    SRes res = ILookInStream_Look(in_, &input, &available);
    if (res != SZ_OK) return res;
    SizeT produced = size;
    SizeT consumed = available;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    if (stream.coder == Coder::kLzma) {
      res = LzmaDec_DecodeToBuf(&stream.lzma, out, &produced,
                                static_cast<const Byte*>(input), &consumed,
                                LZMA_FINISH_ANY, &status);
    } else if (stream.coder == Coder::kLzma2) {
      res = Lzma2Dec_DecodeToBuf(&stream.lzma2, out, &produced,
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
    stream.packLeft -= consumed;
    stream.packPosition += consumed;
    out += produced;
    size -= produced;
  }
  return SZ_OK;
}

// BCJ2 asks for more of one input at a time; each is decoded into its own
// staging area, and the call and jump streams come in whole 32-bit words.
SRes BlockReader::decodeBcj2(Byte* out, std::size_t size) {
  bcj2_.dest = out;
  bcj2_.destLim = out + size;
  for (;;) {
    SRes res = Bcj2Dec_Decode(&bcj2_);
    if (res != SZ_OK) return res;
    if (bcj2_.dest == bcj2_.destLim) return SZ_OK;
    const unsigned wanted = bcj2_.state;
    if (wanted >= BCJ2_NUM_STREAMS || bcj2_.bufs[wanted] != bcj2_.lims[wanted])
      return SZ_ERROR_DATA;
    Stream& stream = streams_[wanted];
    const std::size_t capacity =
        kStagingOffsets[wanted + 1] - kStagingOffsets[wanted];
    const std::size_t piece = stream.unpackLeft < capacity
                                  ? static_cast<std::size_t>(stream.unpackLeft)
                                  : capacity;
    if (piece == 0) return SZ_ERROR_DATA;
    Byte* staging = staging_ + kStagingOffsets[wanted];
    res = decode(stream, staging, piece);
    if (res != SZ_OK) return res;
    stream.unpackLeft -= piece;
    bcj2_.bufs[wanted] = staging;
    bcj2_.lims[wanted] = staging + piece;
  }
}

SRes BlockReader::decodePpmd(Byte* out, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const int symbol = Ppmd7z_DecodeSymbol(&ppmd_);
    if (sourceOverrun_)
      return sourceError_ != SZ_OK ? sourceError_ : SZ_ERROR_DATA;
    if (symbol < 0) return SZ_ERROR_DATA;
    out[i] = static_cast<Byte>(symbol);
  }
  return SZ_OK;
}

// PPMd reads its input a byte at a time; these come from the look-ahead
// buffer, bounded by the packed stream.
Byte BlockReader::readByte(IByteInPtr source) {
  BlockReader& self = *reinterpret_cast<const ByteSource*>(source)->reader;
  if (self.lookCur_ != self.lookEnd_) return *self.lookCur_++;
  UInt64& packLeft = self.streams_[0].packLeft;
  if (self.sourceError_ == SZ_OK && packLeft != 0) {
    self.sourceError_ = ILookInStream_Skip(
        self.in_, static_cast<std::size_t>(self.lookCur_ - self.lookBegin_));
    const void* look = nullptr;
    std::size_t size =
        packLeft < kInputLook ? static_cast<std::size_t>(packLeft) : kInputLook;
    if (self.sourceError_ == SZ_OK)
      self.sourceError_ = ILookInStream_Look(self.in_, &look, &size);
    if (self.sourceError_ == SZ_OK && size != 0) {
      self.lookBegin_ = self.lookCur_ = static_cast<const Byte*>(look);
      self.lookEnd_ = self.lookBegin_ + size;
      packLeft -= size;
      return *self.lookCur_++;
    }
  }
  self.sourceOverrun_ = true;
  return 0;
}

// Checked once the block's last byte has left, as the SDK checks a block
// it decodes whole: PPMd's stream must end exactly with its packed bytes,
// and BCJ2 must have used all of each input and finished its range coder.
SRes BlockReader::checkEnd() {
  if (streams_[0].coder == Coder::kPpmd &&
      (!Ppmd7z_RangeDec_IsFinishedOK(&ppmd_.rc.dec) ||
       streams_[0].packLeft != 0 || lookCur_ != lookEnd_))
    return SZ_ERROR_DATA;
  if (filter_ == Filter::kBcj2) {
    for (unsigned k = 0; k < BCJ2_NUM_STREAMS; ++k)
      if (bcj2_.bufs[k] != bcj2_.lims[k] || streams_[k].unpackLeft != 0)
        return SZ_ERROR_DATA;
    if (!Bcj2Dec_IsMaybeFinished(&bcj2_)) return SZ_ERROR_DATA;
  }
  if (checkBlockCrc_ && CRC_GET_DIGEST(blockCrc_) != expectedBlockCrc_)
    return SZ_ERROR_CRC;
  return SZ_OK;
}
