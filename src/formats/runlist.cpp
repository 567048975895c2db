#include "formats/runlist.h"

namespace velk {

RunlistStatus decodeRunlist(ByteSpan runlist, uint64_t startVcn, uint64_t totalClusters,
                            std::vector<DataRun>& out) {
  size_t pos = 0;
  int64_t lcn = 0;
  uint64_t vcn = startVcn;
  while (true) {
    if (pos >= runlist.size()) return RunlistStatus::Malformed;
    const uint8_t header = runlist[pos++];
    if (header == 0) return RunlistStatus::Ok;
    const unsigned lengthSize = header & 0x0F;
    const unsigned offsetSize = header >> 4;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8) return RunlistStatus::Malformed;
    if (!fits(runlist, pos, lengthSize + offsetSize)) return RunlistStatus::Malformed;

    uint64_t length = 0;
    for (unsigned i = 0; i < lengthSize; ++i) length |= uint64_t(runlist[pos + i]) << (8 * i);
    pos += lengthSize;
    // Lengths are signed on disk; a zero or negative one is damage.
    if (length == 0 || (length >> 62) != 0) return RunlistStatus::Malformed;

    DataRun run;
    run.vcn = vcn;
    run.length = length;
    if (offsetSize == 0) {
      run.sparse = true;
    } else {
      uint64_t raw = 0;
      for (unsigned i = 0; i < offsetSize; ++i) raw |= uint64_t(runlist[pos + i]) << (8 * i);
      pos += offsetSize;
      // Sign-extend from the top bit of the last byte read.
      if (offsetSize < 8 && (raw >> (8 * offsetSize - 1)) & 1) raw |= ~uint64_t(0) << (8 * offsetSize);
      const int64_t delta = int64_t(raw);
      if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta))
        return RunlistStatus::PastVolumeEnd;
      lcn += delta;
      if (lcn < 0 || uint64_t(lcn) >= totalClusters || length > totalClusters - uint64_t(lcn))
        return RunlistStatus::PastVolumeEnd;
      run.lcn = uint64_t(lcn);
    }
    if (vcn > UINT64_MAX - length) return RunlistStatus::Malformed;
    vcn += length;
    out.push_back(run);
  }
}

}  // namespace velk
