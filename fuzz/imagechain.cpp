// SPDX-License-Identifier: GPL-3.0-or-later
// The files a container image names: any bytes as a QCOW2 header or a
// VMDK descriptor are read or refused with a reason, and what is read
// keeps its bounds (a backing name of at most 1023 bytes, at most 256
// extents of plain names, of the three kinds, a ZERO one only last); any
// bytes as an image get a checked chain or a reason, never a link of the
// chain that is not an open file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "drive/ImageChain.h"
#include "fuzz/FuzzSupport.h"

using namespace kvo;
using fuzz::Check;

namespace {

void CheckDescriptor(std::string_view Bytes) {
  TVmdkDescriptor d;
  std::string why;
  if (!ParseVmdkDescriptor(Bytes, d, why)) {
    Check(!why.empty(), "a refused descriptor says why");
    return;
  }
  Check(d.Extents.size() <= 256, "at most 256 extents");
  for (size_t i = 0; i < d.Extents.size(); ++i) {
    const TVmdkExtent& e = d.Extents[i];
    Check(e.Sectors > 0 && e.Sectors <= (1ull << 40), "an extent of a possible size");
    Check(e.Kind == "FLAT" || e.Kind == "SPARSE" || e.Kind == "ZERO", "an extent of a kind followed");
    Check(e.Kind != "ZERO" || i + 1 == d.Extents.size(), "a ZERO extent only last");
    Check(e.Kind == "ZERO" || (!e.Name.empty() && e.Name.find('/') == std::string::npos && e.Name != ".."),
          "an extent file named plainly");
  }
}

void CheckHeader(std::string_view Bytes) {
  TQcowHeader h;
  std::string why;
  if (!ParseQcowHeader(Bytes, h, why)) {
    Check(!why.empty(), "a refused header says why");
    return;
  }
  Check(h.Version == 2 || h.Version == 3, "a version followed");
  Check(h.BackingName.size() <= 1023 && h.BackingFormat.size() <= 16, "names within their bounds");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
  CheckDescriptor(bytes);
  CheckHeader(bytes);
  const std::string path = fuzz::InputPath(".img");
  Check(fuzz::WriteInput(path, Data, Size), "the input can be written");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Check(fd >= 0, "the input can be opened");
  const TContainerInfo info = ProbeContainer(fd, path);
  if (!info.Format.empty() && info.Refusal.empty()) {
    TImageChain chain;
    std::string why;
    if (CheckImageChain(fd, path, info, chain, why)) {
      Check(!chain.Links.empty() && chain.Links.size() <= 16, "a chain of at most 16 images");
      for (const TChainLink& l : chain.Links) Check(l.Fd >= 0 && ::fcntl(l.Fd, F_GETFD) >= 0, "every link open");
    } else {
      Check(!why.empty() && chain.Links.empty(), "a refused chain says why and holds nothing");
    }
  }
  ::close(fd);
  return 0;
}
