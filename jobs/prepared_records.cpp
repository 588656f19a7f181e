// Packing and unpacking prepared records. The layout is private to this file and
// lives only for one pass, so it needs no version and no byte-order care.
#include "jobs/prepared_records.h"

#include <algorithm>
#include <cstring>

namespace cardsync::jobs {
namespace {

constexpr std::size_t kBlockBytes = 64 * 1024;

enum Tag : char { kNull, kInteger, kText, kTimestamp, kDecimal };

void PutRaw(std::string& out, const void* bytes, std::size_t size) {
  out.append(static_cast<const char*>(bytes), size);
}

// Lengths as base-128 varints: a short text costs one byte of length.
void PutLength(std::string& out, std::size_t length) {
  while (length >= 0x80) {
    out += char(0x80 | (length & 0x7f));
    length >>= 7;
  }
  out += char(length);
}

void PutValue(std::string& out, const db::Value& value) {
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    out += kInteger;
    PutRaw(out, number, sizeof *number);
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    out += kText;
    PutLength(out, text->size());
    out += *text;
  } else if (const auto* stamp = std::get_if<db::Timestamp>(&value)) {
    out += kTimestamp;
    const std::int16_t year = std::int16_t(stamp->year);
    PutRaw(out, &year, sizeof year);
    for (int part : {stamp->month, stamp->day, stamp->hour, stamp->minute, stamp->second})
      out += char(part);
  } else if (const auto* decimal = std::get_if<db::Decimal>(&value)) {
    out += kDecimal;
    PutLength(out, decimal->digits.size());
    out += decimal->digits;
  } else {
    out += kNull;
  }
}

class Unpacker {
 public:
  explicit Unpacker(const char* at) : at_(at) {}

  db::Value Value() {
    switch (Tag(*at_++)) {
      case kInteger: {
        std::int64_t number;
        std::memcpy(&number, at_, sizeof number);
        at_ += sizeof number;
        return number;
      }
      case kText:
        return Text();
      case kTimestamp: {
        std::int16_t year;
        std::memcpy(&year, at_, sizeof year);
        at_ += sizeof year;
        db::Timestamp stamp{year, at_[0], at_[1], at_[2], at_[3], at_[4]};
        at_ += 5;
        return stamp;
      }
      case kDecimal:
        return db::Decimal{Text()};
      case kNull:
        break;
    }
    return std::monostate{};
  }

 private:
  std::string Text() {
    std::size_t length = 0;
    for (int shift = 0;; shift += 7) {
      const unsigned char byte = static_cast<unsigned char>(*at_++);
      length |= std::size_t(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) break;
    }
    std::string text(at_, length);
    at_ += length;
    return text;
  }

  const char* at_;
};

}  // namespace

void PreparedRecords::Add(int readIndex, const PreparedRecord& record) {
  // order_id is the update's last value, so the record is its update values alone.
  std::string packed(1, char(record.update.size()));
  for (const db::Value& value : record.update) PutValue(packed, value);
  // A record never spans two blocks; one larger than a block gets a block of its own.
  if (blocks_.empty() || blocks_.back().size() + packed.size() > blocks_.back().capacity()) {
    blocks_.emplace_back().reserve(std::max(kBlockBytes, packed.size()));
  }
  std::string& block = blocks_.back();
  offsets_.push_back({std::uint32_t(blocks_.size() - 1), std::uint32_t(block.size())});
  readIndexes_.push_back(readIndex);
  block += packed;
}

PreparedRecord PreparedRecords::At(std::size_t i) const {
  const char* at = blocks_[offsets_[i].block].data() + offsets_[i].offset;
  const std::size_t count = std::size_t(static_cast<unsigned char>(*at++));
  Unpacker unpack(at);
  PreparedRecord record;
  record.update.reserve(count);
  for (std::size_t v = 0; v < count; ++v) record.update.push_back(unpack.Value());
  if (const auto* id = std::get_if<std::string>(&record.update.back())) record.orderId = *id;
  return record;
}

}  // namespace cardsync::jobs
