#include "install/block_reader.h"

#include <cstring>

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

constexpr std::size_t kInputLook = 0x40000;
constexpr std::size_t kBufferSize = 1 << 20;

UInt32 littleEndian32(const Byte* bytes) {
  return bytes[0] | (UInt32{bytes[1]} << 8) | (UInt32{bytes[2]} << 16) |
         (UInt32{bytes[3]} << 24);
}

}  // namespace

BlockReader::BlockReader(ISzAllocPtr alloc) : alloc_(alloc) {
  LzmaDec_Construct(&lzma_);
  Lzma2Dec_Construct(&lzma2_);
  Ppmd7_Construct(&ppmd_);
  source_.vt.Read = readByte;
  source_.reader = this;
}

BlockReader::~BlockReader() {
  close();
  ISzAlloc_Free(alloc_, buffer_);
}

bool BlockReader::open(const CSzArEx& db, UInt32 block, ILookInStream* in,
                       SRes& error) {
  close();
  const CSzAr& ar = db.db;
  const Byte* coders = ar.CodersData + ar.FoCodersOffsets[block];
  CSzData data{coders,
               ar.FoCodersOffsets[block + 1] - ar.FoCodersOffsets[block]};
  CSzFolder folder;
  // The layouts the SDK accepts for one or two coders; it fails the others
  // with its own codes.
  if (SzGetNextFolderItem(&folder, &data) != SZ_OK || data.Size != 0 ||
      folder.UnpackStream != ar.FoToMainUnpackSizeIndex[block] ||
      folder.NumPackStreams != 1 || folder.PackStreams[0] != 0 ||
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

  const UInt32 pack = ar.FoStartPackStreamIndex[block];
  packLeft_ = ar.PackPositions[pack + 1] - ar.PackPositions[pack];
  unpackSize_ = SzAr_GetFolderUnpackSize(&ar, block);
  const CSzCoderInfo& coder = folder.Coders[0];
  if (coder.MethodID == kCopyMethod && packLeft_ != unpackSize_) return false;
  if (!openCoder(coder, coders + coder.PropsOffset, error)) return false;

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
  if (error == SZ_OK)
    error = LookInStream_SeekTo(in, db.dataPos + ar.PackPositions[pack]);
  if (error == SZ_OK && coder_ == Coder::kPpmd) {
    ppmd_.rc.dec.Stream = &source_.vt;
    if (!Ppmd7z_RangeDec_Init(&ppmd_.rc.dec)) error = SZ_ERROR_DATA;
    if (sourceOverrun_)
      error = sourceError_ != SZ_OK ? sourceError_ : SZ_ERROR_DATA;
  }
  return true;
}

bool BlockReader::openCoder(const CSzCoderInfo& coder, const Byte* props,
                            SRes& error) {
  if (coder.MethodID == kCopyMethod) {
    coder_ = Coder::kCopy;
  } else if (coder.MethodID == kLzmaMethod) {
    coder_ = Coder::kLzma;
    // The window never needs to exceed the block: a package packed with a
    // large dictionary costs no more than its size.
    Byte bounded[LZMA_PROPS_SIZE];
    if (coder.PropsSize == LZMA_PROPS_SIZE) {
      std::memcpy(bounded, props, LZMA_PROPS_SIZE);
      UInt32 dictionary = littleEndian32(props + 1);
      if (dictionary > unpackSize_)
        dictionary = static_cast<UInt32>(unpackSize_);
      for (int i = 0; i < 4; ++i)
        bounded[1 + i] = static_cast<Byte>(dictionary >> (8 * i));
      props = bounded;
    }
    error = LzmaDec_Allocate(&lzma_, props, coder.PropsSize, alloc_);
    if (error == SZ_OK) LzmaDec_Init(&lzma_);
  } else if (coder.MethodID == kLzma2Method && coder.PropsSize == 1) {
    coder_ = Coder::kLzma2;
    // The smallest dictionary property that still holds the block.
    Byte prop = props[0];
    for (Byte smaller = 0; smaller < prop && prop <= 40; ++smaller) {
      const UInt64 size = UInt64{2u | (smaller & 1u)} << (smaller / 2 + 11);
      if (size >= unpackSize_) {
        prop = smaller;
        break;
      }
    }
    error = Lzma2Dec_Allocate(&lzma2_, prop, alloc_);
    if (error == SZ_OK) Lzma2Dec_Init(&lzma2_);
  } else if (coder.MethodID == kPpmdMethod && coder.PropsSize == 5) {
    coder_ = Coder::kPpmd;
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
  filter_ = Filter::kBranch;
  switch (coder.MethodID) {
    case kX86Method:
      filter_ = Filter::kX86;
      return true;
    case kPpcMethod:
      branch_ = Z7_BRANCH_CONV_DEC(PPC);
      return true;
    case kIa64Method:
      branch_ = Z7_BRANCH_CONV_DEC(IA64);
      return true;
    case kArmMethod:
      branch_ = Z7_BRANCH_CONV_DEC(ARM);
      return true;
    case kArmtMethod:
      branch_ = Z7_BRANCH_CONV_DEC(ARMT);
      return true;
    case kSparcMethod:
      branch_ = Z7_BRANCH_CONV_DEC(SPARC);
      return true;
    default:
      filter_ = Filter::kNone;
      return false;
  }
}

void BlockReader::close() {
  LzmaDec_Free(&lzma_, alloc_);
  Lzma2Dec_Free(&lzma2_, alloc_);
  Ppmd7_Free(&ppmd_, alloc_);
  filter_ = Filter::kNone;
  block_ = kNone;
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
  const SRes res = decode(buffer_ + end_, wanted);
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

SRes BlockReader::decode(Byte* out, std::size_t size) {
  if (coder_ == Coder::kPpmd) return decodePpmd(out, size);
  while (size != 0) {
    const void* input = nullptr;
    std::size_t available = packLeft_ < kInputLook
                                ? static_cast<std::size_t>(packLeft_)
                                : kInputLook;
    SRes res = ILookInStream_Look(in_, &input, &available);
    if (res != SZ_OK) return res;
    SizeT produced = size;
    SizeT consumed = available;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    if (coder_ == Coder::kLzma) {
      res = LzmaDec_DecodeToBuf(&lzma_, out, &produced,
                                static_cast<const Byte*>(input), &consumed,
                                LZMA_FINISH_ANY, &status);
    } else if (coder_ == Coder::kLzma2) {
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
  if (self.sourceError_ == SZ_OK && self.packLeft_ != 0) {
    self.sourceError_ = ILookInStream_Skip(
        self.in_, static_cast<std::size_t>(self.lookCur_ - self.lookBegin_));
    const void* look = nullptr;
    std::size_t size = self.packLeft_ < kInputLook
                           ? static_cast<std::size_t>(self.packLeft_)
                           : kInputLook;
    if (self.sourceError_ == SZ_OK)
      self.sourceError_ = ILookInStream_Look(self.in_, &look, &size);
    if (self.sourceError_ == SZ_OK && size != 0) {
      self.lookBegin_ = self.lookCur_ = static_cast<const Byte*>(look);
      self.lookEnd_ = self.lookBegin_ + size;
      self.packLeft_ -= size;
      return *self.lookCur_++;
    }
  }
  self.sourceOverrun_ = true;
  return 0;
}

// Checked once the block's last byte has left, as the SDK checks a block
// it decodes whole: PPMd's stream must end exactly with its packed bytes.
SRes BlockReader::checkEnd() {
  if (coder_ == Coder::kPpmd && (!Ppmd7z_RangeDec_IsFinishedOK(&ppmd_.rc.dec) ||
                                 packLeft_ != 0 || lookCur_ != lookEnd_))
    return SZ_ERROR_DATA;
  if (checkBlockCrc_ && CRC_GET_DIGEST(blockCrc_) != expectedBlockCrc_)
    return SZ_ERROR_CRC;
  return SZ_OK;
}
