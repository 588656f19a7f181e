// A pass's prepared records, held packed: byte blocks of a fixed size, each value
// a tag and its bytes. The reader holds one row at a time, and the blocks never
// move once filled, so a pass of a hundred thousand records costs little more than
// its values' own bytes, without the momentary double of a growing buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jobs/transfer_values.h"

namespace cardsync::jobs {

class PreparedRecords {
 public:
  // `readIndex` is the record's place among the rows the pass read.
  void Add(int readIndex, const PreparedRecord& record);
  std::size_t Size() const { return offsets_.size(); }
  PreparedRecord At(std::size_t i) const;
  int ReadIndex(std::size_t i) const { return readIndexes_[i]; }

 private:
  struct Place {
    std::uint32_t block;
    std::uint32_t offset;
  };
  std::vector<std::string> blocks_;
  std::vector<Place> offsets_;
  std::vector<std::int32_t> readIndexes_;
};

}  // namespace cardsync::jobs
